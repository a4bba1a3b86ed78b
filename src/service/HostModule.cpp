#include "service/HostModule.h"

#include <exception>
#include <iostream>

#include "applog/AppLog.h"

namespace vel::host_detail {

std::chrono::milliseconds StopLimit(const TVelMonitorOptions& options) {
  constexpr std::chrono::milliseconds kCancelAllowance{2000};
  return std::chrono::milliseconds(options.StopGraceMs) + kCancelAllowance;
}

void ReportFailure(const std::string& text) {
  LogToEventLog(text);
  if (!ConsoleEcho()) std::cerr << text << std::endl;
}

std::unique_ptr<TVelServerMonitor_> CreateModule(const TVelMonitorOptions& options) {
  try {
    return std::make_unique<TVelServerMonitor_>(options);
  } catch (const std::exception& e) {
    ReportFailure(std::string("Service failed on create: ") + e.what());
    return nullptr;
  }
}

std::unique_ptr<TVelServerMonitor_> CreateModuleForInstall(const TVelMonitorOptions& options) {
  try {
    return std::make_unique<TVelServerMonitor_>(options);
  } catch (const std::exception& e) {
    std::cerr << "Cannot create the service module: " << e.what() << std::endl;
    return nullptr;
  }
}

bool StartModule(std::unique_ptr<TVelServerMonitor_>& module) {
  bool started = false;
  try {
    module->ServiceStart(started);
  } catch (const std::exception& e) {
    ReportFailure(std::string("Service failed on start: ") + e.what());
    module.reset();
    return false;
  }
  return true;
}

bool StopModule(std::unique_ptr<TVelServerMonitor_>& module) {
  bool ok = true;
  try {
    bool stopped = false;
    module->ServiceStop(stopped);
  } catch (const std::exception& e) {
    ReportFailure(std::string("Service failed on stop: ") + e.what());
    ok = false;
  }
  module.reset();
  return ok;
}

}  // namespace vel::host_detail
