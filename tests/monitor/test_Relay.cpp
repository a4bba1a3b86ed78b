#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "applog/AppLog.h"
#include "common/Exception.h"
#include "common/Utf.h"
#include "mailslot/Mailslot.h"
#include "mailslot/ServerMonitorClient.h"
#include "monitor/MonitorController.h"
#include "notify/ChatFormat.h"
#include "support/ChannelMock.h"
#include "support/MailslotIds.h"
#include "support/SmtpServer.h"
#include "support/SystemHttpClient.h"
#include "support/TestSupport.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

// The test program runs in the C locale: "," groups thousands and "." separates decimals.
TEST(RelayFormatCount, StepsAtHundredThousandMillionAndThousandMillion) {
  auto fc = [](int64_t v) { return TVelMonitorController::FormatCount("", v); };
  EXPECT_EQ(fc(0), "0");
  EXPECT_EQ(fc(5), "5");
  EXPECT_EQ(fc(1234), "1,234");
  EXPECT_EQ(fc(99999), "99,999");
  EXPECT_EQ(fc(100000), "100 K");
  EXPECT_EQ(fc(123456), "123.5 K");
  EXPECT_EQ(fc(123450), "123.5 K");  // half rounds away from zero
  EXPECT_EQ(fc(123449), "123.4 K");
  EXPECT_EQ(fc(999999), "1,000 K");  // still thousands below one million
  EXPECT_EQ(fc(1000000), "1 M");
  EXPECT_EQ(fc(1049999), "1 M");  // no ".0"
  EXPECT_EQ(fc(1500000), "1.5 M");
  EXPECT_EQ(fc(999999999), "1,000 M");
  EXPECT_EQ(fc(1000000000), "1 G");
  EXPECT_EQ(fc(5000000000), "5 G");
  EXPECT_EQ(fc(INT64_MAX), "9,223,372,036.9 G");
  // Negative values never step up.
  EXPECT_EQ(fc(-5), "-5");
  EXPECT_EQ(fc(-1234567), "-1,234,567");
  EXPECT_EQ(fc(INT64_MIN), "-9,223,372,036,854,775,808");
}

TEST(RelayFormatCount, OwnPatternsKeepTheirDigitsAndText) {
  EXPECT_EQ(TVelMonitorController::FormatCount("0.00", 1500000), "1.50 M");
  EXPECT_EQ(TVelMonitorController::FormatCount("#,##0", 123456), "123 K");
  EXPECT_EQ(TVelMonitorController::FormatCount("000", 7), "007");
  EXPECT_EQ(TVelMonitorController::FormatCount("'~'#,##0.0", 2500), "~2,500.0");
}

class Relay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::UseSystemHttpClient(); }
  void SetUp() override {
    savedFolder_ = LogFolder();
    logDir_ = dir_.path().string() + "/";
    SetLogFolder(logDir_);
    SetEventLogSink([](const std::string&) {});
    std::filesystem::create_directory(dir_.path() / "app");
  }
  void TearDown() override {
    controller_.reset();
    SetEventLogSink(nullptr);
    SetLogFolder(savedFolder_);
  }

  // A controller whose configuration is loaded; with monitorEnabled its relay also polls.
  TVelMonitorController& Controller(bool monitorEnabled, int smtpPort = 0) {
    std::string ini =
        "[General]\nLogPath=" + logDir_ +
        "\nAppCount=1\nMonitorEnabled=" + (monitorEnabled ? "1" : "0") +
        "\n[App_1]\nName=Shop\nLogPath=" + dir_.file("app") + "\nEnabled=0\n" +
        "[Telegram]\nEnabled=1\nBotToken=123:abc\nChatId=42\nApiUrl=" + mock_.TelegramApiUrl() +
        "\n" +
        "[Discord]\nEnabled=1\nToken=1/xyz\nUsername=Monitor\nApiUrl=" + mock_.DiscordApiUrl() +
        "\n";
    if (smtpPort > 0) {
      ini +=
          "[Email]\nEnabled=1\nAddress=ops@example.com\nUserName=monitor@example."
          "com\nAuthentication=none\nHost=127.0.0.1\nPort=" +
          std::to_string(smtpPort) + "\nSubject=Status of %appname%\n";
    }
    test::WriteFile(dir_.file("monitor.ini"), ini);
    TVelMonitorOptions o;
    o.ConfigFile = dir_.file("monitor.ini");
    o.MailslotId = test::UniqueMailslotId("velrelay");
    o.PollIntervalMs = 50;
    controller_ = std::make_unique<TVelMonitorController>(o);
    controller_->SetOnMessage([this](const std::string& m) {
      std::lock_guard lock(rawLock_);
      raw_.push_back(m);
    });
    controller_->Start();
    return *controller_;
  }

  std::vector<std::string> DiscordContents() {
    std::vector<std::string> result;
    for (const auto& r : mock_.DiscordRequests()) {
      result.push_back(chat::JsonStringMember(r.Json, "content").value_or("<none>"));
    }
    return result;
  }
  std::vector<std::string> Raw() {
    std::lock_guard lock(rawLock_);
    return raw_;
  }
  std::string LogText() {
    return Utf16LEBytesToUtf8(test::ReadFile(logDir_ + ApplicationName() + ".log"));
  }

  test::TempDir dir_;
  test::ChannelMock mock_;
  std::string savedFolder_;
  std::string logDir_;
  std::mutex rawLock_;
  std::vector<std::string> raw_;
  std::unique_ptr<TVelMonitorController> controller_;
};

TEST_F(Relay, EveryRowAndKindInTableOrderOnAllThreeChannels) {
  std::filesystem::create_directory(dir_.path() / "mail");
  test::SmtpServer smtp(dir_.path() / "mail");
  ASSERT_TRUE(smtp.Started()) << smtp.StartError();
  TVelMonitorController& c = Controller(false, smtp.Port());

  // Keys out of order, one in lower case, one twice (the first counts), one empty, one
  // figure that is not a number and one in hexadecimal.
  const std::string msg =
      "LastRemovedSessionCount=-3|Status500=100000|Status400=99999|MemPPF=|MemPF=$10|"
      "MemPWS=abc|MemWS=3221225472|handlecount=412|BytesSent=1536|RequestCount=123456|"
      "SessionCount=5|SessionCount=9|AppName=Shop|StartupTime=01/02/24 08:00:00|PacketVer=1|"
      "DT=03/05/24 14:07:09|LastTimeoutThreadRun=12/30/99|Unknown=7";
  c.ProcessStatusMessage(msg);

  const std::string report =
      "Date/Time: 03/05/24 14:07:09\r\n"
      "Session Count: 5\r\n"
      "Request Count: 123.5 K\r\n"
      "Bytes Sent: 1.5 KB\r\n"
      "Handles Count: 412\r\n"
      "Memory Working Set: 3 GB\r\n"
      "Memory Peak Working Set: 0 bytes\r\n"
      "Memory Page File: 16 bytes\r\n"
      "Status 400: 99,999\r\n"
      "Status 500: 100 K\r\n"
      "Last Timeout Thread Run: 12/30/99\r\n"
      "Last Removed Session Count: -3";
  ASSERT_TRUE(mock_.WaitForRequests(2));
  EXPECT_EQ(DiscordContents(), std::vector<std::string>{"**Shop**\r\n```" + report + "```"});
  const auto telegram = mock_.TelegramRequests();
  ASSERT_EQ(telegram.size(), 1u);
  EXPECT_NE(telegram[0].Form.at("text").find(report), std::string::npos)
      << telegram[0].Form.at("text");
  EXPECT_NE(telegram[0].Form.at("text").find("Shop"), std::string::npos);

  auto mail = smtp.WaitForMessage(1);
  ASSERT_TRUE(mail.has_value()) << LogText();
  EXPECT_EQ(mail->subject, "Status of Shop");
  EXPECT_NE(mail->body.find("Request Count: 123.5 K"), std::string::npos) << mail->body;
  EXPECT_NE(mail->body.find("Last Removed Session Count: -3"), std::string::npos);
  EXPECT_EQ(mail->body.find("```"), std::string::npos) << "e-mail gets the bare report";

  EXPECT_EQ(Raw(), std::vector<std::string>{msg});
  EXPECT_EQ(c.DiscordErrors(), 0);
  EXPECT_EQ(c.TelegramErrors(), 0);
  EXPECT_EQ(c.EmailErrors(), 0);
}

TEST_F(Relay, MessageWithoutAppNameIsDroppedAndOneWithOnlyAppNameStillReports) {
  TVelMonitorController& c = Controller(false);
  c.ProcessStatusMessage("SessionCount=5|RequestCount=7");
  c.ProcessStatusMessage("AppName=|SessionCount=5");
  c.ProcessStatusMessage("garbage without pairs");
  c.ProcessStatusMessage("AppName=Shop");
  // Had the first three been queued, they would have gone out before it.
  ASSERT_TRUE(c.Dispatcher().WaitIdle(std::chrono::seconds(30)));
  EXPECT_EQ(DiscordContents(), std::vector<std::string>{"**Shop**\r\n``````"});
  EXPECT_EQ(mock_.TelegramRequests().size(), 1u);
  EXPECT_EQ(Raw(), std::vector<std::string>{"AppName=Shop"});
  EXPECT_EQ(LogText(), "");  // dropped silently
}

TEST_F(Relay, OnePollDrainsEveryWaitingMessageInOrder) {
  TVelMonitorController& c = Controller(false);
  TVelMailslotClient client(c.Options().MailslotId);
  ASSERT_GT(client.Write("AppName=A|SessionCount=1"), 0);
  char none = 0;
  ASSERT_EQ(client.Write(&none, 0), 0);  // an empty datagram is consumed, not spun on
  ASSERT_GT(client.Write("AppName=B|SessionCount=2"), 0);
  ASSERT_GT(client.Write("AppName=C|SessionCount=3"), 0);
  c.DoReadMailslot();
  EXPECT_EQ(c.Mailslot()->MessageCount(), 0u);
  ASSERT_TRUE(c.Dispatcher().WaitIdle(std::chrono::seconds(30)));
  EXPECT_EQ(DiscordContents(), (std::vector<std::string>{"**A**\r\n```Session Count: 1```",
                                                         "**B**\r\n```Session Count: 2```",
                                                         "**C**\r\n```Session Count: 3```"}));
  EXPECT_EQ(Raw().size(), 3u);
}

TEST_F(Relay, FailureEndsTheDrainAndTheRestWaitsForTheNextPoll) {
  TVelMonitorController& c = Controller(false);
  c.SetOnMessage([](const std::string& m) {
    if (m.find("AppName=Bad") != std::string::npos) throw Exception("boom");
  });
  TVelMailslotClient client(c.Options().MailslotId);
  ASSERT_GT(client.Write("AppName=Bad"), 0);
  ASSERT_GT(client.Write("AppName=Good"), 0);
  c.ReadMailslot();
  EXPECT_EQ(c.Mailslot()->MessageCount(), 1u);
  EXPECT_TRUE(LogText().ends_with(" Error: DoReadMailslot: boom\r\n")) << LogText();
  c.ReadMailslot();
  EXPECT_EQ(c.Mailslot()->MessageCount(), 0u);
  ASSERT_TRUE(c.Dispatcher().WaitIdle(std::chrono::seconds(30)));
  EXPECT_EQ(DiscordContents(),
            (std::vector<std::string>{"**Bad**\r\n``````", "**Good**\r\n``````"}));
}

TEST_F(Relay, ChannelClosedUnderADrainingPollEndsItQuietly) {
  TVelMonitorController& c = Controller(false);
  // Each round closes the channel while a poll is draining it; the close lands between the
  // poll's count and its read in most rounds.
  constexpr uint32_t kWaiting = 2000;
  for (int round = 0; round < 10; ++round) {
    c.Mailslot()->Open();
    TVelMailslotClient client(c.Options().MailslotId);
    for (uint32_t i = 0; i < kWaiting; ++i) {
      ASSERT_GT(client.Write("Key=" + std::to_string(i)), 0);
      // Taken into the channel's own queue as they come: the system's store is bounded
      // (Wine's blocks the writer after a few hundred short messages until they are read).
      if (i % 100 == 99) c.Mailslot()->MessageCount();
    }
    ASSERT_EQ(c.Mailslot()->MessageCount(), kWaiting);
    std::thread poll([&c] { c.ReadMailslot(); });
    while (c.Mailslot()->MessageCount() == kWaiting) std::this_thread::yield();
    c.Mailslot()->Close();
    poll.join();
  }
  EXPECT_FALSE(std::filesystem::exists(logDir_ + ApplicationName() + ".log")) << LogText();
}

TEST_F(Relay, DelimiterInsideAValueSurvivesTheSendersQuoting) {
  TVelMonitorController& c = Controller(false);
  TVelServerMonitorHostInfo host("Shop|North \"B\"");
  host.SetSessionCount(4);
  TVelServerMonitorClient sender(host, 0, c.Options().MailslotId);  // explicit reports only
  sender.SendStatusReport();
  ASSERT_EQ(c.Mailslot()->MessageCount(), 1u);
  c.DoReadMailslot();
  ASSERT_TRUE(c.Dispatcher().WaitIdle(std::chrono::seconds(30)));
  const auto contents = DiscordContents();
  ASSERT_EQ(contents.size(), 1u);
  EXPECT_TRUE(contents[0].starts_with("**Shop|North \"B\"**\r\n```Date/Time: ")) << contents[0];
  EXPECT_NE(contents[0].find("\r\nSession Count: 4\r\n"), std::string::npos) << contents[0];
}

TEST_F(Relay, StartedControllerPollsOnItsOwnAndStopClosesTheChannel) {
  TVelMonitorController& c = Controller(true);
  // Closed before the stop: Wine keeps a closed channel's name while a writer's handle is
  // open, where Windows drops the channel with its last reading handle.
  ASSERT_GT(TVelMailslotClient(c.Options().MailslotId).Write("AppName=Live|RequestCount=1500000"),
            0);
  ASSERT_TRUE(mock_.WaitForRequests(2));
  EXPECT_TRUE(test::WaitUntil([&] { return DiscordContents().size() == 1; }));
  EXPECT_EQ(DiscordContents()[0], "**Live**\r\n```Request Count: 1.5 M```");

  c.Stop();
  EXPECT_FALSE(c.Mailslot()->IsOpen());
  EXPECT_EQ(TVelMailslotClient(c.Options().MailslotId).Write("AppName=Late"), -1);
  c.Stop();  // a second stop finds nothing left to do
  EXPECT_EQ(LogText(), "");
}

TEST_F(Relay, ServiceStartedBesideARunningOneSaysSoAndTakesOverOnceItEnds) {
  TVelMonitorController& first = Controller(true);
  std::mutex lock;
  std::vector<std::string> states;
  TVelMonitorOptions o = first.Options();
  o.OnStatusText = [&](const std::string& text) {
    std::lock_guard guard(lock);
    states.push_back(text);
  };
  TVelMonitorController second(o);
  second.Start();
  EXPECT_FALSE(second.Mailslot()->IsOpen());
  const std::string name = second.Mailslot()->ChannelName();
  EXPECT_NE(LogText().find("Error: Status channel " + name + " cannot be opened"),
            std::string::npos)
      << LogText();

  first.Stop();
  EXPECT_TRUE(
      test::WaitUntil([&] { return LogText().find(" is open again") != std::string::npos; }));
  ASSERT_GT(TVelMailslotClient(o.MailslotId).Write("AppName=Taken over"), 0);
  EXPECT_TRUE(test::WaitUntil([&] { return DiscordContents().size() == 1; }));
  // One line each way, however many polls failed in between.
  EXPECT_EQ(LogText().find("Error: Status channel", LogText().find("Error: Status channel") + 1),
            std::string::npos)
      << LogText();
  std::lock_guard guard(lock);
  ASSERT_EQ(states.size(), 2u);
  EXPECT_TRUE(states[0].starts_with("Status channel not open: ")) << states[0];
  EXPECT_EQ(states[1], "Relaying status reports from " + name);
}

}  // namespace
}  // namespace vel
