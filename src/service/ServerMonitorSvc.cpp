#include "service/ServerMonitorSvc.h"

namespace vel {

TVelServerMonitor_::TVelServerMonitor_(TVelMonitorOptions options) : FName(kServiceName) {
  FMonitorController = std::make_unique<TVelMonitorController>(std::move(options));
}

TVelServerMonitor_::~TVelServerMonitor_() = default;

void TVelServerMonitor_::ServiceStart(bool& started) {
  FMonitorController->Start();
  started = true;
}

void TVelServerMonitor_::ServiceStop(bool& stopped) {
  FMonitorController->Stop();
  stopped = true;
}

}  // namespace vel
