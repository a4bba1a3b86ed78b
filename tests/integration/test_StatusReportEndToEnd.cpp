// An application's status-report sender, the service's relay and the local channel
// endpoints, all with their real threads and sockets.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "applog/AppLog.h"
#include "common/Utf.h"
#include "http/CurlHttpClient.h"
#include "http/HttpClientBase.h"
#include "mailslot/ServerMonitorClient.h"
#include "monitor/MonitorController.h"
#include "notify/ChatFormat.h"
#include "support/ChannelMock.h"
#include "support/MailslotIds.h"
#include "support/SmtpServer.h"
#include "support/TestSupport.h"

namespace vel {
namespace {

class StatusReportEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RegisterCurlHttpClient();
    TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient");
  }
  void SetUp() override {
    savedFolder_ = LogFolder();
    logDir_ = dir_.path().string() + "/";
    SetLogFolder(logDir_);
    SetEventLogSink([](const std::string&) {});
    std::filesystem::create_directory(dir_.path() / "app");
    std::filesystem::create_directory(dir_.path() / "mail");
  }
  void TearDown() override {
    SetEventLogSink(nullptr);
    SetLogFolder(savedFolder_);
  }

  // A started controller with all three channels pointed at the local endpoints, polling
  // every 100 ms.
  std::unique_ptr<TVelMonitorController> StartService(int smtpPort) {
    const std::string ini =
        "[General]\nLogPath=" + logDir_ + "\nAppCount=1\nMonitorEnabled=1\n" +
        "[App_1]\nName=Shop\nLogPath=" + dir_.file("app") + "\nEnabled=0\n" +
        "[Telegram]\nEnabled=1\nBotToken=123:abc\nChatId=42\nApiUrl=" + mock_.TelegramApiUrl() +
        "\n[Discord]\nEnabled=1\nToken=1/xyz\nApiUrl=" + mock_.DiscordApiUrl() +
        "\n[Email]\nEnabled=1\nAddress=ops@example.com\nUserName=monitor@example.com\n"
        "Authentication=none\nHost=127.0.0.1\nSubject=Status\nPort=" +
        std::to_string(smtpPort) + "\n";
    test::WriteFile(dir_.file("monitor.ini"), ini);
    TVelMonitorOptions o;
    o.ConfigFile = dir_.file("monitor.ini");
    o.MailslotId = mailslotId_;
    o.PollIntervalMs = 100;
    auto c = std::make_unique<TVelMonitorController>(o);
    c->Start();
    return c;
  }

  std::vector<std::string> DiscordContents() {
    std::vector<std::string> result;
    for (const auto& r : mock_.DiscordRequests())
      result.push_back(chat::JsonStringMember(r.Json, "content").value_or(""));
    return result;
  }
  std::string LogText() {
    return Utf16LEBytesToUtf8(test::ReadFile(logDir_ + ApplicationName() + ".log"));
  }

  test::TempDir dir_;
  test::ChannelMock mock_;
  std::string savedFolder_;
  std::string logDir_;
  std::string mailslotId_ = test::UniqueMailslotId("vele2e");
};

TEST_F(StatusReportEndToEnd, FirstReportOfANewSenderReachesEveryChannelFormatted) {
  test::SmtpServer smtp(dir_.path() / "mail");
  ASSERT_TRUE(smtp.Started()) << smtp.StartError();
  auto service = StartService(smtp.Port());

  TVelServerMonitorHostInfo host("Shop");
  host.SetSessionCount(3);
  host.AddRequests(123456);
  host.AddBytesSent(1536);
  host.AddStatus500(2);
  auto sender = std::make_unique<TVelServerMonitorClient>(host, 60, mailslotId_);

  ASSERT_TRUE(mock_.WaitForRequests(2)) << LogText();
  auto mail = smtp.WaitForMessage(1);
  ASSERT_TRUE(mail.has_value()) << LogText();

  const auto discord = DiscordContents();
  ASSERT_EQ(discord.size(), 1u);
  const std::string& d = discord[0];
  EXPECT_TRUE(d.starts_with("**Shop**\r\n```Date/Time: ")) << d;
  EXPECT_TRUE(
      d.ends_with("\r\nLast Timeout Thread Run: 12/30/99\r\n"
                  "Last Removed Session Count: 0```"))
      << d;
  for (const char* line :
       {"\r\nSession Count: 3\r\n", "\r\nRequest Count: 123.5 K\r\n", "\r\nBytes Sent: 1.5 KB\r\n",
        "\r\nHandles Count: ", "\r\nMemory Working Set: ", "\r\nMemory Peak Working Set: ",
        "\r\nMemory Page File: ", "\r\nMemory Peak Page File: ", "\r\nStatus 400: 0\r\n",
        "\r\nStatus 500: 2\r\n"}) {
    EXPECT_NE(d.find(line), std::string::npos) << line << " missing in " << d;
  }
  EXPECT_EQ(d.find("PacketVer"), std::string::npos);
  EXPECT_EQ(d.find("StartupTime"), std::string::npos);

  const auto telegram = mock_.TelegramRequests();
  ASSERT_EQ(telegram.size(), 1u);
  EXPECT_NE(telegram[0].Form.at("text").find("Request Count: 123.5 K"), std::string::npos);
  // A subject without the placeholder gets the name in front.
  EXPECT_EQ(mail->subject, "Shop: Status");
  EXPECT_NE(mail->body.find("<body>Application: Shop<br><br>Date/Time: "), std::string::npos)
      << mail->body;
  EXPECT_NE(mail->body.find("Session Count: 3"), std::string::npos) << mail->body;

  sender.reset();
  service->Stop();
  service.reset();
  EXPECT_EQ(LogText(), "");
}

TEST_F(StatusReportEndToEnd, SeveralApplicationsAndASenderThatStartedBeforeTheService) {
  TVelServerMonitorHostInfo early("Early");
  // Interval 0: no reports of its own thread, only the explicit ones below. Its first report
  // finds no service and fails quietly.
  auto earlySender = std::make_unique<TVelServerMonitorClient>(early, 0, mailslotId_);
  EXPECT_NO_THROW(earlySender->SendStatusReport());
  auto service = StartService(1);  // e-mail points at a closed port: Discord is watched here
  service->Config().EmailConfig().SetEnabled(false);

  std::vector<std::unique_ptr<TVelServerMonitorHostInfo>> hosts;
  std::vector<std::unique_ptr<TVelServerMonitorClient>> senders;
  for (const char* name : {"Alpha", "Beta", "Gamma"}) {
    hosts.push_back(std::make_unique<TVelServerMonitorHostInfo>(name));
    senders.push_back(std::make_unique<TVelServerMonitorClient>(*hosts.back(), 60, mailslotId_));
  }
  // Once the service runs, the early sender's next report gets through.
  earlySender->SendStatusReport();

  ASSERT_TRUE(test::WaitUntil([&] { return DiscordContents().size() >= 4; }));
  std::set<std::string> titles;
  for (const auto& c : DiscordContents()) titles.insert(c.substr(0, c.find("\r\n")));
  EXPECT_EQ(titles, (std::set<std::string>{"**Alpha**", "**Beta**", "**Gamma**", "**Early**"}));
  senders.clear();
  earlySender.reset();
  service.reset();
  EXPECT_EQ(DiscordContents().size(), 4u);
}

}  // namespace
}  // namespace vel
