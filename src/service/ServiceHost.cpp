#include "service/ServiceHost.h"

#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "applog/AppLog.h"
#include "config/MonitorConfig.h"
#include "http/CurlHttpClient.h"
#include "http/HttpClientBase.h"
#include "service/HostCommandLine.h"
#include "service/HostModule.h"
#include "service/OperatorCommands.h"
#include "service/ServerMonitorSvc.h"
#include "service/ServicePlatform.h"

namespace vel {

namespace {

std::string TrimTrailingSlashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string UnitPath(const std::string& unitDir) {
  return TrimTrailingSlashes(unitDir) + "/" + kUnitFileName;
}

// Only the folder systemd reads is worth telling systemd about; a unit written elsewhere
// (a packaging root, a test folder) is left alone.
bool TellSystemd(const TServiceCommandLine& cmd) {
  if (!cmd.UnitDir.empty() &&
      TrimTrailingSlashes(host_detail::AbsolutePath(cmd.UnitDir)) != kDefaultUnitDir)
    return false;
  return host_detail::SystemdRunning();
}

int RunService(const TServiceCommandLine& cmd, const TVelMonitorOptions& options) {
  const bool console = cmd.Mode == TServiceMode::smConsole;
  if (console) SetConsoleEcho(true);
  // Before the controller creates any thread, so that every thread inherits the mask and
  // the stop signals reach only the wait below.
  host_detail::BlockStopSignals();

  std::unique_ptr<TVelServerMonitor_> module = host_detail::CreateModule(options);
  if (!module || !host_detail::StartModule(module)) return 1;

  host_detail::NotifyServiceManager("READY=1");
  if (console) std::cerr << "Running. Press Ctrl+C to stop." << std::endl;
  host_detail::WaitForStopSignal();
  host_detail::NotifyServiceManager("STOPPING=1");

  // Stop returns at once; releasing the controller gives the deliveries under way and queued
  // the stop grace, then cancels them. A mail session cannot be interrupted and could hold
  // the process for the length of its time-outs, so the process ends with whatever is still
  // running once the cancelled work has had its allowance too.
  std::mutex m;
  std::condition_variable cv;
  bool finished = false;
  const auto limit = host_detail::StopLimit(options);
  std::jthread watchdog([&] {
    std::unique_lock lock(m);
    if (cv.wait_for(lock, limit, [&] { return finished; })) return;
    AppendAppLog("Error: Abandoning work still running " + std::to_string(limit.count()) +
                 " ms after the stop request");
    host_detail::ExitProcessNow(0);
  });

  const int rc = host_detail::StopModule(module) ? 0 : 1;
  {
    std::lock_guard lock(m);
    finished = true;
  }
  cv.notify_one();
  return rc;
}

int RunInstall(const TServiceCommandLine& cmd, const TVelMonitorOptions& options) {
  // The controller exists for the length of the run, but is never started.
  std::unique_ptr<TVelServerMonitor_> module = host_detail::CreateModuleForInstall(options);
  if (!module) return 1;
  std::string unitDir = cmd.UnitDir.empty() ? kDefaultUnitDir : cmd.UnitDir;
  std::string out, error;
  bool ok;
  if (cmd.Mode == TServiceMode::smInstall) {
    std::string exe = ApplicationFullFileName();
    // Only a file named on the command line goes into the unit; without one the service
    // looks for its file at each start.
    ok = InstallUnit(unitDir, UnitFileText(exe, host_detail::AbsolutePath(cmd.ConfigFile)),
                     TellSystemd(cmd), out, error);
  } else {
    ok = UninstallUnit(unitDir, TellSystemd(cmd), out, error);
  }
  std::cout << out << std::flush;
  if (!ok) std::cerr << error << std::endl;
  module.reset();
  return ok ? 0 : 1;
}

}  // namespace

TServiceCommandLine ParseServiceCommandLine(const std::vector<std::string>& args) {
  return host_detail::ParseCommandLine(args, {.SlashSwitches = false, .UnitDir = true});
}

std::string ServiceUsageText(const std::string& programName) {
  std::ostringstream s;
  s << "Without options the program runs as the systemd service.\n"
    << "  --console        run in the foreground; diagnostic lines also go to stderr\n"
    << "  --config FILE    read FILE instead of the INI file beside the executable (or,\n"
    << "                   when there is none, " << host_detail::SystemConfigFile() << ")\n"
    << "  --install        write the systemd unit " << kUnitFileName << " and enable it\n"
    << "  --uninstall      stop and disable the unit and remove its file\n"
    << "  --unit-dir DIR   the folder for the unit file (default " << kDefaultUnitDir << ")\n";
  return host_detail::UsageText(
      programName, {"--install [--unit-dir DIR] [--config FILE]", "--uninstall [--unit-dir DIR]"},
      s.str(), "channel");
}

std::string EscapeUnitArgument(const std::string& arg) {
  std::string body;
  bool quote = arg.empty();
  for (char c : arg) {
    switch (c) {
      case '%':
        body += "%%";
        break;
      case '$':
        body += "$$";
        break;
      case '\\':
        body += "\\\\";
        quote = true;
        break;
      case '"':
        body += "\\\"";
        quote = true;
        break;
      case '\n':
        body += "\\n";
        quote = true;
        break;
      case ' ':
      case '\t':
      case '\'':
      case ';':
        body += c;
        quote = true;
        break;
      default:
        body += c;
    }
  }
  return quote ? "\"" + body + "\"" : body;
}

std::string UnitFileText(const std::string& execPath, const std::string& configFile) {
  std::string exec = EscapeUnitArgument(execPath);
  if (!configFile.empty()) exec += " --config " + EscapeUnitArgument(configFile);
  return std::string("[Unit]\n") + "Description=" + TVelServerMonitor_::kDescription + "\n" +
         "Wants=network-online.target\n" +
         // Log folders may be on network shares.
         "After=network-online.target remote-fs.target\n" + "\n" + "[Service]\n" + "Type=notify\n" +
         "ExecStart=" + exec + "\n" + "Restart=on-failure\n" +
         // The status channel's socket file: only the service's user can create one here, so
         // no other user can take the channel's name; every user may send to it.
         "RuntimeDirectory=velservermonitor\n" + "RuntimeDirectoryMode=0755\n" +
         // The diagnostic log's folder ([General] LogPath of the shipped configuration).
         "LogsDirectory=velservermonitor\n" + "LogsDirectoryMode=0750\n" + "UMask=0027\n" +
         // Root, because the exception logs of applications running as other users are
         // theirs, mode 0640: reading them and creating missing log folders with their
         // owner takes these capabilities, and nothing more is left to the process.
         "CapabilityBoundingSet=CAP_DAC_OVERRIDE CAP_DAC_READ_SEARCH CAP_CHOWN CAP_FOWNER\n" +
         "NoNewPrivileges=yes\n" +
         // Log folders may lie anywhere outside the system's own trees; under /home they
         // are watched but not created.
         "ProtectSystem=full\n" + "ProtectHome=read-only\n" + "PrivateTmp=yes\n" +
         "PrivateDevices=yes\n" + "PrivateMounts=yes\n" + "ProtectKernelTunables=yes\n" +
         "ProtectKernelModules=yes\n" + "ProtectKernelLogs=yes\n" + "ProtectControlGroups=yes\n" +
         "ProtectClock=yes\n" + "ProtectHostname=yes\n" + "ProtectProc=invisible\n" +
         "ProcSubset=pid\n" +
         // The status channel and syslog are local sockets; the channels are on the network.
         // The status channel is an abstract socket of the host's network namespace, so the
         // network stays shared.
         "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n" + "RestrictNamespaces=yes\n" +
         "RestrictRealtime=yes\n" + "RestrictSUIDSGID=yes\n" + "LockPersonality=yes\n" +
         "MemoryDenyWriteExecute=yes\n" + "SystemCallArchitectures=native\n" +
         "SystemCallFilter=@system-service\n" + "SystemCallErrorNumber=EPERM\n" + "\n" +
         "[Install]\n" + "WantedBy=multi-user.target\n";
}

std::string DefaultConfigFile() {
  if (host_detail::FileExists(TVelMonitorConfig::DefaultFileName())) return {};
  const std::string system = host_detail::SystemConfigFile();
  return !system.empty() && host_detail::FileExists(system) ? system : std::string();
}

bool InstallUnit(const std::string& unitDir, const std::string& text, bool tellSystemd,
                 std::string& out, std::string& error) {
  const std::string path = UnitPath(unitDir);
  std::string why;
  if (!host_detail::CreateFolders(unitDir, why)) {
    error = "Cannot create the unit folder " + unitDir + ": " + why;
    return false;
  }
  if (!host_detail::WriteFileAtomically(path, text, 0644, why)) {
    error = "Cannot write the unit file " + path + ": " + why;
    return false;
  }
  out += "Wrote " + path + "\n";
  if (!tellSystemd) {
    out += "systemd was not told: enable the unit with \"systemctl enable " +
           std::string(kUnitFileName) + "\" where it is installed.\n";
    return true;
  }
  if (int rc = host_detail::RunProgram({"systemctl", "daemon-reload"}); rc != 0) {
    error = "systemctl daemon-reload failed (exit code " + std::to_string(rc) + ")";
    return false;
  }
  out += "Reloaded the systemd configuration\n";
  if (int rc = host_detail::RunProgram({"systemctl", "enable", kUnitFileName}); rc != 0) {
    error = "systemctl enable failed (exit code " + std::to_string(rc) + ")";
    return false;
  }
  out += "Enabled " + std::string(kUnitFileName) + "; start it with \"systemctl start " +
         kUnitFileName + "\"\n";
  return true;
}

bool UninstallUnit(const std::string& unitDir, bool tellSystemd, std::string& out,
                   std::string& error) {
  const std::string path = UnitPath(unitDir);
  if (!host_detail::FileExists(path)) {
    out += "No unit file " + path + ": nothing to remove\n";
    return true;
  }
  if (tellSystemd) {
    // Failures here (a unit that is not running or not enabled) do not stop the removal.
    if (host_detail::RunProgram({"systemctl", "stop", kUnitFileName}) == 0)
      out += "Stopped " + std::string(kUnitFileName) + "\n";
    if (host_detail::RunProgram({"systemctl", "disable", kUnitFileName}) == 0)
      out += "Disabled " + std::string(kUnitFileName) + "\n";
  }
  std::string why;
  if (!host_detail::RemoveFile(path, why)) {
    error = "Cannot remove the unit file " + path + ": " + why;
    return false;
  }
  out += "Removed " + path + "\n";
  if (tellSystemd && host_detail::RunProgram({"systemctl", "daemon-reload"}) == 0)
    out += "Reloaded the systemd configuration\n";
  return true;
}

int RunServiceHost(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::string program = ApplicationName();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  TServiceCommandLine cmd;
  if (const auto answered = host_detail::AnswerCommandLine(program, args, cmd)) return *answered;

  // Every HTTP request of the channels goes through the libcurl client.
  RegisterCurlHttpClient();
  TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient");

  TVelMonitorOptions options;
  // Absolute, so the service finds the file whatever its working folder.
  options.ConfigFile = host_detail::AbsolutePath(cmd.ConfigFile);
  if (options.ConfigFile.empty()) options.ConfigFile = DefaultConfigFile();
  // A second instance (a trial run next to the installed service) needs a channel of its own.
  if (const char* channel = std::getenv("VEL_STATUS_CHANNEL"); channel && *channel)
    options.MailslotId = channel;
  options.OnStatusText = [](const std::string& text) {
    host_detail::NotifyServiceManager("STATUS=" + text);
  };

  // A missing INI file means "monitoring off" by design, but one named on the command line is
  // more likely a typing error than a wish: say so where the operator looks.
  if (!options.ConfigFile.empty() && !host_detail::FileExists(options.ConfigFile) &&
      cmd.Mode != TServiceMode::smUninstall && cmd.Mode != TServiceMode::smCheckConfig)
    std::cerr << program << ": warning: configuration file " << options.ConfigFile
              << " does not exist; monitoring stays off until it does" << std::endl;

  if (cmd.Mode == TServiceMode::smCheckConfig) return RunCheckConfig(options.ConfigFile, std::cout);
  if (cmd.Mode == TServiceMode::smTestNotify)
    return RunTestNotify(options.ConfigFile, cmd.Channel, std::cout);
  if (cmd.Mode == TServiceMode::smInstall || cmd.Mode == TServiceMode::smUninstall)
    return RunInstall(cmd, options);
  return RunService(cmd, options);
}

}  // namespace vel
