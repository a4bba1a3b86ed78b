// The controller's lifecycle and guarded runner. The three duties plug in through their
// Init/Start/Stop parts (MonitorRelay.cpp, MonitorAlerts.cpp) and the dispatcher
// (MonitorDispatcher.cpp); this file only fixes the order in which they run.

#include "monitor/MonitorController.h"

#include <exception>

#include "applog/AppLog.h"
#include "common/Threads.h"
#include "folderwatch/FolderMonitor.h"
#include "mailslot/Mailslot.h"
#include "notify/Discord.h"
#include "notify/Telegram.h"

namespace vel {

namespace {
constexpr int kRecentFileCapacity = 32;
}

TVelMonitorController::TVelMonitorController(TVelMonitorOptions options)
    : FOptions(std::move(options)) {
  FFileNotificationList = std::make_unique<TCircularBuffer<std::string>>(kRecentFileCapacity);
  FConfig = std::make_unique<TVelMonitorConfig>(FOptions.ConfigFile);
  Init();
}

TVelMonitorController::~TVelMonitorController() {
  // A destructor must not throw; the duties' stop steps guard their own work, this only
  // catches what slips past them.
  try {
    Stop();
    // Work still running may sit in a chat request or a rate-limit pause; end it so the
    // joins below come at once.
    CancelDeliveries();
  } catch (const std::exception& e) {
    AppendAppLog(std::string("Error: ") + e.what());
  } catch (...) {
    AppendAppLog("Error: unknown failure while stopping the monitor");
  }
  // The members then go in reverse declaration order: the relay's thread and the folder
  // monitors' workers are joined before the mailslot, senders, configuration and ring they
  // use are released.
}

void TVelMonitorController::Init() {
  InitAlerts();
  InitRelay();
}

void TVelMonitorController::Start() {
  FConfig->LoadConfig();
  if (!FConfig->Enabled() || FConfig->AppList().empty()) return;
  StartRelay();
  StartAlerts();
}

void TVelMonitorController::Stop() {
  StopRelay();
  StopAlerts();
}

void TVelMonitorController::RunGuarded(const TAction& action, const std::string& label) {
  if (!action) return;
  try {
    action();
  } catch (const std::exception& e) {
    std::string message = e.what();
    if (!label.empty()) message = label + ": " + message;
    AppendAppLog("Error: " + message);
  }
}

}  // namespace vel
