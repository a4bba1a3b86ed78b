#pragma once

// The program around the service module: command line, run as a systemd service (or in the
// foreground with --console), and installing or removing the systemd unit.

#include <string>
#include <vector>

#include "common/Exception.h"

namespace vel {

inline constexpr const char* kDefaultUnitDir = "/etc/systemd/system";
inline constexpr const char* kUnitFileName = "velservermonitor.service";

enum class TServiceMode {
  smService,
  smConsole,
  smInstall,
  smUninstall,
  smCheckConfig,
  smTestNotify,
  smHelp,
  smVersion
};

struct TServiceCommandLine {
  TServiceMode Mode = TServiceMode::smService;
  std::string ConfigFile;  // --config; empty: the executable's path with ".ini", else the
                           // system's file (/etc/velservermonitor/velservermonitor.ini)
  std::string UnitDir;     // --unit-dir; empty: kDefaultUnitDir
  std::string Channel;     // --test-notify CHANNEL; empty: every configured channel
};

// A command line the program does not understand; the message says what is wrong.
class EServiceUsage : public Exception {
 public:
  using Exception::Exception;
};

// args without the program name. Throws EServiceUsage for unknown options, a missing option
// value, two modes at once or --unit-dir without --install/--uninstall.
TServiceCommandLine ParseServiceCommandLine(const std::vector<std::string>& args);

std::string ServiceUsageText(const std::string& programName);

// One ExecStart= word: quoted when it holds blanks, quotes or backslashes, with "%" and "$"
// doubled so systemd takes them literally.
std::string EscapeUnitArgument(const std::string& arg);

// The unit file for the executable, with --config when a configuration file is given, and
// the sandbox that fits the service (see packaging/velservermonitor.service, which is this
// text for the packaged paths).
std::string UnitFileText(const std::string& execPath, const std::string& configFile);

// The configuration file a run without --config reads: the executable's path with ".ini"
// when that file exists, else the system's file when that exists, else "" (the
// configuration's own default, the file beside the executable).
std::string DefaultConfigFile();

// Writes the unit into unitDir, created when missing (atomically: a complete file or none). When
// tellSystemd is set, reloads systemd and enables the unit. Progress goes to out; false with the
// reason in error when it failed.
bool InstallUnit(const std::string& unitDir, const std::string& text, bool tellSystemd,
                 std::string& out, std::string& error);
// Stops and disables the unit when tellSystemd is set, then removes the file.
bool UninstallUnit(const std::string& unitDir, bool tellSystemd, std::string& out,
                   std::string& error);

// The whole program: returns the process exit code.
int RunServiceHost(int argc, char** argv);

}  // namespace vel
