#pragma once

// The service module's life as both service hosts drive it (ServiceHost.cpp for Linux,
// ServiceHost_win32.cpp for Windows): create, start and stop, with failures reported the same
// way. Internal to the hosts.

#include <chrono>
#include <memory>
#include <string>

#include "service/ServerMonitorSvc.h"

namespace vel::host_detail {

// How long a stop may take before the process ends with whatever is still running: the
// controller's stop grace, in which deliveries under way and queued may finish, and then the
// time the cancelled work needs to wind down.
std::chrono::milliseconds StopLimit(const TVelMonitorOptions& options);

// The reason goes to the system's log and, for whoever started the program, to stderr.
void ReportFailure(const std::string& text);

// The module for a service run; null after reporting "Service failed on create: ...".
std::unique_ptr<TVelServerMonitor_> CreateModule(const TVelMonitorOptions& options);
// The module for an install or uninstall run (it exists for the run, but is never started);
// null after "Cannot create the service module: ..." on stderr.
std::unique_ptr<TVelServerMonitor_> CreateModuleForInstall(const TVelMonitorOptions& options);
// Starts the module; on failure reports "Service failed on start: ...", destroys the module
// and returns false.
bool StartModule(std::unique_ptr<TVelServerMonitor_>& module);
// Stops the module and destroys it; false when the stop failed (reported as "Service failed
// on stop: ...").
bool StopModule(std::unique_ptr<TVelServerMonitor_>& module);

}  // namespace vel::host_detail
