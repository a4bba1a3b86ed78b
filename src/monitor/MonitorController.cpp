// The controller's lifecycle and guarded runner. The three duties plug in through their
// Init/Start/Stop parts (MonitorRelay.cpp, MonitorAlerts.cpp) and the dispatcher
// (MonitorDispatcher.cpp); this file only fixes the order in which they run.

#include "monitor/MonitorController.h"

#include <exception>

#include "applog/AppLog.h"
#include "common/Threads.h"
#include "folderwatch/FolderMonitor.h"
#include "mailslot/Mailslot.h"
#include "monitor/SettleWait.h"
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
  FDispatcher = std::make_unique<TVelDispatcher>(*FConfig, FOptions.StormLimits);
  FSettleWait = std::make_unique<TVelSettleWait>(std::chrono::milliseconds(FOptions.SettleWaitMs));
  Init();
}

TVelMonitorController::~TVelMonitorController() {
  // A destructor must not throw; the duties' stop steps guard their own work, this only
  // catches what slips past them.
  try {
    Stop();
  } catch (const std::exception& e) {
    AppendAppLog(std::string("Error: ") + e.what());
  } catch (...) {
    AppendAppLog("Error: unknown failure while stopping the monitor");
  }
  // Everything that queues notifications ends first: the folder monitors' workers (whose
  // handlers only hand files to the settle wait), the relay's thread, then the settle wait,
  // which reads the files still waiting at once. The dispatcher then has the rest of the
  // grace for what is queued and under way.
  {
    std::lock_guard lock(FFolderMonitorLock);
    FRetiredMonitors.clear();
  }
  FMailslotWorkerThread.reset();
  FSettleWait.reset();
  FDispatcher->Shutdown(FStopRequested + std::chrono::milliseconds(FOptions.StopGraceMs));
}

void TVelMonitorController::Init() {
  InitAlerts();
  InitRelay();
}

void TVelMonitorController::Start() {
  FConfig->LoadConfig();
  // The master switch alone decides: reports of applications whose exception logs are not
  // watched are relayed too.
  if (!FConfig->Enabled()) return;
  StartRelay();
  StartAlerts();
}

void TVelMonitorController::Stop() {
  if (!FStopRequestedSet) {
    FStopRequestedSet = true;
    FStopRequested = std::chrono::steady_clock::now();
    FDispatcher->BeginStop();
  }
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
