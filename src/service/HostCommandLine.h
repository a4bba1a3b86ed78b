#pragma once

// The command line as both service hosts read it (ServiceHost.cpp for Linux,
// ServiceHost_win32.cpp for Windows): the options they share, the usage text around the lines
// that are each system's own, and the answers that need no service. Internal to the hosts.

#include <optional>
#include <string>
#include <vector>

#include "service/ServiceHost.h"

namespace vel::host_detail {

// What the hosts' command lines differ in.
struct TCommandLineSyntax {
  bool SlashSwitches = false;  // "/?", and "/install" and "/uninstall" in any case
  bool UnitDir = false;        // --unit-dir DIR, with --install or --uninstall
};

// The parse behind ParseServiceCommandLine, for the host's syntax; throws EServiceUsage.
TServiceCommandLine ParseCommandLine(const std::vector<std::string>& args,
                                     const TCommandLineSyntax& syntax);

// The usage text with the host's own parts: installSynopses are the synopsis lines for
// installing and removing (each after the program name), hostLines what follows the
// description up to --check-config (how the program runs without options, the host's options),
// statusKind the word for the status channel in the environment part.
std::string UsageText(const std::string& programName,
                      const std::vector<std::string>& installSynopses, const std::string& hostLines,
                      const std::string& statusKind);

// Parses args with ParseServiceCommandLine and answers what needs no service: a wrong command
// line (the reason and ServiceUsageText on stderr, exit code 2), --help (the usage on stdout,
// 0) and --version (0). Returns the exit code when it answered; else nothing, with the
// command line in cmd.
std::optional<int> AnswerCommandLine(const std::string& programName,
                                     const std::vector<std::string>& args,
                                     TServiceCommandLine& cmd);

}  // namespace vel::host_detail
