// The real program, started as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>

#include "common/Utf.h"
#include "mailslot/Mailslot.h"
#include "support/TestSupport.h"

extern char** environ;

namespace {

const std::string kBinary = VEL_BINARY_DIR "/velservermonitor";

// A child with its stdout and stderr going to files in the test's folder.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& folder,
        const std::vector<std::string>& extraEnv = {})
      : out_(folder + "/child.out"), err_(folder + "/child.err") {
    std::vector<std::string> argv{kBinary};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> a;
    for (auto& s : argv) a.push_back(s.data());
    a.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0 &&
          std::strncmp(*e, "VEL_STATUS_CHANNEL=", 19) != 0)
        env.emplace_back(*e);
    // A channel of its own, so a child never takes the service's default channel from
    // another test running at the same time (unless the test names one).
    bool channelGiven = false;
    for (const auto& e : extraEnv)
      channelGiven = channelGiven || e.starts_with("VEL_STATUS_CHANNEL=");
    if (!channelGiven)
      env.push_back("VEL_STATUS_CHANNEL=velsvc_exe_" + std::to_string(::getpid()) + "_" +
                    std::to_string(++children_));
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int rc = posix_spawn(&pid_, kBinary.c_str(), &fa, nullptr, a.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) pid_ = -1;
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool Started() const { return pid_ > 0; }
  void Signal(int sig) { ::kill(pid_, sig); }
  // Waits for the exit; the exit code, or -1 on time-out, or 128 + signal.
  int Wait(std::chrono::milliseconds timeout) {
    int status = 0;
    bool done = vel::test::WaitUntil(
        [&] {
          pid_t r = ::waitpid(pid_, &status, WNOHANG);
          return r == pid_;
        },
        timeout);
    if (!done) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string Out() const { return vel::test::ReadFile(out_); }
  std::string Err() const { return vel::test::ReadFile(err_); }

 private:
  static inline int children_ = 0;
  std::string out_, err_;
  pid_t pid_ = -1;
  bool exited_ = false;
};

// A service manager's notification socket in the abstract namespace.
class NotifySocket {
 public:
  NotifySocket() {
    name_ = "@velsvc_notify_" + std::to_string(::getpid()) + "_" + std::to_string(++counter_);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name_.data(), name_.size());
    addr.sun_path[0] = '\0';
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size()));
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifySocket() { ::close(fd_); }
  std::string Env() const { return "NOTIFY_SOCKET=" + name_; }
  // The next datagram, "" after 10 s without one.
  std::string Receive() {
    char buf[512];
    ssize_t n;
    do {
      n = ::recv(fd_, buf, sizeof buf, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  static inline int counter_ = 0;
  std::string name_;
  int fd_;
};

class ServiceExecutable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(kBinary)) << kBinary << " is not built";
  }
  std::string WriteIni(const std::string& body) {
    std::string ini = dir_.file("monitor.ini");
    vel::test::WriteFile(ini, "[General]\nLogPath=" + dir_.path().string() + "/\n" + body);
    return ini;
  }
  std::string LogText() {
    return vel::Utf16LEBytesToUtf8(vel::test::ReadFile(dir_.file("velservermonitor.log")));
  }
  vel::test::TempDir dir_;
};

TEST_F(ServiceExecutable, ConsoleRunReportsReadyAndStopsOnSigtermWithinTwoSeconds) {
  std::filesystem::create_directory(dir_.path() / "app");
  std::string ini =
      WriteIni("AppCount=1\nMonitorEnabled=1\n[App_1]\nName=Shop\nLogPath=" + dir_.file("app") +
               "\nEnabled=1\n");
  NotifySocket notify;
  Child child({"--console", "--config", ini}, dir_.path().string(), {notify.Env()});
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(notify.Receive(), "READY=1") << child.Err();

  auto t0 = std::chrono::steady_clock::now();
  child.Signal(SIGTERM);
  int rc = child.Wait(std::chrono::seconds(10));
  auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(rc, 0) << child.Err();
  EXPECT_LT(elapsed, std::chrono::seconds(2));
  EXPECT_EQ(notify.Receive(), "STOPPING=1");
  EXPECT_EQ(LogText(), "") << "nothing is logged on a normal start and stop";
}

TEST_F(ServiceExecutable, ServiceRunWithMonitoringOffStopsOnSigint) {
  std::string ini = WriteIni("MonitorEnabled=0\n");
  NotifySocket notify;
  Child child({"--config", ini}, dir_.path().string(), {notify.Env()});
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(notify.Receive(), "READY=1") << child.Err();
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(std::chrono::seconds(10)), 0) << child.Err();
  EXPECT_EQ(child.Err(), "") << "a service run writes nothing to stderr";
}

TEST_F(ServiceExecutable, StatusChannelNameComesFromTheEnvironment) {
  std::string channel = "velsvc_env_" + std::to_string(::getpid());
  std::string ini = WriteIni("MonitorEnabled=0\n");
  NotifySocket notify;
  Child child({"--config", ini}, dir_.path().string(),
              {notify.Env(), "VEL_STATUS_CHANNEL=" + channel});
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(notify.Receive(), "READY=1") << child.Err();
  {
    vel::TVelMailslotServer taken(channel);
    taken.Open();
    EXPECT_FALSE(taken.IsOpen()) << "the running service holds the channel";
  }
  child.Signal(SIGTERM);
  ASSERT_EQ(child.Wait(std::chrono::seconds(10)), 0);
  vel::TVelMailslotServer free(channel);
  free.Open();
  EXPECT_TRUE(free.IsOpen()) << free.LastError();
}

TEST_F(ServiceExecutable, MissingConfigurationFileIsWarnedAboutButRuns) {
  NotifySocket notify;
  Child child({"--config", dir_.file("typo.ini")}, dir_.path().string(), {notify.Env()});
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(notify.Receive(), "READY=1") << child.Err();
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(std::chrono::seconds(10)), 0);
  EXPECT_NE(child.Err().find(dir_.file("typo.ini") + " does not exist"), std::string::npos)
      << child.Err();
}

TEST_F(ServiceExecutable, ConsoleEchoesDiagnosticLinesToStderr) {
  // A plain file in place of the application's log folder cannot be watched: that is logged.
  vel::test::WriteFile(dir_.file("not-a-folder"), "x");
  std::string ini = WriteIni("AppCount=1\nMonitorEnabled=1\n[App_1]\nName=Gone\nLogPath=" +
                             dir_.file("not-a-folder") + "\nEnabled=1\n");
  NotifySocket notify;
  Child child({"--console", "--config", ini}, dir_.path().string(), {notify.Env()});
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(notify.Receive(), "READY=1") << child.Err();
  child.Signal(SIGTERM);
  ASSERT_EQ(child.Wait(std::chrono::seconds(10)), 0);
  std::string log = LogText();
  ASSERT_NE(log.find("Error: "), std::string::npos) << "expected a logged failure";
  // The log line (without its CR LF) appears on stderr as well.
  std::string first = log.substr(0, log.find("\r\n"));
  EXPECT_NE(child.Err().find(first + "\n"), std::string::npos) << child.Err();
}

TEST_F(ServiceExecutable, InstallAndUninstallIntoAUnitFolder) {
  std::string units = dir_.file("units");
  std::filesystem::create_directory(units);
  // A relative --config is written as an absolute path.
  std::string ini = WriteIni("");
  std::string relative = std::filesystem::relative(ini).string();
  ASSERT_NE(relative.front(), '/');
  Child install({"--install", "--unit-dir", units, "--config", relative}, dir_.path().string());
  ASSERT_EQ(install.Wait(std::chrono::seconds(30)), 0) << install.Err();
  std::string unitPath = units + "/velservermonitor.service";
  std::string unit = vel::test::ReadFile(unitPath);
  EXPECT_NE(unit.find("\nExecStart=" + std::filesystem::canonical(kBinary).string() + " --config " +
                      ini + "\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
  EXPECT_NE(install.Out().find("Wrote " + unitPath), std::string::npos) << install.Out();

  if (std::filesystem::exists("/usr/bin/systemd-analyze") ||
      std::filesystem::exists("/bin/systemd-analyze")) {
    std::string cmd =
        "systemd-analyze verify '" + unitPath + "' > '" + dir_.file("verify.out") + "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << vel::test::ReadFile(dir_.file("verify.out"));
  }

  Child uninstall({"--uninstall", "--unit-dir", units}, dir_.path().string());
  ASSERT_EQ(uninstall.Wait(std::chrono::seconds(30)), 0) << uninstall.Err();
  EXPECT_FALSE(std::filesystem::exists(unitPath));
  EXPECT_TRUE(std::filesystem::is_empty(units));
}

TEST_F(ServiceExecutable, InstallSucceedsWhileAnInstanceRuns) {
  // The installing run's controller finds the status channel taken and carries on.
  std::string channel = "VEL_STATUS_CHANNEL=velsvc_inst_" + std::to_string(::getpid());
  NotifySocket notify;
  Child running({"--config", WriteIni("")}, dir_.path().string(), {notify.Env(), channel});
  ASSERT_EQ(notify.Receive(), "READY=1") << running.Err();
  std::filesystem::create_directory(dir_.path() / "units");
  Child install({"--install", "--unit-dir", dir_.file("units")}, dir_.path().string(), {channel});
  EXPECT_EQ(install.Wait(std::chrono::seconds(30)), 0) << install.Err();
  EXPECT_TRUE(std::filesystem::exists(dir_.file("units") + "/velservermonitor.service"));
  running.Signal(SIGTERM);
  EXPECT_EQ(running.Wait(std::chrono::seconds(10)), 0);
  EXPECT_EQ(LogText(), "");
}

TEST_F(ServiceExecutable, InstallCreatesAMissingUnitFolder) {
  // A machine where the folder does not exist yet (a fresh container, a packaging root).
  const std::string units = dir_.file("missing") + "/systemd/system";
  Child child({"--install", "--unit-dir", units}, dir_.path().string());
  ASSERT_EQ(child.Wait(std::chrono::seconds(30)), 0) << child.Err();
  EXPECT_TRUE(std::filesystem::exists(units + "/velservermonitor.service"));
  // Without --config the unit names none: the service looks for its file at each start.
  EXPECT_EQ(vel::test::ReadFile(units + "/velservermonitor.service").find("--config"),
            std::string::npos);
}

TEST_F(ServiceExecutable, UsageVersionAndHelp) {
  Child bad({"--frobnicate"}, dir_.path().string());
  EXPECT_EQ(bad.Wait(std::chrono::seconds(10)), 2);
  EXPECT_NE(bad.Err().find("--frobnicate"), std::string::npos);
  EXPECT_NE(bad.Err().find("Usage:"), std::string::npos);

  Child version({"--version"}, dir_.path().string());
  EXPECT_EQ(version.Wait(std::chrono::seconds(10)), 0);
  EXPECT_EQ(version.Out().rfind("velservermonitor ", 0), 0u) << version.Out();

  Child help({"--help"}, dir_.path().string());
  EXPECT_EQ(help.Wait(std::chrono::seconds(10)), 0);
  EXPECT_NE(help.Out().find("--install"), std::string::npos);
}

}  // namespace
