// Placeholder so the controller links while the relay is being written; developer G replaces
// this file entirely.
#include "monitor/MonitorController.h"

namespace vel {
void TVelMonitorController::InitRelay() {}
void TVelMonitorController::StartRelay() {}
void TVelMonitorController::StopRelay() {}
void TVelMonitorController::ReadMailslot() {}
void TVelMonitorController::DoReadMailslot() {}
void TVelMonitorController::ProcessStatusMessage(const std::string&) {}
std::string TVelMonitorController::FormatCount(const std::string&, int64_t) { return {}; }
}  // namespace vel
