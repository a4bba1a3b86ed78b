// The command line of the Windows program: the classic slash switches next to the long options.

#include <gtest/gtest.h>

#include "service/ServiceHost.h"

namespace vel {
namespace {

TEST(WindowsServiceCommandLine, ModesAndTheirSpellings) {
  struct Case {
    std::vector<std::string> args;
    TServiceMode mode;
    std::string config;
  };
  const Case cases[] = {
      {{}, TServiceMode::smService, ""},
      {{"--console", "--config", "C:\\a b\\m.ini"}, TServiceMode::smConsole, "C:\\a b\\m.ini"},
      {{"--install", "--config=m.ini"}, TServiceMode::smInstall, "m.ini"},
      {{"/install"}, TServiceMode::smInstall, ""},
      {{"/INSTALL", "--config", "x.ini"}, TServiceMode::smInstall, "x.ini"},
      {{"/Uninstall"}, TServiceMode::smUninstall, ""},
      {{"--uninstall"}, TServiceMode::smUninstall, ""},
      {{"--check-config"}, TServiceMode::smCheckConfig, ""},
      {{"/install", "/?"}, TServiceMode::smHelp, ""},
      {{"--version"}, TServiceMode::smVersion, ""},
  };
  for (const auto& c : cases) {
    const auto cmd = ParseServiceCommandLine(c.args);
    EXPECT_EQ(cmd.Mode, c.mode) << ::testing::PrintToString(c.args);
    EXPECT_EQ(cmd.ConfigFile, c.config) << ::testing::PrintToString(c.args);
  }
  const auto notify = ParseServiceCommandLine({"--test-notify", "discord", "--config", "m.ini"});
  EXPECT_EQ(notify.Mode, TServiceMode::smTestNotify);
  EXPECT_EQ(notify.Channel, "discord");
}

TEST(WindowsServiceCommandLine, MistakesAreRefused) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"/install", "--uninstall"},
                                               {"--console", "/install"},
                                               {"--config"},
                                               {"--config="},
                                               {"--unit-dir", "C:\\x"},
                                               {"/installs"},
                                               {"-install"}}) {
    EXPECT_THROW(ParseServiceCommandLine(args), EServiceUsage) << ::testing::PrintToString(args);
  }
}

}  // namespace
}  // namespace vel
