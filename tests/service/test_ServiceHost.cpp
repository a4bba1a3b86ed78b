#include "service/ServiceHost.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "service/ServerMonitorSvc.h"
#include "support/TestSupport.h"

namespace {

using vel::ParseServiceCommandLine;
using vel::TServiceMode;

TEST(ServiceCommandLine, ModesAndValues) {
  auto c = ParseServiceCommandLine({});
  EXPECT_EQ(c.Mode, TServiceMode::smService);
  EXPECT_EQ(c.ConfigFile, "");

  c = ParseServiceCommandLine({"--console", "--config", "/etc/x.ini"});
  EXPECT_EQ(c.Mode, TServiceMode::smConsole);
  EXPECT_EQ(c.ConfigFile, "/etc/x.ini");

  c = ParseServiceCommandLine({"--config=a b.ini", "--install", "--unit-dir=/tmp/u"});
  EXPECT_EQ(c.Mode, TServiceMode::smInstall);
  EXPECT_EQ(c.ConfigFile, "a b.ini");
  EXPECT_EQ(c.UnitDir, "/tmp/u");

  c = ParseServiceCommandLine({"--unit-dir", "/tmp/u", "--uninstall"});
  EXPECT_EQ(c.Mode, TServiceMode::smUninstall);

  EXPECT_EQ(ParseServiceCommandLine({"--install", "--help"}).Mode, TServiceMode::smHelp);
  EXPECT_EQ(ParseServiceCommandLine({"-h"}).Mode, TServiceMode::smHelp);
  EXPECT_EQ(ParseServiceCommandLine({"--version"}).Mode, TServiceMode::smVersion);
  // The same mode twice is harmless.
  EXPECT_EQ(ParseServiceCommandLine({"--console", "--console"}).Mode, TServiceMode::smConsole);
}

TEST(ServiceCommandLine, OperatorCommands) {
  auto c = ParseServiceCommandLine({"--test-notify", "discord", "--config", "m.ini"});
  EXPECT_EQ(c.Mode, TServiceMode::smTestNotify);
  EXPECT_EQ(c.Channel, "discord");
  EXPECT_EQ(c.ConfigFile, "m.ini");
  c = ParseServiceCommandLine({"--test-notify", "--config", "m.ini"});
  EXPECT_EQ(c.Channel, "");
  EXPECT_EQ(c.ConfigFile, "m.ini");
  EXPECT_EQ(ParseServiceCommandLine({"--check-config"}).Mode, TServiceMode::smCheckConfig);
  EXPECT_THROW(ParseServiceCommandLine({"--check-config", "--console"}), vel::EServiceUsage);
}

TEST(ServiceCommandLine, BadInputIsAUsageError) {
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},
      {"install"},
      {"--config"},
      {"--config="},
      {"--config", ""},
      {"--console", "--install"},
      {"--install", "--uninstall"},
      {"--unit-dir", "/tmp"},  // without --install or --uninstall
      {"--consoles"},
      {"--config-file=x"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_THROW(ParseServiceCommandLine(args), vel::EServiceUsage) << joined;
  }
  try {
    ParseServiceCommandLine({"--nope"});
  } catch (const vel::EServiceUsage& e) {
    EXPECT_NE(std::string(e.what()).find("--nope"), std::string::npos);
  }
}

TEST(ServiceUnitFile, ContentAndEscaping) {
  std::string unit = vel::UnitFileText("/usr/sbin/velservermonitor", "");
  for (const char* line :
       {"[Unit]\n", "\nDescription=Velmora Server Monitor Service Application\n", "\n[Service]\n",
        "\nType=notify\n", "\nExecStart=/usr/sbin/velservermonitor\n", "\nRestart=on-failure\n",
        "\n[Install]\n", "\nWantedBy=multi-user.target\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line;

  unit = vel::UnitFileText("/opt/vel/velservermonitor", "/etc/vel/monitor.ini");
  EXPECT_NE(unit.find("\nExecStart=/opt/vel/velservermonitor --config /etc/vel/monitor.ini\n"),
            std::string::npos);

  EXPECT_EQ(vel::EscapeUnitArgument("/plain/path"), "/plain/path");
  EXPECT_EQ(vel::EscapeUnitArgument("/a b/c"), "\"/a b/c\"");
  EXPECT_EQ(vel::EscapeUnitArgument("/100%/$HOME"), "/100%%/$$HOME");
  EXPECT_EQ(vel::EscapeUnitArgument("/q\"x\\y"), "\"/q\\\"x\\\\y\"");
  EXPECT_EQ(vel::EscapeUnitArgument(";"), "\";\"");
  EXPECT_EQ(vel::EscapeUnitArgument(""), "\"\"");
}

TEST(ServiceUnitFile, PackagedUnitIsTheInstalledOneAndIsSandboxed) {
  const std::string packaged =
      vel::test::ReadFile(VEL_SOURCE_DIR "/packaging/velservermonitor.service");
  EXPECT_EQ(packaged, vel::UnitFileText("/usr/bin/velservermonitor",
                                        "/etc/velservermonitor/velservermonitor.ini"));
  if (!std::filesystem::exists("/usr/bin/systemd-analyze")) GTEST_SKIP() << "no systemd-analyze";
  vel::test::TempDir dir;
  vel::test::WriteFile(dir.path() / "velservermonitor.service", packaged);
  const std::string cmd = "cd '" + dir.path().string() +
                          "' && systemd-analyze security --offline=true velservermonitor.service "
                          "> analyze.out 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  // "-> Overall exposure level for velservermonitor.service: 2.3 OK :-)"
  const std::string out = vel::test::ReadFile(dir.path() / "analyze.out");
  const size_t at = out.find("Overall exposure level for velservermonitor.service: ");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string rating = out.substr(at + 53, out.find('\n', at) - at - 53);
  EXPECT_LT(std::stod(rating), 7.5) << "worse than MEDIUM: " << rating;
}

TEST(ServiceUnitFile, InstallWritesAndUninstallRemoves) {
  vel::test::TempDir dir;
  std::string out, error;
  ASSERT_TRUE(vel::InstallUnit(dir.path().string() + "/", "[Unit]\n", false, out, error)) << error;
  std::string path = dir.file("velservermonitor.service");
  EXPECT_EQ(vel::test::ReadFile(path), "[Unit]\n");
  EXPECT_NE(out.find("Wrote " + path), std::string::npos) << out;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // A second install replaces the file.
  ASSERT_TRUE(vel::InstallUnit(dir.path().string(), "[Unit]\nX=1\n", false, out, error));
  EXPECT_EQ(vel::test::ReadFile(path), "[Unit]\nX=1\n");

  out.clear();
  ASSERT_TRUE(vel::UninstallUnit(dir.path().string(), false, out, error)) << error;
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_NE(out.find("Removed " + path), std::string::npos);

  out.clear();
  EXPECT_TRUE(vel::UninstallUnit(dir.path().string(), false, out, error));
  EXPECT_NE(out.find("nothing to remove"), std::string::npos) << out;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "no temporary files left behind";
}

TEST(ServiceUnitFile, UnwritableFolderFailsCleanly) {
  vel::test::TempDir dir;
  std::string out, error;
  vel::test::WriteFile(dir.path() / "blocker", "a file, not a folder");
  EXPECT_FALSE(vel::InstallUnit(dir.file("blocker") + "/units", "[Unit]\n", false, out, error));
  EXPECT_NE(error.find("Cannot create the unit folder " + dir.file("blocker") + "/units"),
            std::string::npos)
      << error;
  EXPECT_EQ(out, "");

  if (::geteuid() != 0) {  // root writes anywhere
    std::filesystem::create_directory(dir.path() / "ro");
    std::filesystem::permissions(
        dir.path() / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    error.clear();
    EXPECT_FALSE(vel::InstallUnit(dir.file("ro"), "[Unit]\n", false, out, error));
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
    std::filesystem::permissions(dir.path() / "ro", std::filesystem::perms::owner_all);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "ro"));
  }
}

TEST(ServiceModule, CreatesTheControllerAndRelaysStartAndStop) {
  vel::test::TempDir dir;
  vel::test::WriteFile(dir.file("m.ini"), "[General]\nLogPath=" + dir.path().string() + "/\n");
  vel::TVelMonitorOptions options;
  options.ConfigFile = dir.file("m.ini");
  options.MailslotId = "velsvc_module_" + std::to_string(::getpid());
  vel::TVelServerMonitor_ module(options);
  EXPECT_EQ(module.Name(), "VelServerMonitor");
  EXPECT_EQ(module.MonitorController().Options().ConfigFile, dir.file("m.ini"));
  bool started = false, stopped = false;
  module.ServiceStart(started);
  EXPECT_TRUE(started);
  EXPECT_EQ(module.MonitorController().Config().LogPath(), dir.path().string() + "/");
  module.ServiceStop(stopped);
  EXPECT_TRUE(stopped);
}

}  // namespace
