#pragma once

// The operating-system side of the service host (ServiceHost_linux.cpp). Internal.

#include <string>
#include <vector>

namespace vel::host_detail {

// path made absolute against the current folder (unchanged when already absolute).
std::string AbsolutePath(const std::string& path);
bool FileExists(const std::string& path);
// Writes the file through a temporary beside it and a rename: afterwards the file is either
// complete or untouched. mode: the permission bits of the new file.
bool WriteFileAtomically(const std::string& path, const std::string& text, unsigned mode,
                         std::string& error);
bool RemoveFile(const std::string& path, std::string& error);
// Creates the folder and its missing parents (mode 0755). False with the reason in error.
bool CreateFolders(const std::string& path, std::string& error);

// The configuration file a package installs, read when none lies beside the executable.
std::string SystemConfigFile();

// True when the machine runs systemd as its service manager.
bool SystemdRunning();
// Runs the program (looked up in PATH) with the arguments and waits; the exit code, or -1
// when it could not be run.
int RunProgram(const std::vector<std::string>& argv);

// Sends a state line ("READY=1") to the service manager when NOTIFY_SOCKET is set; false
// when unset or the send failed.
bool NotifyServiceManager(const std::string& state);

// Blocks SIGTERM and SIGINT for this thread and every thread created after it, so that only
// WaitForStopSignal receives them. Call before any thread starts. Also ignores SIGPIPE.
void BlockStopSignals();
// Waits for SIGTERM or SIGINT; returns the signal number.
int WaitForStopSignal();

// Ends the process at once with the exit code: no destructors, no exit handlers; threads
// still running end with it.
[[noreturn]] void ExitProcessNow(int code);

}  // namespace vel::host_detail
