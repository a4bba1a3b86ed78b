#include "config/MonitorConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "applog/AppLog.h"
#include "support/TestSupport.h"

namespace {

using vel::TVelMonitorConfig;

class MonitorConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { savedFolder_ = vel::LogFolder(); }
  void TearDown() override { vel::SetLogFolder(savedFolder_); }

  // Loads a configuration from the given INI text.
  std::unique_ptr<TVelMonitorConfig> Load(const std::string& text) {
    vel::test::WriteFile(dir_.file("m.ini"), text);
    auto cfg = std::make_unique<TVelMonitorConfig>(dir_.file("m.ini"));
    cfg->LoadConfig();
    return cfg;
  }
  std::vector<std::string> AppNames(const TVelMonitorConfig& cfg) {
    std::vector<std::string> out;
    for (const auto& a : cfg.AppList()) out.push_back(a->Name());
    return out;
  }

  vel::test::TempDir dir_;
  std::string savedFolder_;
};

TEST_F(MonitorConfigTest, MissingFileGivesDefaults) {
  vel::SetLogFolder("/somewhere/else/");
  TVelMonitorConfig cfg(dir_.file("absent.ini"));
  cfg.LoadConfig();
  auto exeDir = vel::test::ExecutablePath().parent_path().string() + vel::test::PathDelimiter();
  EXPECT_FALSE(cfg.Enabled());
  EXPECT_TRUE(cfg.AppList().empty());
  EXPECT_EQ(cfg.LogPath(), exeDir);
  EXPECT_EQ(vel::LogFolder(), exeDir);
  const auto& mail = cfg.EmailConfig();
  EXPECT_EQ(mail.Port(), 25);
  EXPECT_EQ(mail.Subject(), "Vel Server Monitor Report");
  EXPECT_EQ(mail.Authentication(), "default");
  EXPECT_FALSE(mail.Enabled());
  EXPECT_FALSE(mail.UseTLS());
  EXPECT_TRUE(mail.VerifyCertificate());
  EXPECT_EQ(mail.ConnectTimeout(), 10);
  EXPECT_FALSE(cfg.TelegramConfig().Enabled());
  EXPECT_FALSE(cfg.TelegramConfig().DisableNotification());
  EXPECT_EQ(cfg.TelegramConfig().ApiUrl(), "https://api.telegram.org");
  EXPECT_EQ(cfg.DiscordConfig().ApiUrl(), "https://discord.com/api/webhooks/");
  EXPECT_TRUE(cfg.IgnoreExceptions().empty());
  EXPECT_FALSE(cfg.IgnoreExceptionClass(""));
}

TEST_F(MonitorConfigTest, DefaultFileIsTheExecutablePathWithIni) {
  TVelMonitorConfig cfg;
  auto exe = vel::test::ExecutablePath();
  EXPECT_EQ(cfg.FileName(), (exe.parent_path() / exe.stem()).string() + ".ini");
}

TEST_F(MonitorConfigTest, FullFileIsReadIntoEveryField) {
  std::string logDir = dir_.path().string() + "/logs";
  auto cfg = Load(
      "[General]\n"
      "LogPath=" +
      logDir +
      "\n"
      "AppCount=1\n"
      "MonitorEnabled=yes\n"
      "IgnoreExceptions=EAbort; EConvertError,\"My Error\"\n"
      "[App_1]\nName=Shop\nLogPath=/srv/shop/log\nEnabled=1\n"
      "[Telegram]\nEnabled=true\nBotToken=123:abc\nChatId=-100\nSendFullLog=1\n"
      "MaxErrors=3\nApiUrl=http://127.0.0.1:9/\nDisableNotification=1\n"
      "[Discord]\nEnabled=t\nToken=id/tok\nUsername=Bot\nSendFullLog=no\n"
      "MaxErrors=0x10\n"
      "[Email]\nEnabled=Y\nAddress=a@x, b@x\nHost=smtp.local\nPort=587\n"
      "UserName=u\nPassword=p "
      "w\nAuthentication=sasl\nSubject=Alerts\nUseTLS=1\nVerifyCertificate=0\n"
      "ConnectTimeout=25\nSendFullLog=true\nMaxErrors=9\n");
  EXPECT_TRUE(cfg->Enabled());
  EXPECT_EQ(cfg->LogPath(), logDir);
  EXPECT_EQ(vel::LogFolder(), logDir) << "used exactly as written, no separator added";
  ASSERT_EQ(cfg->AppList().size(), 1u);
  EXPECT_EQ(cfg->AppList()[0]->Name(), "Shop");
  EXPECT_EQ(cfg->AppList()[0]->LogPath(), "/srv/shop/log");
  EXPECT_TRUE(cfg->AppList()[0]->Enabled());

  const auto& tg = cfg->TelegramConfig();
  EXPECT_TRUE(tg.Enabled());
  EXPECT_EQ(tg.BotToken(), "123:abc");
  EXPECT_EQ(tg.ChatId(), "-100");
  EXPECT_TRUE(tg.SendFullLog());
  EXPECT_FALSE(tg.TruncateErrorLog());
  EXPECT_EQ(tg.MaxErrors(), 3);
  EXPECT_EQ(tg.ApiUrl(), "http://127.0.0.1:9/");
  EXPECT_TRUE(tg.DisableNotification());

  const auto& dc = cfg->DiscordConfig();
  EXPECT_TRUE(dc.Enabled());
  EXPECT_EQ(dc.Token(), "id/tok");
  EXPECT_EQ(dc.UserName(), "Bot");
  EXPECT_FALSE(dc.SendFullLog());
  EXPECT_TRUE(dc.TruncateErrorLog());
  EXPECT_EQ(dc.MaxErrors(), 16);
  EXPECT_EQ(dc.ApiUrl(), "https://discord.com/api/webhooks/");

  const auto& em = cfg->EmailConfig();
  EXPECT_TRUE(em.Enabled());
  EXPECT_EQ(em.Address(), "a@x, b@x");
  EXPECT_EQ(em.Host(), "smtp.local");
  EXPECT_EQ(em.Port(), 587);
  EXPECT_EQ(em.UserName(), "u");
  EXPECT_EQ(em.Password(), "p w");
  EXPECT_EQ(em.Authentication(), "SASL");
  EXPECT_EQ(em.Subject(), "Alerts");
  EXPECT_TRUE(em.UseTLS());
  EXPECT_FALSE(em.VerifyCertificate());
  EXPECT_EQ(em.ConnectTimeout(), 25);
  // The e-mail section has no such keys: these stay at their initial values.
  EXPECT_FALSE(em.SendFullLog());
  EXPECT_EQ(em.MaxErrors(), 0);
  EXPECT_TRUE(em.TruncateErrorLog());

  EXPECT_EQ(cfg->IgnoreExceptions(),
            (std::vector<std::string>{"EAbort", "EConvertError", "My Error"}));
}

TEST_F(MonitorConfigTest, ApplicationSectionNumbering) {
  // AppCount=2 with App_1 and App_2 only; App_3 is beyond the count.
  auto cfg = Load(
      "[General]\nAppCount=2\n"
      "[App_3]\nName=C\nLogPath=/c\n"
      "[App_2]\nName=B\nLogPath=/b\n"
      "[app_1]\nName=A\nLogPath=/a\n");
  EXPECT_EQ(AppNames(*cfg), (std::vector<std::string>{"A", "B"})) << "number order, not file order";
  EXPECT_FALSE(cfg->AppList()[0]->Enabled());

  cfg = Load("[General]\nAppCount=0\n[App_0]\nName=Zero\nLogPath=/z\nEnabled=1\n");
  EXPECT_EQ(AppNames(*cfg), (std::vector<std::string>{"Zero"}));

  cfg = Load("[General]\nAppCount=-1\n[App_0]\nName=Zero\nLogPath=/z\n");
  EXPECT_TRUE(cfg->AppList().empty());

  cfg = Load(
      "[General]\nAppCount=abc\n[App_0]\nName=Zero\nLogPath=/z\n[App_1]\nName=One\nLogPath=/o\n");
  EXPECT_EQ(AppNames(*cfg), (std::vector<std::string>{"Zero"})) << "a bad count is 0";

  // Empty section, missing Name, empty LogPath, leading zero: all skipped.
  cfg = Load(
      "[General]\nAppCount=5\n"
      "[App_0]\n; no keys\n"
      "[App_1]\nLogPath=/x\n"
      "[App_2]\nName=N\nLogPath=\n"
      "[App_03]\nName=Lead\nLogPath=/l\n"
      "[App_4]\nName=Ok\nLogPath=/ok\n");
  EXPECT_EQ(AppNames(*cfg), (std::vector<std::string>{"Ok"}));
}

TEST_F(MonitorConfigTest, HugeAppCountReadsOnlyWhatIsThere) {
  auto start = std::chrono::steady_clock::now();
  auto cfg = Load(
      "[General]\nAppCount=2147483647\n[App_7]\nName=S\nLogPath=/s\n"
      "[App_2147483647]\nName=Last\nLogPath=/l\n[App_2147483648]\nName=X\nLogPath=/x\n");
  EXPECT_EQ(AppNames(*cfg), (std::vector<std::string>{"S", "Last"}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(MonitorConfigTest, MasterSwitchWordsAndNumbers) {
  for (const char* v : {"Yes", "1", "T", "true", "Y"})
    EXPECT_TRUE(Load(std::string("[General]\nMonitorEnabled=") + v + "\n")->Enabled()) << v;
  for (const char* v : {"on", "enabled", "", "0", "no"})
    EXPECT_FALSE(Load(std::string("[General]\nMonitorEnabled=") + v + "\n")->Enabled()) << v;

  EXPECT_EQ(Load("[Email]\nPort=0x1D\n")->EmailConfig().Port(), 29);
  EXPECT_EQ(Load("[Email]\nPort=abc\n")->EmailConfig().Port(), 25);
  EXPECT_EQ(Load("[Email]\nPort=99999999999\n")->EmailConfig().Port(), 25);
  EXPECT_EQ(Load("[Telegram]\nMaxErrors=-$A\n")->TelegramConfig().MaxErrors(), -10);
}

TEST_F(MonitorConfigTest, StringsPresentButEmpty) {
  auto cfg = Load(
      "[General]\nLogPath=\n[Email]\nSubject=\nAuthentication=\n"
      "[Telegram]\nApiUrl=\n");
  EXPECT_EQ(cfg->LogPath(), "");
  EXPECT_EQ(vel::LogFolder(), "");
  EXPECT_EQ(vel::AppLogFileName(), vel::ApplicationName() + ".log");
  EXPECT_EQ(cfg->EmailConfig().Subject(), "");
  EXPECT_EQ(cfg->EmailConfig().Authentication(), "default");
  EXPECT_EQ(cfg->TelegramConfig().ApiUrl(), "https://api.telegram.org");
}

TEST_F(MonitorConfigTest, AuthenticationWords) {
  vel::TEmailConfig em;
  const std::pair<const char*, const char*> cases[] = {
      {"sasl", "SASL"},     {"SASL", "SASL"}, {"NONE", "none"},    {"None", "none"},
      {"login", "default"}, {"", "default"},  {"sasl ", "default"}};
  for (auto [in, out] : cases) {
    em.SetAuthentication(in);
    EXPECT_EQ(em.Authentication(), out) << in;
  }
}

TEST_F(MonitorConfigTest, IgnoreExceptionsParsing) {
  TVelMonitorConfig cfg(dir_.file("x.ini"));
  EXPECT_FALSE(cfg.IgnoreExceptionClass("EAbort")) << "no list before the first load";

  cfg.SetIgnoreExceptions("EAbort; EConvertError,\"My Error\"");
  EXPECT_EQ(cfg.IgnoreExceptions(),
            (std::vector<std::string>{"EAbort", "EConvertError", "My Error"}));
  EXPECT_TRUE(cfg.IgnoreExceptionClass("eabort"));
  EXPECT_TRUE(cfg.IgnoreExceptionClass("my error"));
  EXPECT_FALSE(cfg.IgnoreExceptionClass("My"));

  cfg.SetIgnoreExceptions("EAbort;");
  EXPECT_EQ(cfg.IgnoreExceptions(), (std::vector<std::string>{"", "EAbort"}));
  EXPECT_FALSE(cfg.IgnoreExceptionClass("EConvertError")) << "the list is replaced";

  // Blanks separate like commas; duplicates (any case) are kept once; doubled quotes.
  cfg.SetIgnoreExceptions("  Zeta alpha\tALPHA ,, \"say \"\"hi\"\"\"  ");
  EXPECT_EQ(cfg.IgnoreExceptions(), (std::vector<std::string>{"", "alpha", "say \"hi\"", "Zeta"}));

  cfg.SetIgnoreExceptions("\"unterminated, rest");
  EXPECT_EQ(cfg.IgnoreExceptions(), (std::vector<std::string>{"unterminated, rest"}));

  cfg.SetIgnoreExceptions("");
  EXPECT_TRUE(cfg.IgnoreExceptions().empty());
}

}  // namespace
