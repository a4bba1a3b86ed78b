#pragma once

// The service module: the one object the host creates for the process. It owns the monitor
// controller from creation to destruction and turns the host's start and stop requests into
// the controller's Start and Stop.

#include <memory>
#include <string>

#include "monitor/MonitorController.h"

namespace vel {

class TVelServerMonitor_ {
 public:
  static constexpr const char* kServiceName = "VelServerMonitor";
  static constexpr const char* kDisplayName = "Velmora Server Monitor";
  static constexpr const char* kDescription = "Velmora Server Monitor Service Application";

  // ServiceCreate: creates the controller (which opens the status channel and creates, but
  // does not start, its thread). Runs in every run of the program, install runs included.
  explicit TVelServerMonitor_(TVelMonitorOptions options = {});
  // ServiceDestroy: destroys the controller, which stops once more.
  ~TVelServerMonitor_();
  TVelServerMonitor_(const TVelServerMonitor_&) = delete;
  TVelServerMonitor_& operator=(const TVelServerMonitor_&) = delete;

  // Runs the controller's Start; started stays false when it throws (the exception goes on).
  void ServiceStart(bool& started);
  // Runs the controller's Stop, then sets stopped.
  void ServiceStop(bool& stopped);

  const std::string& Name() const { return FName; }
  TVelMonitorController& MonitorController() { return *FMonitorController; }

 private:
  std::string FName;
  std::unique_ptr<TVelMonitorController> FMonitorController;
};

}  // namespace vel
