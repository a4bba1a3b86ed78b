#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "applog/AppLog.h"
#include "common/Utf.h"
#include "monitor/MonitorController.h"
#include "notify/ChatFormat.h"
#include "notify/SampleLog.h"
#include "support/ChannelMock.h"
#include "support/LoopbackPorts.h"
#include "support/SmtpServer.h"
#include "support/SystemHttpClient.h"
#include "support/TestSupport.h"

using namespace vel;
using vel::test::ChannelMock;
using vel::test::SmtpServer;
using vel::test::TempDir;

namespace {

std::string UniqueChannel() {
  static std::atomic<int> counter{0};
  return "veldsp_" + std::to_string(test::ProcessId()) + "_" + std::to_string(++counter);
}

class Dispatcher : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::UseSystemHttpClient(); }
  void SetUp() override {
    savedFolder_ = LogFolder();
    logDir_ = dir_.path().string() + "/";
    SetLogFolder(logDir_);
    SetEventLogSink([](const std::string&) {});
  }
  void TearDown() override {
    SetEventLogSink(nullptr);
    SetLogFolder(savedFolder_);
  }

  // A controller with the configuration loaded from an INI holding the given channel
  // sections; monitoring stays off, so only the dispatcher works.
  std::unique_ptr<TVelMonitorController> Controller(const std::string& channels) {
    test::WriteFile(dir_.file("monitor.ini"),
                    "[General]\nLogPath=" + logDir_ + "\nMonitorEnabled=0\n" + channels);
    TVelMonitorOptions o;
    o.ConfigFile = dir_.file("monitor.ini");
    o.MailslotId = UniqueChannel();
    auto c = std::make_unique<TVelMonitorController>(o);
    c->Start();
    return c;
  }
  std::string Telegram(int maxErrors, const std::string& chatId = "42") {
    return "[Telegram]\nEnabled=1\nBotToken=123:abc\nChatId=" + chatId +
           "\nMaxErrors=" + std::to_string(maxErrors) + "\nApiUrl=" + mock_.TelegramApiUrl() + "\n";
  }
  std::string Discord(int maxErrors) {
    return "[Discord]\nEnabled=1\nToken=1/tok\nUsername=Monitor\nMaxErrors=" +
           std::to_string(maxErrors) + "\nApiUrl=" + mock_.DiscordApiUrl() + "\n";
  }
  std::string Email(int port) {
    return "[Email]\nEnabled=1\nHost=127.0.0.1\nPort=" + std::to_string(port) +
           "\nAddress=ops@example.com\nUserName=monitor\nAuthentication=none\nSubject=Server "
           "report\n";
  }
  // The text of each diagnostic line, after its timestamp.
  std::vector<std::string> LogLines() {
    std::string text = Utf16LEBytesToUtf8(test::ReadFile(logDir_ + ApplicationName() + ".log"));
    std::vector<std::string> lines;
    for (size_t s = 0, e; s < text.size(); s = e + 2) {
      e = text.find("\r\n", s);
      if (e == std::string::npos) e = text.size();
      std::string line = text.substr(s, e - s);
      for (const char* mark : {"Error: ", "Disabling "}) {
        if (auto p = line.find(mark); p != std::string::npos) {
          line = line.substr(p);
          break;
        }
      }
      lines.push_back(line);
    }
    return lines;
  }
  // Sends only queue; this waits until every channel has dealt with what was queued.
  static void Drain(TVelMonitorController& c) {
    ASSERT_TRUE(c.Dispatcher().WaitIdle(std::chrono::seconds(60)));
  }
  static int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
    return n;
  }

  TempDir dir_;
  std::string savedFolder_;
  std::string logDir_;
  ChannelMock mock_;
};

}  // namespace

TEST_F(Dispatcher, OneNotificationReachesAllThreeChannels) {
  TempDir mailDir;
  SmtpServer smtp(mailDir.path());
  ASSERT_TRUE(smtp.Started()) << smtp.StartError();
  auto c = Controller(Telegram(3) + Discord(3) + Email(smtp.Port()));
  c->SendToTelegram("Shop", "x");
  c->SendToDiscord("Shop", "x");
  c->SendToEmail("Shop", "x");
  Drain(*c);

  auto tg = mock_.TelegramRequests();
  ASSERT_EQ(tg.size(), 1u);
  EXPECT_EQ(tg[0].Token, "123:abc");
  EXPECT_EQ(tg[0].Form["chat_id"], "42");
  EXPECT_EQ(tg[0].Form["text"], chat::FormatTelegramParts("**Shop**\r\nx").at(0));
  auto dc = mock_.DiscordRequests();
  ASSERT_EQ(dc.size(), 1u);
  EXPECT_EQ(chat::JsonStringMember(dc[0].Json, "content").value_or(""), "**Shop**\r\nx");
  EXPECT_EQ(chat::JsonStringMember(dc[0].Json, "username").value_or(""), "Monitor");
  auto mail = smtp.WaitForMessage(1);
  ASSERT_TRUE(mail);
  // The application's name leads the subject and the body.
  EXPECT_EQ(mail->subject, "Shop: Server report");
  EXPECT_EQ(mail->body, "<html><head></head><body>Application: Shop<br><br>x<br></body></html>");
  EXPECT_EQ(mail->rcptTos, std::vector<std::string>{"ops@example.com"});
  EXPECT_EQ(c->TelegramErrors() + c->DiscordErrors() + c->EmailErrors(), 0);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(Dispatcher, ChatAlertsAreBoundedAndAudibleWhileMailCarriesTheWholeText) {
  TempDir mailDir;
  SmtpServer smtp(mailDir.path());
  ASSERT_TRUE(smtp.Started()) << smtp.StartError();
  auto c = Controller(Telegram(3) + Discord(3) + Email(smtp.Port()));
  const std::string log = test::SampleExceptionLog(40000);
  c->SendToTelegram("Shop", "```\r\n" + log + "\r\n```");
  c->SendToDiscord("Shop", "```\r\n" + log + "\r\n```");
  c->SendToEmail("Shop", log);
  Drain(*c);
  auto tg = mock_.TelegramRequests();
  ASSERT_EQ(tg.size(), chat::kMaxChatParts);
  for (auto& r : tg) EXPECT_EQ(r.Form.count("disable_notification"), 0u);
  EXPECT_NE(tg.back().Form["text"].find("more characters left out"), std::string::npos);
  auto dc = mock_.DiscordRequests();
  ASSERT_EQ(dc.size(), chat::kMaxChatParts);
  EXPECT_NE(dc.back().Json.find("more characters left out"), std::string::npos);
  auto mail = smtp.WaitForMessage(1);
  ASSERT_TRUE(mail);
  EXPECT_GT(mail->body.size(), log.size());
  EXPECT_TRUE(LogLines().empty());

  // Silent only when the operator asks for it.
  auto quiet = Controller(Telegram(3) + "DisableNotification=1\n");
  quiet->SendToTelegram("Shop", "x");
  Drain(*quiet);
  EXPECT_EQ(mock_.TelegramRequests().back().Form["disable_notification"], "true");
}

TEST_F(Dispatcher, ChannelIsSwitchedOffWhenFailuresPassMaxErrors) {
  auto c = Controller(Telegram(3));
  mock_.RespondTelegramError(400, "Bad Request: chat not found", 4);
  for (int i = 0; i < 4; ++i) c->SendToTelegram("Shop", "failure " + std::to_string(i));
  Drain(*c);
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 5u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(lines[i].rfind("Error: ", 0), 0u) << lines[i];
    EXPECT_NE(lines[i].find("chat not found"), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].find("123:abc"), std::string::npos) << "the token leaked: " << lines[i];
  }
  EXPECT_EQ(lines[4], "Disabling Telegram notification (Number of consecutive errors: 4)");
  EXPECT_FALSE(c->Config().TelegramConfig().Enabled());
  EXPECT_EQ(c->TelegramErrors(), 4);

  // Switched off: later notifications skip the channel without a trace.
  c->SendToTelegram("Shop", "later");
  Drain(*c);
  EXPECT_EQ(mock_.RequestCount(), 4u);
  EXPECT_EQ(LogLines().size(), 5u);
}

TEST_F(Dispatcher, SuccessResetsTheCount) {
  auto c = Controller(Discord(3));
  mock_.RespondDiscordError(500, "boom", 2);
  mock_.RespondWith(204, "", 1);
  mock_.RespondDiscordError(500, "boom", 3);
  for (int i = 0; i < 6; ++i) c->SendToDiscord("Shop", "x");
  Drain(*c);
  EXPECT_TRUE(c->Config().DiscordConfig().Enabled());
  EXPECT_EQ(c->DiscordErrors(), 3);
  auto lines = LogLines();
  EXPECT_EQ(CountPrefix(lines, "Error: "), 5);
  EXPECT_EQ(CountPrefix(lines, "Disabling "), 0);
  // One more failure passes the limit.
  mock_.RespondDiscordError(500, "boom", 1);
  c->SendToDiscord("Shop", "x");
  Drain(*c);
  EXPECT_EQ(LogLines().back(), "Disabling Discord notification (Number of consecutive errors: 4)");
}

TEST_F(Dispatcher, MaxErrorsZeroNeverSwitchesOff) {
  int port = test::UnusedLoopbackPort();
  auto c = Controller(Telegram(0) + Email(port));
  mock_.RespondTelegramError(400, "Bad Request", 6);
  for (int i = 0; i < 6; ++i) {
    c->SendToTelegram("Shop", "x");
    c->SendToEmail("Shop", "x");
  }
  Drain(*c);
  EXPECT_TRUE(c->Config().TelegramConfig().Enabled());
  EXPECT_TRUE(c->Config().EmailConfig().Enabled());
  EXPECT_EQ(c->TelegramErrors(), 6);
  EXPECT_EQ(c->EmailErrors(), 6);
  auto lines = LogLines();
  EXPECT_EQ(CountPrefix(lines, "Error: "), 12);
  EXPECT_EQ(CountPrefix(lines, "Error: TVelMailSender: Could not connect to SMTP server."), 6);
  EXPECT_EQ(CountPrefix(lines, "Disabling "), 0);
}

TEST_F(Dispatcher, EmailSwitchOffLineAndPasswordKeptOut) {
  auto c = Controller(Email(test::UnusedLoopbackPort()) + "Password=Sup3rSecretPw\n");
  c->Config().EmailConfig().SetMaxErrors(1);
  c->SendToEmail("Shop", "x");
  c->SendToEmail("Shop", "x");
  Drain(*c);
  c->SendToEmail("Shop", "x");  // skipped
  Drain(*c);
  auto lines = LogLines();
  EXPECT_EQ(CountPrefix(lines, "Error: "), 2);
  EXPECT_EQ(lines.back(), "Disabling Email notification (Number of consecutive errors: 2)");
  for (const auto& l : lines) EXPECT_EQ(l.find("Sup3rSecretPw"), std::string::npos) << l;
  EXPECT_EQ(c->EmailErrors(), 2);
}

TEST_F(Dispatcher, ChannelsNotReadyAreSkippedSilently) {
  auto c =
      Controller(Telegram(1, "") + "[Discord]\nEnabled=1\nToken=\nApiUrl=" + mock_.DiscordApiUrl() +
                 "\n[Email]\nEnabled=1\nHost=\nAddress=ops@example.com\n");
  for (int i = 0; i < 3; ++i) {
    c->SendToTelegram("Shop", "x");
    c->SendToDiscord("Shop", "x");
    c->SendToEmail("Shop", "x");
  }
  Drain(*c);
  EXPECT_EQ(mock_.RequestCount(), 0u);
  EXPECT_TRUE(LogLines().empty());
  EXPECT_EQ(c->TelegramErrors() + c->DiscordErrors() + c->EmailErrors(), 0);
  EXPECT_TRUE(c->Config().TelegramConfig().Enabled());
}

TEST_F(Dispatcher, SlowChannelDoesNotHoldUpAnother) {
  TempDir mailDir;
  SmtpServer smtp(mailDir.path());
  ASSERT_TRUE(smtp.Started()) << smtp.StartError();
  auto c = Controller(Telegram(3) + Email(smtp.Port()));
  mock_.SetNeverAnswer(true);
  std::thread slow([&] { c->SendToTelegram("Shop", "stuck"); });
  ASSERT_TRUE(mock_.WaitForRequests(1));
  c->SendToEmail("Shop", "meanwhile");  // returns while Telegram still waits
  EXPECT_TRUE(smtp.WaitForMessage(1));
  mock_.SetNeverAnswer(false);
  slow.join();
}

TEST_F(Dispatcher, ConcurrentDeliveriesStayConsistent) {
  TempDir mailDir;
  SmtpServer smtp(mailDir.path());
  ASSERT_TRUE(smtp.Started()) << smtp.StartError();
  auto c = Controller(Telegram(1000) + Discord(1000) + Email(smtp.Port()));
  constexpr int kThreads = 8, kEach = 4, kFailures = 10;
  // The failing answers go to whichever chat request comes first.
  mock_.RespondWith(
      500, "{\"ok\":false,\"error_code\":500,\"description\":\"x\",\"message\":\"x\"}", kFailures);
  test::Latch<bool> go;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      go.Wait();
      for (int i = 0; i < kEach; ++i) {
        std::string body = "thread " + std::to_string(t) + " #" + std::to_string(i);
        c->SendToTelegram("App" + std::to_string(t), body);
        c->SendToDiscord("App" + std::to_string(t), body);
        c->SendToEmail("App" + std::to_string(t), body);
      }
    });
  }
  go.Set(true);
  for (auto& th : threads) th.join();
  Drain(*c);

  EXPECT_EQ(mock_.TelegramRequests().size(), size_t(kThreads * kEach));
  EXPECT_EQ(mock_.DiscordRequests().size(), size_t(kThreads * kEach));
  ASSERT_TRUE(smtp.WaitForMessage(kThreads * kEach));
  EXPECT_EQ(smtp.MessageCount(), kThreads * kEach);
  EXPECT_EQ(CountPrefix(LogLines(), "Error: "), kFailures);
  EXPECT_LE(c->TelegramErrors() + c->DiscordErrors(), kFailures);
  // Both chat senders were made once and still work; a success clears both counts.
  c->SendToTelegram("Shop", "after");
  c->SendToDiscord("Shop", "after");
  Drain(*c);
  EXPECT_EQ(c->TelegramErrors(), 0);
  EXPECT_EQ(c->DiscordErrors(), 0);
}

namespace {

// Exception logs a delivered chat text stands for: the count of a summary, else 1.
size_t AlertsIn(const std::string& text) {
  const std::string mark = "Summary of ";
  const auto at = text.find(mark);
  return at == std::string::npos ? 1 : std::stoul(text.substr(at + mark.size()));
}

}  // namespace

TEST_F(Dispatcher, HangingMailServerDoesNotDelayTheChats) {
  test::SilentServer smtp;
  auto c = Controller(Telegram(3) + Discord(3) + Email(smtp.Port()));
  for (int i = 0; i < 3; ++i) {
    c->SendToEmail("Shop", "stuck " + std::to_string(i));
    c->SendToTelegram("Shop", "chat " + std::to_string(i));
    c->SendToDiscord("Shop", "chat " + std::to_string(i));
  }
  // The mail server has not answered the first greeting yet; the chats are through.
  ASSERT_TRUE(mock_.WaitForRequests(6));
  EXPECT_EQ(mock_.TelegramRequests().size(), 3u);
  EXPECT_EQ(mock_.DiscordRequests().size(), 3u);
  EXPECT_EQ(c->TelegramErrors() + c->DiscordErrors(), 0);
  smtp.Close();  // the mail deliveries fail now, so the controller goes without delay
}

TEST_F(Dispatcher, RateLimitStormNeverSwitchesOffAndSummariesCountEveryAlert) {
  constexpr int kLimited = 10, kAlerts = 60;
  const std::string discordIni = Discord(1);
  const std::string telegramIni = Telegram(1);
  for (const bool discord : {false, true}) {
    SCOPED_TRACE(discord ? "Discord" : "Telegram");
    mock_.Clear();
    auto c = Controller(discord ? discordIni : telegramIni);
    mock_.RespondRateLimited(0.2, kLimited);
    for (int i = 0; i < kAlerts; ++i) {
      const TNotificationInfo alert{TNotificationKind::nkAlert,
                                    i % 3 ? "EAccessViolation" : "EDivByZero"};
      const std::string body = "alert " + std::to_string(i);
      discord ? c->SendToDiscord("Shop", body, alert) : c->SendToTelegram("Shop", body, alert);
    }
    Drain(*c);
    EXPECT_TRUE(discord ? c->Config().DiscordConfig().Enabled()
                        : c->Config().TelegramConfig().Enabled());
    EXPECT_EQ(discord ? c->DiscordErrors() : c->TelegramErrors(), 0);
    c.reset();  // the alerts held by the rate go out at the stop
    EXPECT_TRUE(LogLines().empty());

    std::vector<std::string> texts;
    for (const auto& r : mock_.Requests())
      texts.push_back(discord ? chat::JsonStringMember(r.Json, "content").value_or("")
                              : r.Form.at("text"));
    ASSERT_GT(texts.size(), size_t(kLimited));
    size_t accounted = 0;
    for (size_t i = kLimited; i < texts.size(); ++i) accounted += AlertsIn(texts[i]);
    EXPECT_EQ(accounted, size_t(kAlerts));
    // The backlog went out as a summary, not alert by alert.
    EXPECT_LT(texts.size() - kLimited, 10u);
    EXPECT_NE(texts.back().find("EDivByZero: "), std::string::npos) << texts.back();
    EXPECT_NE(texts.back().find("alert 59"), std::string::npos) << "the newest closes the summary";
  }
}

TEST_F(Dispatcher, NewerStatusReportReplacesTheQueuedOne) {
  auto c = Controller(Telegram(3));
  mock_.SetNeverAnswer(true);
  c->SendToTelegram("Shop", "held");
  ASSERT_TRUE(mock_.WaitForRequests(1));
  const TNotificationInfo status{TNotificationKind::nkStatus, {}};
  c->SendToTelegram("Shop", "report 1", status);
  c->SendToTelegram("Blog", "report A", status);
  c->SendToTelegram("Shop", "report 2", status);
  mock_.SetNeverAnswer(false);
  Drain(*c);
  const auto requests = mock_.TelegramRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[1].Form.at("text").find("report 2"), std::string::npos);
  EXPECT_NE(requests[2].Form.at("text").find("report A"), std::string::npos);
}

TEST_F(Dispatcher, DeliveryUnderWayAtStopFinishesWithinTheGrace) {
  auto c = Controller(Telegram(0));
  mock_.SetNeverAnswer(true);
  c->SendToTelegram("Shop", "in flight");
  ASSERT_TRUE(mock_.WaitForRequests(1));
  c->Stop();
  // The endpoint answers while the destructor is already giving the delivery its grace.
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    mock_.SetNeverAnswer(false);
  });
  c.reset();
  release.join();
  EXPECT_TRUE(LogLines().empty()) << "delivered, so nothing is logged as not sent";
  EXPECT_EQ(mock_.RequestCount(), 1u);
}

TEST_F(Dispatcher, StopWithABacklogCancelsAndLogsTheCountNotAFailure) {
  test::WriteFile(dir_.file("monitor.ini"), "[General]\nLogPath=" + logDir_ +
                                                "\nMonitorEnabled=0\n" + Telegram(1) + Discord(1));
  TVelMonitorOptions o;
  o.ConfigFile = dir_.file("monitor.ini");
  o.MailslotId = UniqueChannel();
  o.StopGraceMs = 200;
  auto c = std::make_unique<TVelMonitorController>(o);
  c->Start();
  mock_.SetNeverAnswer(true);
  for (int i = 0; i < 5; ++i) c->SendToTelegram("Shop", "x" + std::to_string(i));
  c->SendToDiscord("Shop", "y");
  ASSERT_TRUE(mock_.WaitForRequests(2));
  c.reset();  // the held requests are cancelled after the grace
  const auto lines = LogLines();
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Error: Telegram: 5 notifications were not sent before the stop",
                       "Error: Discord: 1 notification was not sent before the stop"}));
}

TEST_F(Dispatcher, DeliveryUnderWayAtStopThatTimesOutIsNotSentRatherThanAFailure) {
  // The chat's read time-out ends the held request about when the grace ends; either way it
  // is neither counted nor logged as a failure, and cannot switch the channel off.
  auto c = Controller(Telegram(1));
  mock_.RespondTelegramError(400, "Bad Request: chat not found", 1);
  c->SendToTelegram("Shop", "fails");
  Drain(*c);
  mock_.SetNeverAnswer(true);  // held until the test ends, far beyond both timers
  c->SendToTelegram("Shop", "in flight");
  ASSERT_TRUE(mock_.WaitForRequests(2));
  c->Stop();
  c.reset();
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u) << lines.back();
  EXPECT_NE(lines[0].find("chat not found"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "Error: Telegram: 1 notification was not sent before the stop");
}
