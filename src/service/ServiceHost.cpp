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

#include "VelVersion.h"
#include "applog/AppLog.h"
#include "http/CurlHttpClient.h"
#include "http/HttpClientBase.h"
#include "service/OperatorCommands.h"
#include "service/ServerMonitorSvc.h"
#include "service/ServicePlatform.h"

namespace vel {

namespace {

// How long a stopping service may take to finish the work in hand before the process ends.
constexpr std::chrono::milliseconds kStopGrace{3000};

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

// The reason goes to the system log and, for whoever started the program, to stderr.
void ReportFailure(const std::string& text) {
  LogToEventLog(text);
  if (!ConsoleEcho()) std::cerr << text << std::endl;
}

int RunService(const TServiceCommandLine& cmd, const TVelMonitorOptions& options) {
  const bool console = cmd.Mode == TServiceMode::smConsole;
  if (console) SetConsoleEcho(true);
  // Before the controller creates any thread, so that every thread inherits the mask and
  // the stop signals reach only the wait below.
  host_detail::BlockStopSignals();

  std::unique_ptr<TVelServerMonitor_> module;
  try {
    module = std::make_unique<TVelServerMonitor_>(options);
  } catch (const std::exception& e) {
    ReportFailure(std::string("Service failed on create: ") + e.what());
    return 1;
  }

  bool started = false;
  try {
    module->ServiceStart(started);
  } catch (const std::exception& e) {
    ReportFailure(std::string("Service failed on start: ") + e.what());
    module.reset();
    return 1;
  }

  host_detail::NotifyServiceManager("READY=1");
  if (console) std::cerr << "Running. Press Ctrl+C to stop." << std::endl;
  host_detail::WaitForStopSignal();
  host_detail::NotifyServiceManager("STOPPING=1");

  // Stop returns at once, but releasing the controller waits for deliveries already under
  // way, and a channel that hangs could hold the process for the length of its time-outs.
  // A stopped service has nothing left to do, so after a grace period the process ends with
  // whatever is still running.
  std::mutex m;
  std::condition_variable cv;
  bool finished = false;
  std::jthread watchdog([&] {
    std::unique_lock lock(m);
    if (cv.wait_for(lock, kStopGrace, [&] { return finished; })) return;
    AppendAppLog("Error: Work still running " + std::to_string(kStopGrace.count()) +
                 " ms after the stop request was abandoned");
    host_detail::ExitProcessNow(0);
  });

  int rc = 0;
  try {
    bool stopped = false;
    module->ServiceStop(stopped);
  } catch (const std::exception& e) {
    ReportFailure(std::string("Service failed on stop: ") + e.what());
    rc = 1;
  }
  module.reset();
  {
    std::lock_guard lock(m);
    finished = true;
  }
  cv.notify_one();
  return rc;
}

int RunInstall(const TServiceCommandLine& cmd, const TVelMonitorOptions& options) {
  // The controller exists for the length of the run, but is never started.
  std::unique_ptr<TVelServerMonitor_> module;
  try {
    module = std::make_unique<TVelServerMonitor_>(options);
  } catch (const std::exception& e) {
    std::cerr << "Cannot create the service module: " << e.what() << std::endl;
    return 1;
  }
  std::string unitDir = cmd.UnitDir.empty() ? kDefaultUnitDir : cmd.UnitDir;
  std::string out, error;
  bool ok;
  if (cmd.Mode == TServiceMode::smInstall) {
    std::string exe = ApplicationFullFileName();
    ok = InstallUnit(unitDir, UnitFileText(exe, options.ConfigFile), TellSystemd(cmd), out, error);
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
  TServiceCommandLine cmd;
  bool modeSet = false, help = false, version = false, unitDirSet = false;
  auto setMode = [&](TServiceMode mode, const std::string& opt) {
    if (modeSet && cmd.Mode != mode)
      throw EServiceUsage("option " + opt + " cannot be combined with another mode");
    cmd.Mode = mode;
    modeSet = true;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // "--opt value" or "--opt=value".
    auto takeValue = [&](const std::string& opt, std::string& target) {
      std::string value;
      if (a.size() > opt.size() && a.compare(0, opt.size() + 1, opt + "=") == 0) {
        value = a.substr(opt.size() + 1);
      } else if (a == opt) {
        if (i + 1 >= args.size()) throw EServiceUsage("option " + opt + " needs a value");
        value = args[++i];
      } else {
        return false;
      }
      if (value.empty()) throw EServiceUsage("option " + opt + " needs a value");
      target = value;
      return true;
    };
    if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--version") {
      version = true;
    } else if (a == "--console") {
      setMode(TServiceMode::smConsole, a);
    } else if (a == "--install") {
      setMode(TServiceMode::smInstall, a);
    } else if (a == "--uninstall") {
      setMode(TServiceMode::smUninstall, a);
    } else if (a == "--check-config") {
      setMode(TServiceMode::smCheckConfig, a);
    } else if (a == "--test-notify") {
      setMode(TServiceMode::smTestNotify, a);
      // The channel name is optional: the next word, unless it is another option.
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) cmd.Channel = args[++i];
    } else if (takeValue("--config", cmd.ConfigFile)) {
    } else if (takeValue("--unit-dir", cmd.UnitDir)) {
      unitDirSet = true;
    } else {
      throw EServiceUsage("unknown option " + a);
    }
  }
  if (help) {
    cmd.Mode = TServiceMode::smHelp;
  } else if (version) {
    cmd.Mode = TServiceMode::smVersion;
  } else if (unitDirSet && cmd.Mode != TServiceMode::smInstall &&
             cmd.Mode != TServiceMode::smUninstall) {
    throw EServiceUsage("option --unit-dir goes with --install or --uninstall");
  }
  return cmd;
}

std::string ServiceUsageText(const std::string& programName) {
  std::ostringstream s;
  s << "Usage: " << programName << " [--console] [--config FILE]\n"
    << "       " << programName << " --install [--unit-dir DIR] [--config FILE]\n"
    << "       " << programName << " --uninstall [--unit-dir DIR]\n"
    << "       " << programName << " --check-config [--config FILE]\n"
    << "       " << programName << " --test-notify [telegram|discord|email] [--config FILE]\n"
    << "       " << programName << " --help | --version\n"
    << "\n"
    << TVelServerMonitor_::kDescription << ".\n"
    << "Without options the program runs as the systemd service.\n"
    << "  --console        run in the foreground; diagnostic lines also go to stderr\n"
    << "  --config FILE    read FILE instead of the INI file beside the executable\n"
    << "  --install        write the systemd unit " << kUnitFileName << " and enable it\n"
    << "  --uninstall      stop and disable the unit and remove its file\n"
    << "  --unit-dir DIR   the folder for the unit file (default " << kDefaultUnitDir << ")\n"
    << "  --check-config   print the effective configuration (secrets masked) with warnings;\n"
    << "                   exit code 1 when it has errors\n"
    << "  --test-notify [CHANNEL]\n"
    << "                   send a test notification through every configured channel (or\n"
    << "                   the one named); exit code 0 only when all were delivered\n"
    << "  --help           show this text\n"
    << "  --version        show the version\n"
    << "\n"
    << "Environment:\n"
    << "  VEL_STATUS_CHANNEL  name of the status channel to read (default vel_servermonitor),\n"
    << "                      for an instance running next to the installed service\n";
  return s.str();
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
         "Wants=network-online.target\n" + "After=network-online.target\n" + "\n" + "[Service]\n" +
         "Type=notify\n" + "ExecStart=" + exec + "\n" + "Restart=on-failure\n" + "\n" +
         "[Install]\n" + "WantedBy=multi-user.target\n";
}

bool InstallUnit(const std::string& unitDir, const std::string& text, bool tellSystemd,
                 std::string& out, std::string& error) {
  const std::string path = UnitPath(unitDir);
  std::string why;
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
  try {
    cmd = ParseServiceCommandLine(args);
  } catch (const EServiceUsage& e) {
    std::cerr << program << ": " << e.what() << "\n\n" << ServiceUsageText(program);
    return 2;
  }
  if (cmd.Mode == TServiceMode::smHelp) {
    std::cout << ServiceUsageText(program);
    return 0;
  }
  if (cmd.Mode == TServiceMode::smVersion) {
    std::cout << program << " " << kVersion << "\n";
    return 0;
  }

  // Every HTTP request of the channels goes through the libcurl client.
  RegisterCurlHttpClient();
  TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient");

  TVelMonitorOptions options;
  // Absolute, so the service finds the file whatever its working folder.
  options.ConfigFile = host_detail::AbsolutePath(cmd.ConfigFile);
  // A second instance (a trial run next to the installed service) needs a channel of its own.
  if (const char* channel = std::getenv("VEL_STATUS_CHANNEL"); channel && *channel)
    options.MailslotId = channel;

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
