#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "http/CurlHttpClient.h"
#include "http/HttpClientBase.h"
#include "service/OperatorCommands.h"
#include "support/ChannelMock.h"
#include "support/SmtpServer.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using vel::test::TempDir;

namespace {

const std::string kToken = "987654:SECRET-bot-token";
const std::string kWebhook = "1000/SECRET-webhook-token";
const std::string kPassword = "SECRET-password";

struct CommandResult {
  int code;
  std::string out;
};

CommandResult CheckConfig(const std::string& ini) {
  std::ostringstream out;
  int code = vel::RunCheckConfig(ini, out);
  return {code, out.str()};
}

CommandResult TestNotify(const std::string& ini, const std::string& channel = "") {
  std::ostringstream out;
  int code = vel::RunTestNotify(ini, channel, out);
  return {code, out.str()};
}

class OperatorCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    vel::RegisterCurlHttpClient();
    vel::TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient");
  }

  std::string WriteIni(const std::string& text,
                       fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    std::string file = dir.file("monitor.ini");
    vel::test::WriteFile(file, text);
    fs::permissions(file, perms);
    return file;
  }

  std::string LogPath() const { return dir.path().string() + "/"; }

  TempDir dir;
};

TEST_F(OperatorCommands, CheckConfigMasksSecretsAndReportsWhatAnOperatorShouldKnow) {
  std::string ini =
      WriteIni("[General]\nMonitorEnabled=1\nAppCount=1\nLogPath=" + dir.path().string() +
                   "\n[App_1]\nName=Shop\nLogPath=" + dir.file("not-yet") +
                   "\nEnabled=1\n[Telegram]\nEnabled=1\n"
                   "BotToken=" +
                   kToken + "\n[Discord]\nEnabled=1\nToken=" + kWebhook +
                   "\nMaxErrors=0\n[Email]\nPassword=" + kPassword + "\n",
               fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  CommandResult r = CheckConfig(ini);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out.find("SECRET"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Shop: " + dir.file("not-yet")), std::string::npos) << r.out;
  // LogPath without "/" is glued to the file name.
  EXPECT_NE(r.out.find("does not end with \"/\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"" + dir.file("not-yet") + "\" does not exist yet"), std::string::npos);
  EXPECT_NE(r.out.find("Telegram is enabled but not ready"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Discord: MaxErrors is 0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("readable by every user"), std::string::npos) << r.out;

  // The same file kept private: no permission warning.
  fs::permissions(ini, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(CheckConfig(ini).out.find("readable by every user"), std::string::npos);
}

// Each case: what the service would fail on is an error (exit code 1), a value it would
// quietly replace is a warning; both name the file or the section and key.
TEST_F(OperatorCommands, CheckConfigFailsWhereTheServiceWouldAndWarnsOfDefaultedValues) {
  const std::string general = "[General]\nMonitorEnabled=1\nLogPath=" + LogPath() + "\n";
  const std::string app = "AppCount=1\n[App_1]\nName=Shop\nEnabled=1\nLogPath=";
  fs::create_directory(dir.path() / "folder.ini");
  fs::create_symlink(dir.file("loop-b"), dir.path() / "loop-a");
  fs::create_symlink(dir.file("loop-a"), dir.path() / "loop-b");
  vel::test::WriteFile(dir.file("plain"), "x");
  vel::test::WriteFile(dir.file("unit.service"), "[Service]\nExecStart=/bin/true\nUser=nobody\n");
  struct Case {
    std::string config;  // a file name in the test folder, or INI text
    int code;
    std::string line;
  };
  const Case cases[] = {
      {"absent.ini", 1,
       "error: Configuration file \"" + dir.file("absent.ini") + "\" does not exist"},
      {"folder.ini", 1, "\"" + dir.file("folder.ini") + "\" is a folder, not a file"},
      {"loop-a", 1, "\"" + dir.file("loop-a") + "\" is a symbolic-link loop"},
      {general + app + dir.file("plain"), 1,
       "error: [App_1] LogPath \"" + dir.file("plain") + "\" of application \"Shop\" is a file"},
      {general + app + dir.file("loop-a"), 1, "\" of application \"Shop\" is a symbolic-link loop"},
      {general + app + dir.file("plain") + "/sub", 1,
       "\" of application \"Shop\" cannot be created: \"" + dir.file("plain") + "\" is a file"},
      {general + "[Email]\nEnabled=1\nHost=127.0.0.1\nAddress=a@b.c\n", 1,
       "error: Email: UserName is empty"},
      {general + "[Email]\nPort=70000\n", 0, "warning: [Email] Port 70000 is not a valid port"},
      {general + "[Email]\nPort=abc\n", 0, "warning: [Email] Port \"abc\" is not a number"},
      {general + "[Email]\nAuthentication=login\n", 0,
       "warning: [Email] Authentication \"login\" is not SASL, none or default"},
      {general + "IgnoreExceptions=" + std::string(3000, 'E') + "\n", 0,
       "warning: [General] IgnoreExceptions reaches the limit of 2047 characters"},
  };
  for (const Case& c : cases) {
    const bool isText = c.config.find('\n') != std::string::npos;
    CommandResult r = CheckConfig(isText ? WriteIni(c.config) : dir.file(c.config));
    EXPECT_EQ(r.code, c.code) << r.out;
    EXPECT_NE(r.out.find(c.line), std::string::npos) << c.line << "\n" << r.out;
  }

  // Checked as root, a file only root reads fails for a service that runs as another user.
  if (geteuid() == 0) {
    fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
    const std::string ini = WriteIni(general);
    std::ostringstream out;
    EXPECT_EQ(vel::RunCheckConfig(ini, out, dir.file("unit.service")), 1) << out.str();
    EXPECT_NE(out.str().find("\" readable by root only, not by user \"nobody\""), std::string::npos)
        << out.str();
    fs::permissions(ini, fs::perms::others_read, fs::perm_options::add);
    std::ostringstream readable;
    EXPECT_EQ(vel::RunCheckConfig(ini, readable, dir.file("unit.service")), 0) << readable.str();
  }
}

TEST_F(OperatorCommands, CheckConfigWarnsWhenMailSecurityIsWeakened) {
  const std::string mail = "[General]\nMonitorEnabled=1\nLogPath=" + LogPath() +
                           "\n[Email]\nEnabled=1\nHost=smtp.example.com\nAddress=a@b.c\n"
                           "UserName=monitor\nPassword=" +
                           kPassword + "\n";
  const std::string noCheck = "Email: VerifyCertificate is off";
  const std::string plain = "Email: UseTLS is off: the password would be sent without encryption";
  CommandResult r = CheckConfig(WriteIni(mail + "UseTLS=1\nVerifyCertificate=0\n"));
  EXPECT_NE(r.out.find("warning: " + noCheck), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(plain), std::string::npos) << r.out;
  r = CheckConfig(WriteIni(mail + "UseTLS=0\n"));
  EXPECT_NE(r.out.find("warning: " + plain), std::string::npos) << r.out;
  r = CheckConfig(WriteIni(mail + "UseTLS=1\n"));
  EXPECT_EQ(r.out.find(noCheck), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(plain), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Port 465"), std::string::npos) << r.out;
  r = CheckConfig(WriteIni(mail + "UseTLS=0\nPort=465\n"));
  EXPECT_NE(
      r.out.find("warning: Email: Port 465 expects TLS from the first byte, but UseTLS is off"),
      std::string::npos)
      << r.out;
}

TEST_F(OperatorCommands, CheckConfigNamesRecipientsThatAreNoAddress) {
  // An unquoted comma splits the display name into an entry of its own.
  std::string ini = WriteIni("[General]\nMonitorEnabled=1\nLogPath=" + LogPath() +
                             "\n[Email]\nEnabled=1\nHost=h\nUserName=u\n"
                             "Address=Доска, Ops <ops@x.org>, \"Board, Ops\" <b@x.org>\n");
  CommandResult r = CheckConfig(ini);
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("error: Email: Address: \"Доска\" is not an e-mail address"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1 error(s)"), std::string::npos) << r.out;
}

TEST_F(OperatorCommands, TestNotifyDeliversOnEveryConfiguredChannel) {
  vel::test::ChannelMock mock;
  fs::create_directories(dir.path() / "smtp");
  vel::test::SmtpServer smtp(dir.path() / "smtp");
  ASSERT_TRUE(smtp.Started()) << smtp.StartError();
  std::string ini =
      WriteIni("[General]\nLogPath=" + LogPath() + "\n[Telegram]\nEnabled=1\nBotToken=" + kToken +
               "\nChatId=42\nApiUrl=" + mock.TelegramApiUrl() +
               "\n[Discord]\nEnabled=1\nToken=" + kWebhook + "\nApiUrl=" + mock.DiscordApiUrl() +
               "\n[Email]\nEnabled=1\nHost=127.0.0.1\n"
               "Port=" +
               std::to_string(smtp.Port()) +
               "\nAddress=ops@example.com\n"
               "UserName=monitor@example.com\nAuthentication=none\n");

  CommandResult r = TestNotify(ini);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, "telegram: ok\ndiscord: ok\nemail: ok\n");
  ASSERT_EQ(mock.TelegramRequests().size(), 1u);
  EXPECT_NE(mock.TelegramRequests()[0].Form["text"].find("test notification"), std::string::npos);
  EXPECT_EQ(mock.TelegramRequests()[0].Form.count("disable_notification"), 0u);
  ASSERT_EQ(mock.DiscordRequests().size(), 1u);
  EXPECT_NE(mock.DiscordRequests()[0].Json.find("VelServerMonitor test notification"),
            std::string::npos);
  auto mail = smtp.WaitForMessage(1);
  ASSERT_TRUE(mail.has_value());
  EXPECT_NE(mail->body.find("VelServerMonitor test notification"), std::string::npos);

  // Only the named channel.
  CommandResult one = TestNotify(ini, "discord");
  EXPECT_EQ(one.code, 0);
  EXPECT_EQ(one.out, "discord: ok\n");
  EXPECT_EQ(mock.TelegramRequests().size(), 1u);
}

TEST_F(OperatorCommands, TestNotifyReportsFailuresWithoutSecrets) {
  vel::test::ChannelMock mock;
  mock.RespondTelegramError(401, "Unauthorized");
  std::string ini =
      WriteIni("[General]\nLogPath=" + LogPath() + "\n[Telegram]\nEnabled=1\nBotToken=" + kToken +
               "\nChatId=42\nApiUrl=" + mock.TelegramApiUrl() +
               "\n[Email]\nEnabled=1\nHost=127.0.0.1\n"
               "Port=1\nAddress=ops@example.com\nUserName=monitor@example.com\nPassword=" +
               kPassword + "\n");
  CommandResult r = TestNotify(ini);
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("telegram: "), std::string::npos);
  EXPECT_NE(r.out.find("Unauthorized"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("email: "), std::string::npos);
  EXPECT_NE(r.out.find("TVelMailSender: Could not connect to SMTP server."), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("SECRET"), std::string::npos) << r.out;

  CommandResult unconfigured = TestNotify(ini, "discord");
  EXPECT_EQ(unconfigured.code, 1);
  EXPECT_NE(unconfigured.out.find("discord: not configured"), std::string::npos);
  EXPECT_EQ(TestNotify(ini, "pager").code, 2);
}

}  // namespace
