// The program around the service module on Windows: the command line, the run under the
// service control manager (or in the foreground with --console), and installing or removing
// the service. The Linux program (ServiceHost.cpp with ServiceHost_linux.cpp) is not built here.

#include <windows.h>

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
#include "applog/EventSource_win32.h"
#include "common/WinApi_win32.h"
#include "http/HttpClientBase.h"
#include "http/WinHttpClient.h"
#include "service/HostCommandLine.h"
#include "service/HostModule.h"
#include "service/OperatorCommands.h"
#include "service/ServerMonitorSvc.h"
#include "service/ServiceHost.h"

namespace vel {

namespace {

// What the service tells the SCM it needs at most for a start step.
constexpr DWORD kStartWaitHintMs = 5000;
// The service-specific exit code of a service that could not be created, started or stopped
// (the reason is in the event log).
constexpr DWORD kServiceFailed = 1;
constexpr const wchar_t* kServiceNameW = L"VelServerMonitor";

using win::Narrow;
using win::Wide;

// The system's text for an error code, without the trailing line end and period.
std::string SystemErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() <= 32 || text.back() == L'.')) text.pop_back();
  if (text.empty()) return "System error " + std::to_string(code);
  return Narrow(text);
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  std::wstring wide = Wide(path);
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  return Narrow(full);
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct TScHandleCloser {
  void operator()(SC_HANDLE h) const {
    if (h) CloseServiceHandle(h);
  }
};
using TScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, TScHandleCloser>;

// ---- Stop with a grace period ----

// Runs the module's stop and destroys it. Releasing the controller gives deliveries under way
// the stop grace and then cancels them, and a mail session that hangs could hold the process
// for the length of its time-outs; a stopped service has nothing left to do, so after the stop
// limit onStuck runs (it reports) and the process ends.
bool StopAndDestroy(std::unique_ptr<TVelServerMonitor_>& module, std::chrono::milliseconds limit,
                    const std::function<void()>& onStuck) {
  std::mutex m;
  std::condition_variable cv;
  bool finished = false;
  std::jthread watchdog([&] {
    std::unique_lock lock(m);
    if (cv.wait_for(lock, limit, [&] { return finished; })) return;
    AppendAppLog("Error: Work still running " + std::to_string(limit.count()) +
                 " ms after the stop request was abandoned");
    onStuck();
    TerminateProcess(GetCurrentProcess(), 0);
  });
  const bool ok = host_detail::StopModule(module);
  {
    std::lock_guard lock(m);
    finished = true;
  }
  cv.notify_one();
  return ok;
}

// ---- Run under the service control manager ----

struct TServiceRun {
  std::unique_ptr<TVelServerMonitor_> module;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  std::mutex lock;
  SERVICE_STATUS status{};
  std::chrono::milliseconds stopLimit{};
  std::mutex stopLock;
  std::condition_variable stopRequested;
  bool stop = false;
};
TServiceRun* g_run = nullptr;

void SetState(DWORD state, DWORD exitCode = NO_ERROR, DWORD serviceCode = 0) {
  std::lock_guard guard(g_run->lock);
  SERVICE_STATUS& s = g_run->status;
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                       state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  s.dwControlsAccepted =
      pending || state == SERVICE_STOPPED
          ? 0
          : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PAUSE_CONTINUE;
  s.dwWin32ExitCode = serviceCode ? ERROR_SERVICE_SPECIFIC_ERROR : exitCode;
  s.dwServiceSpecificExitCode = serviceCode;
  s.dwCheckPoint = pending ? s.dwCheckPoint + 1 : 0;
  s.dwWaitHint = !pending                        ? 0
                 : state == SERVICE_STOP_PENDING ? static_cast<DWORD>(g_run->stopLimit.count())
                                                 : kStartWaitHintMs;
  if (g_run->statusHandle) SetServiceStatus(g_run->statusHandle, &s);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      SetState(SERVICE_STOP_PENDING);
      std::lock_guard guard(g_run->stopLock);
      g_run->stop = true;
      g_run->stopRequested.notify_all();
      return NO_ERROR;
    }
    // Pausing changes only the state reported: the monitor's threads keep working.
    case SERVICE_CONTROL_PAUSE:
      SetState(SERVICE_PAUSED);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      SetState(SERVICE_RUNNING);
      return NO_ERROR;
    // The SCM answers from the status it was last given; reporting it again would count as
    // progress of a pending start or stop that has made none.
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_run->statusHandle = RegisterServiceCtrlHandlerExW(kServiceNameW, ControlHandler, nullptr);
  if (!g_run->statusHandle) {
    host_detail::ReportFailure("Service failed on start: " + SystemErrorText(GetLastError()));
    return;
  }
  if (!g_run->module) {
    // Creating the module failed (reported already): the SCM hears it now instead of giving
    // up on a service that never connected.
    SetState(SERVICE_STOPPED, NO_ERROR, kServiceFailed);
    return;
  }
  // Running before the monitors start: opening a log folder on a share that is slow or not
  // up yet can take longer than the SCM waits for a start.
  SetState(SERVICE_RUNNING);
  if (!host_detail::StartModule(g_run->module)) {
    SetState(SERVICE_STOPPED, NO_ERROR, kServiceFailed);
    return;
  }
  {
    std::unique_lock lock(g_run->stopLock);
    g_run->stopRequested.wait(lock, [] { return g_run->stop; });
  }
  SetState(SERVICE_STOP_PENDING);
  // The module goes here rather than after the dispatcher returns: once the SCM has heard
  // "stopped", the process may be ended at any moment.
  const bool ok =
      StopAndDestroy(g_run->module, g_run->stopLimit, [] { SetState(SERVICE_STOPPED); });
  SetState(SERVICE_STOPPED, NO_ERROR, ok ? 0 : kServiceFailed);
}

int RunAsService(const TVelMonitorOptions& options) {
  TServiceRun run;
  g_run = &run;
  run.stopLimit = host_detail::StopLimit(options);
  // A module that cannot be created still goes through the dispatcher, whose ServiceMain
  // tells the SCM.
  run.module = host_detail::CreateModule(options);
  const bool created = run.module != nullptr;
  std::wstring name = kServiceNameW;
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  int rc = 0;
  if (!StartServiceCtrlDispatcherW(table) && created) {
    const DWORD code = GetLastError();
    std::cerr << ApplicationName()
              << ": cannot reach the service control manager: " << SystemErrorText(code) << " ("
              << code << ").\n"
              << "Run it with --console to monitor in the foreground, or --help for the options."
              << std::endl;
    rc = 1;
  }
  run.module.reset();  // ServiceDestroy, when the service never ran
  g_run = nullptr;
  return created ? rc : 1;
}

// ---- Run in the foreground ----

std::mutex g_consoleLock;
std::condition_variable g_consoleChanged;
bool g_consoleStopRequested = false;
bool g_consoleStopped = false;

BOOL WINAPI ConsoleHandler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      std::unique_lock lock(g_consoleLock);
      g_consoleStopRequested = true;
      g_consoleChanged.notify_all();
      // Windows ends the process as soon as the handler returns from these: the orderly stop
      // finishes first (the system's own time-out for the event still applies).
      if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        g_consoleChanged.wait(lock, [] { return g_consoleStopped; });
      return TRUE;
    }
    default:
      return FALSE;
  }
}

int RunInConsole(const TVelMonitorOptions& options) {
  SetConsoleEcho(true);
  SetConsoleCtrlHandler(ConsoleHandler, TRUE);
  std::unique_ptr<TVelServerMonitor_> module = host_detail::CreateModule(options);
  if (!module || !host_detail::StartModule(module)) return 1;
  std::cerr << "Running. Press Ctrl+C to stop." << std::endl;
  {
    std::unique_lock lock(g_consoleLock);
    g_consoleChanged.wait(lock, [] { return g_consoleStopRequested; });
  }
  const bool ok = StopAndDestroy(module, host_detail::StopLimit(options), [] {});
  {
    std::lock_guard guard(g_consoleLock);
    g_consoleStopped = true;
  }
  g_consoleChanged.notify_all();
  return ok ? 0 : 1;
}

// ---- Install and uninstall ----

std::string InstallFailure(const std::string& reason) {
  return std::string("Service \"") + TVelServerMonitor_::kDisplayName +
         "\" failed to install with error: \"" + reason + "\"";
}

std::string UninstallFailure(const std::string& reason) {
  return std::string("Service \"") + TVelServerMonitor_::kDisplayName +
         "\" failed to uninstall with error: \"" + reason + "\"";
}

std::string QuoteArgument(const std::string& arg) {
  // Command-line quoting: backslashes before a quote (and at the end) are doubled.
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

// The description goes into the service's own key, which CreateServiceW has just made. A key
// that cannot be opened leaves the service without a description; a write that fails is an
// error (the caller removes the service).
bool WriteDescription(std::string& error) {
  const std::wstring keyName =
      std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + kServiceNameW;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ | KEY_WRITE, &key) !=
      ERROR_SUCCESS)
    return true;
  const std::wstring value = Wide(TVelServerMonitor_::kDescription);
  const LONG rc =
      RegSetValueExW(key, L"Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (rc == ERROR_SUCCESS) return true;
  error = "Failed to set data for 'Description': " + SystemErrorText(static_cast<DWORD>(rc));
  return false;
}

// The service's event source, pointing at this executable's message table.
bool RegisterOwnEventSource(std::string& error) {
  const DWORD rc = RegisterEventSourceKey(ApplicationName(), ApplicationFullFileName());
  if (rc != ERROR_SUCCESS)
    error =
        "Failed to register the event source '" + ApplicationName() + "': " + SystemErrorText(rc);
  return rc == ERROR_SUCCESS;
}

bool RemoveOwnEventSource() {
  const DWORD rc = RemoveEventSourceKey(ApplicationName());
  if (rc != ERROR_SUCCESS)
    std::cerr << UninstallFailure("Failed to remove the event source '" + ApplicationName() +
                                  "': " + SystemErrorText(rc))
              << std::endl;
  return rc == ERROR_SUCCESS;
}

// Log folders on shares: the service starts after the SMB client (LanmanWorkstation) and, with
// a delayed automatic start, after the network is usually up.
constexpr const wchar_t* kDependencies = L"LanmanWorkstation\0";

bool SetDelayedStart(SC_HANDLE service, std::string& error) {
  SERVICE_DELAYED_AUTO_START_INFO info{TRUE};
  if (ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info)) return true;
  error = "Failed to set the delayed automatic start: " + SystemErrorText(GetLastError());
  return false;
}

// Restarted a minute after each of its first three failures; the count is forgotten after a
// day without one. The MSI sets the same.
bool SetRestartOnFailure(SC_HANDLE service, std::string& error) {
  SC_ACTION actions[3] = {
      {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 86400;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  if (ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) return true;
  error = "Failed to set the restart after a failure: " + SystemErrorText(GetLastError());
  return false;
}

int RunInstall(bool install, const TVelMonitorOptions& options) {
  // The controller exists for the length of the run, but is never started.
  std::unique_ptr<TVelServerMonitor_> module = host_detail::CreateModuleForInstall(options);
  if (!module) return 1;
  TScHandle scm(
      OpenSCManagerW(nullptr, nullptr, install ? SC_MANAGER_CREATE_SERVICE : SC_MANAGER_CONNECT));
  if (!scm) {
    const std::string reason = SystemErrorText(GetLastError());
    std::cerr << (install ? InstallFailure(reason) : UninstallFailure(reason)) << std::endl;
    return 1;
  }

  if (install) {
    std::string command = QuoteArgument(ApplicationFullFileName());
    if (!options.ConfigFile.empty()) command += " --config " + QuoteArgument(options.ConfigFile);
    const std::wstring commandW = Wide(command);
    const std::wstring displayW = Wide(TVelServerMonitor_::kDisplayName);
    TScHandle service(CreateServiceW(scm.get(), kServiceNameW, displayW.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, commandW.c_str(), nullptr, nullptr,
                                     kDependencies, nullptr, nullptr));
    if (!service) {
      std::cerr << InstallFailure(SystemErrorText(GetLastError())) << std::endl;
      return 1;
    }
    std::string error;
    // Without the delay the service still starts, only earlier: a warning, not a failure.
    if (!SetDelayedStart(service.get(), error)) std::cerr << "Warning: " << error << std::endl;
    if (!SetRestartOnFailure(service.get(), error)) std::cerr << "Warning: " << error << std::endl;
    if (!WriteDescription(error) || !RegisterOwnEventSource(error)) {
      DeleteService(service.get());
      std::cerr << InstallFailure(error) << std::endl;
      return 1;
    }
    std::cout << "Installed the service " << TVelServerMonitor_::kServiceName << " ("
              << TVelServerMonitor_::kDisplayName
              << "), started automatically (delayed) with the system: " << command
              << "\nStart it now with \"net start " << TVelServerMonitor_::kServiceName << "\"."
              << std::endl;
    return 0;
  }

  TScHandle service(
      OpenServiceW(scm.get(), kServiceNameW, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
      std::cout << "The service " << TVelServerMonitor_::kServiceName
                << " is not installed: nothing to remove" << std::endl;
      return RemoveOwnEventSource() ? 0 : 1;
    }
    std::cerr << UninstallFailure(SystemErrorText(code)) << std::endl;
    return 1;
  }
  // A running service is stopped first, so that it is gone when the command returns rather
  // than at its next stop.
  SERVICE_STATUS status{};
  if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
           std::chrono::steady_clock::now() < deadline)
      Sleep(100);  // the SCM offers no wait for a state change of another process's service
    if (status.dwCurrentState == SERVICE_STOPPED)
      std::cout << "Stopped the service " << TVelServerMonitor_::kServiceName << std::endl;
  }
  if (!DeleteService(service.get())) {
    std::cerr << UninstallFailure(SystemErrorText(GetLastError())) << std::endl;
    return 1;
  }
  std::cout << "Removed the service " << TVelServerMonitor_::kServiceName << std::endl;
  return RemoveOwnEventSource() ? 0 : 1;
}

}  // namespace

TServiceCommandLine ParseServiceCommandLine(const std::vector<std::string>& args) {
  return host_detail::ParseCommandLine(args, {.SlashSwitches = true, .UnitDir = false});
}

std::string ServiceUsageText(const std::string& programName) {
  std::ostringstream s;
  s << "Without options the program runs as the Windows service "
    << TVelServerMonitor_::kServiceName << " (started by the service control manager).\n"
    << "  --console        run in the foreground until Ctrl+C; diagnostic lines also go to stderr\n"
    << "  --config FILE    read FILE instead of the INI file beside the executable\n"
    << "  --install        install the service (delayed automatic start) with this executable\n"
    << "  --uninstall      stop the service if it runs and remove it\n";
  return host_detail::UsageText(
      programName,
      {"--install [--config FILE]   (or /install)", "--uninstall                 (or /uninstall)"},
      s.str(), "mailslot");
}

int RunServiceHost(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::string program = ApplicationName();
  // The arguments as the system holds them (UTF-16), not argv in the ANSI code page.
  std::vector<std::string> args;
  int wargc = 0;
  if (LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &wargc)) {
    for (int i = 1; i < wargc; ++i) args.push_back(Narrow(wargv[i]));
    LocalFree(wargv);
  } else {
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  }

  TServiceCommandLine cmd;
  if (const auto answered = host_detail::AnswerCommandLine(program, args, cmd)) return *answered;

  // Every HTTP request of the channels goes through the WinHTTP client.
  RegisterWinHttpClient();
  TVelHTTPClientBase::SetClientClass("TVelWinHttpClient");

  TVelMonitorOptions options;
  // Absolute, so the service finds the file whatever its working folder.
  options.ConfigFile = AbsolutePath(cmd.ConfigFile);
  if (const char* channel = std::getenv("VEL_STATUS_CHANNEL"); channel && *channel)
    options.MailslotId = channel;

  if (!options.ConfigFile.empty() && !FileExists(options.ConfigFile) &&
      cmd.Mode != TServiceMode::smUninstall && cmd.Mode != TServiceMode::smCheckConfig)
    std::cerr << program << ": warning: configuration file " << options.ConfigFile
              << " does not exist; monitoring stays off until it does" << std::endl;

  switch (cmd.Mode) {
    case TServiceMode::smCheckConfig:
      return RunCheckConfig(options.ConfigFile, std::cout);
    case TServiceMode::smTestNotify:
      return RunTestNotify(options.ConfigFile, cmd.Channel, std::cout);
    case TServiceMode::smInstall:
      return RunInstall(true, options);
    case TServiceMode::smUninstall:
      return RunInstall(false, options);
    case TServiceMode::smConsole:
      return RunInConsole(options);
    default:
      return RunAsService(options);
  }
}

}  // namespace vel
