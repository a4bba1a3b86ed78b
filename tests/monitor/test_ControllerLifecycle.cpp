#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "applog/AppLog.h"
#include "common/Exception.h"
#include "common/Utf.h"
#include "mailslot/Mailslot.h"
#include "monitor/MonitorController.h"
#include "support/TestSupport.h"

namespace {

using vel::TVelMonitorController;
using vel::TVelMonitorOptions;

std::string UniqueChannel() {
  static std::atomic<int> counter{0};
  return "velctl_" + std::to_string(vel::test::ProcessId()) + "_" + std::to_string(++counter);
}

class ControllerLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    savedFolder_ = vel::LogFolder();
    logDir_ = dir_.path().string() + "/";
    vel::SetLogFolder(logDir_);
    vel::SetEventLogSink([](const std::string&) {});
    std::filesystem::create_directory(dir_.path() / "app");
  }
  void TearDown() override {
    vel::SetEventLogSink(nullptr);
    vel::SetLogFolder(savedFolder_);
  }

  TVelMonitorOptions Options(const std::string& ini) {
    vel::test::WriteFile(dir_.file("monitor.ini"), ini);
    TVelMonitorOptions o;
    o.ConfigFile = dir_.file("monitor.ini");
    o.MailslotId = UniqueChannel();
    o.PollIntervalMs = 50;
    return o;
  }
  // [General] with the log in this test's folder and one enabled application.
  std::string Ini(bool enabled, bool appEnabled = true) {
    return "[General]\nLogPath=" + logDir_ +
           "\nAppCount=1\nMonitorEnabled=" + (enabled ? "1" : "0") +
           "\n[App_1]\nName=Shop\nLogPath=" + dir_.file("app") +
           "\nEnabled=" + (appEnabled ? "1" : "0") + "\n";
  }
  std::string LogText() {
    return vel::Utf16LEBytesToUtf8(vel::test::ReadFile(logDir_ + vel::ApplicationName() + ".log"));
  }

  vel::test::TempDir dir_;
  std::string savedFolder_;
  std::string logDir_;
};

TEST_F(ControllerLifecycle, GuardedRunnerWritesOneLabelledLineAndGoesOn) {
  TVelMonitorController c(Options(""));
  c.RunGuarded([] { throw vel::Exception("boom"); }, "DoReadMailslot");
  c.RunGuarded([] { throw std::runtime_error("plain"); }, "");
  bool ran = false;
  c.RunGuarded([&] { ran = true; }, "Fine");
  c.RunGuarded(nullptr, "Null");
  EXPECT_TRUE(ran);

  std::string text = LogText();
  auto first = text.find("\r\n");
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_TRUE(text.substr(0, first).ends_with(" Error: DoReadMailslot: boom")) << text;
  std::string second = text.substr(first + 2);
  EXPECT_TRUE(second.ends_with(" Error: plain\r\n")) << text;
  EXPECT_EQ(second.find("\r\n"), second.size() - 2) << "exactly two lines: " << text;

  // Something that is not an exception object is not the runner's to swallow.
  EXPECT_THROW(c.RunGuarded([] { throw 42; }, "Int"), int);
}

TEST_F(ControllerLifecycle, MasterSwitchOffStartsNothingAndLogsNothing) {
  {
    TVelMonitorController c(Options(Ini(false)));
    c.Start();
    EXPECT_FALSE(c.Config().Enabled());
    EXPECT_EQ(c.Config().AppList().size(), 1u) << "the configuration is loaded all the same";
    EXPECT_EQ(c.FolderMonitorCount(), 0u);
    c.Stop();
  }
  EXPECT_FALSE(std::filesystem::exists(logDir_ + vel::ApplicationName() + ".log"));
}

TEST_F(ControllerLifecycle, NoApplicationsStartsNothing) {
  TVelMonitorController c(Options("[General]\nLogPath=" + logDir_ + "\nMonitorEnabled=1\n"));
  c.Start();
  EXPECT_TRUE(c.Config().Enabled());
  EXPECT_EQ(c.FolderMonitorCount(), 0u);
  c.Stop();
  EXPECT_FALSE(std::filesystem::exists(logDir_ + vel::ApplicationName() + ".log"));
}

TEST_F(ControllerLifecycle, StartLoadsTheConfigurationAndInstallsTheLogFolder) {
  vel::SetLogFolder("/nowhere/");
  TVelMonitorController c(Options(Ini(false)));
  EXPECT_FALSE(c.Config().Enabled());
  EXPECT_TRUE(c.Config().AppList().empty()) << "nothing is read before Start";
  c.Start();
  EXPECT_EQ(vel::LogFolder(), logDir_);
  EXPECT_EQ(c.Options().ConfigFile, dir_.file("monitor.ini"));
}

TEST_F(ControllerLifecycle, StartedMonitorWatchesEnabledAppsAndStopMayRunTwice) {
  {
    TVelMonitorController c(Options(Ini(true)));
    c.Start();
    EXPECT_EQ(c.FolderMonitorCount(), 1u);
    c.Stop();
    EXPECT_EQ(c.FolderMonitorCount(), 0u);
    c.Stop();  // finds nothing left to stop
    EXPECT_EQ(c.FolderMonitorCount(), 0u);
  }  // and the destructor stops a third time
  EXPECT_FALSE(std::filesystem::exists(logDir_ + vel::ApplicationName() + ".log"))
      << vel::Utf16LEBytesToUtf8(vel::test::ReadFile(logDir_ + vel::ApplicationName() + ".log"));
}

TEST_F(ControllerLifecycle, DisabledApplicationIsNotWatched) {
  TVelMonitorController c(Options(Ini(true, false)));
  c.Start();
  EXPECT_EQ(c.FolderMonitorCount(), 0u);
}

TEST_F(ControllerLifecycle, DestroyWithoutStartAndRepeatedLifecycles) {
  // Created and destroyed without ever starting, as an install run does.
  for (int i = 0; i < 3; ++i) {
    TVelMonitorController c(Options(Ini(true)));
  }
  // Several controllers after one another on the same folder.
  for (int i = 0; i < 3; ++i) {
    TVelMonitorController c(Options(Ini(true)));
    c.Start();
  }
  EXPECT_FALSE(std::filesystem::exists(logDir_ + vel::ApplicationName() + ".log"));
}

// A status report as monitored applications send it.
int SendStatus(const std::string& channel, const std::string& appName) {
  vel::TVelMailslotClient client(channel);
  client.SetAutoOpen(true);
  return client.Write("AppName=" + appName + "|SessionCount=1");
}

TEST_F(ControllerLifecycle, AllApplicationsDisabledStillRelaysStatusReports) {
  auto options = Options(Ini(true, false));
  vel::test::Latch<std::string> got;  // outlives the controller, whose relay thread sets it
  TVelMonitorController c(options);
  c.SetOnMessage([&](const std::string& msg) { got.Set(msg); });
  c.Start();
  EXPECT_EQ(c.FolderMonitorCount(), 0u);
  ASSERT_GT(SendStatus(options.MailslotId, "Shop"), 0);
  ASSERT_TRUE(got.Wait()) << "the polling thread runs";
  EXPECT_NE(got.Get().find("AppName=Shop"), std::string::npos);
  c.Stop();
}

TEST_F(ControllerLifecycle, MasterSwitchOffNeverReadsTheStatusChannel) {
  auto options = Options(Ini(false));
  TVelMonitorController c(options);
  std::atomic<int> seen{0};
  c.SetOnMessage([&](const std::string&) { ++seen; });
  c.Start();
  // The channel is open (created with the controller), so the send succeeds ...
  ASSERT_GT(SendStatus(options.MailslotId, "Shop"), 0);
  // ... but nothing reads it: many poll intervals pass without a report.
  EXPECT_FALSE(vel::test::WaitUntil([&] { return seen.load() > 0; },
                                    std::chrono::milliseconds(20 * options.PollIntervalMs)));
  c.Stop();
}

}  // namespace
