// Placeholder so the controller links while the alert step is being written; developer F
// replaces this file entirely.
#include "monitor/MonitorController.h"

namespace vel {
void TVelMonitorController::InitAlerts() {}
void TVelMonitorController::StartAlerts() {}
void TVelMonitorController::StopAlerts() {}
void TVelMonitorController::ExecOnFolderChanged(TVelFolderMonitor*, const TFolderItemInfo&) {}
void TVelMonitorController::DoOnFolderChanged(TVelFolderMonitor*, const TFolderItemInfo&) {}
std::string TVelMonitorController::ExtractLogValue(const std::string&, const std::string&) {
  return {};
}
size_t TVelMonitorController::FolderMonitorCount() const { return 0; }
}  // namespace vel
