#include "service/HostCommandLine.h"

#include <iostream>
#include <sstream>

#include "VelVersion.h"
#include "common/Strings.h"
#include "service/ServerMonitorSvc.h"

namespace vel::host_detail {

TServiceCommandLine ParseCommandLine(const std::vector<std::string>& args,
                                     const TCommandLineSyntax& syntax) {
  TServiceCommandLine cmd;
  bool modeSet = false, help = false, version = false, unitDirSet = false;
  auto setMode = [&](TServiceMode mode, const std::string& opt) {
    if (modeSet && cmd.Mode != mode)
      throw EServiceUsage("option " + opt + " cannot be combined with another mode");
    cmd.Mode = mode;
    modeSet = true;
  };
  auto slashSwitch = [&](const std::string& a, const char* name) {
    return syntax.SlashSwitches && SameText(a, name);
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
    if (a == "--help" || a == "-h" || (syntax.SlashSwitches && a == "/?")) {
      help = true;
    } else if (a == "--version") {
      version = true;
    } else if (a == "--console") {
      setMode(TServiceMode::smConsole, a);
    } else if (a == "--install" || slashSwitch(a, "/install")) {
      setMode(TServiceMode::smInstall, a);
    } else if (a == "--uninstall" || slashSwitch(a, "/uninstall")) {
      setMode(TServiceMode::smUninstall, a);
    } else if (a == "--check-config") {
      setMode(TServiceMode::smCheckConfig, a);
    } else if (a == "--test-notify") {
      setMode(TServiceMode::smTestNotify, a);
      // The channel name is optional: the next word, unless it is another option.
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) cmd.Channel = args[++i];
    } else if (takeValue("--config", cmd.ConfigFile)) {
    } else if (syntax.UnitDir && takeValue("--unit-dir", cmd.UnitDir)) {
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

std::string UsageText(const std::string& programName,
                      const std::vector<std::string>& installSynopses, const std::string& hostLines,
                      const std::string& statusKind) {
  std::ostringstream s;
  s << "Usage: " << programName << " [--console] [--config FILE]\n";
  for (const std::string& synopsis : installSynopses)
    s << "       " << programName << " " << synopsis << "\n";
  s << "       " << programName << " --check-config [--config FILE]\n"
    << "       " << programName << " --test-notify [telegram|discord|email] [--config FILE]\n"
    << "       " << programName << " --help | --version\n"
    << "\n"
    << TVelServerMonitor_::kDescription << ".\n"
    << hostLines
    << "  --check-config   print the effective configuration (secrets masked) with warnings;\n"
    << "                   exit code 1 when it has errors\n"
    << "  --test-notify [CHANNEL]\n"
    << "                   send a test notification through every configured channel (or\n"
    << "                   the one named); exit code 0 only when all were delivered\n"
    << "  --help           show this text\n"
    << "  --version        show the version\n"
    << "\n"
    << "Environment:\n"
    << "  VEL_STATUS_CHANNEL  name of the status " << statusKind
    << " to read (default vel_servermonitor),\n"
    << "                      for an instance running next to the installed service\n";
  return s.str();
}

std::optional<int> AnswerCommandLine(const std::string& programName,
                                     const std::vector<std::string>& args,
                                     TServiceCommandLine& cmd) {
  try {
    cmd = ParseServiceCommandLine(args);
  } catch (const EServiceUsage& e) {
    std::cerr << programName << ": " << e.what() << "\n\n" << ServiceUsageText(programName);
    return 2;
  }
  if (cmd.Mode == TServiceMode::smHelp) {
    std::cout << ServiceUsageText(programName);
    return 0;
  }
  if (cmd.Mode == TServiceMode::smVersion) {
    std::cout << programName << " " << kVersion << "\n";
    return 0;
  }
  return std::nullopt;
}

}  // namespace vel::host_detail
