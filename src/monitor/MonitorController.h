#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/MonitorConfig.h"
#include "monitor/CircularBuffer.h"

namespace vel {

class TVelFolderMonitor;
struct TFolderItemInfo;
class TVelMailslotServer;
class TVelTimedThread;
class TVelTelegram;
class TVelDiscord;

// What the service fixes and tests change: the INI file, the status channel's name and the
// relay's poll interval.
struct TVelMonitorOptions {
  std::string ConfigFile;  // empty: the executable's path with ".ini"
  std::string MailslotId = "vel_servermonitor";
  int PollIntervalMs = 2500;
};

// The root object of the running service. It owns the configuration and the objects of its
// three duties, each implemented in a file of its own:
//   MonitorController.cpp  lifecycle and the guarded runner
//   MonitorDispatcher.cpp  delivery to Telegram, Discord and e-mail with channel health
//   MonitorRelay.cpp       the status report relay (mailslot + timed thread)
//   MonitorAlerts.cpp      the exception-log alerts (folder monitors + ring)
class TVelMonitorController {
 public:
  using TOnMessageProc = std::function<void(const std::string& aMsg)>;
  using TAction = std::function<void()>;

  explicit TVelMonitorController(TVelMonitorOptions options = {});
  // Stops once more, then waits for the worker threads before anything they use goes away.
  ~TVelMonitorController();
  TVelMonitorController(const TVelMonitorController&) = delete;
  TVelMonitorController& operator=(const TVelMonitorController&) = delete;

  // Loads the configuration; with the master switch on and at least one application, starts
  // the relay's thread and one folder monitor per enabled application. Exceptions from
  // loading or from starting the thread leave Start.
  void Start();
  // Tells the thread to finish, closes the mailslot, deactivates and drops the monitors.
  // Returns without waiting for a poll or an alert already running. May run twice.
  void Stop();

  // Runs action; any std::exception becomes the diagnostic line
  // "Error: " + label + ": " + message ("Error: " + message when label is empty).
  void RunGuarded(const TAction& action, const std::string& label);

  TVelMonitorConfig& Config() { return *FConfig; }
  const TVelMonitorOptions& Options() const { return FOptions; }

  // --- Notification dispatcher ---------------------------------------------------------
  void SendToTelegram(const std::string& title, const std::string& body);
  void SendToDiscord(const std::string& title, const std::string& body);
  void SendToEmail(const std::string& title, const std::string& body);
  // Ends the chat deliveries under way (a retry pause or an HTTP request) and makes later ones
  // fail at once. The destructor calls it so that a hanging channel never holds up the exit.
  void CancelDeliveries();
  int TelegramErrors() const;
  int DiscordErrors() const;
  int EmailErrors() const;

  // --- Status report relay ---------------------------------------------------------------
  void SetOnMessage(TOnMessageProc proc) { FOnMessage = std::move(proc); }
  const TOnMessageProc& OnMessage() const { return FOnMessage; }
  void ReadMailslot();
  void DoReadMailslot();
  void ProcessStatusMessage(const std::string& msg);
  static std::string FormatCount(const std::string& pattern, int64_t value);
  TVelMailslotServer* Mailslot() { return FMailslot.get(); }

  // --- Exception-log alerts --------------------------------------------------------------
  void ExecOnFolderChanged(TVelFolderMonitor* sender, const TFolderItemInfo& item);
  void DoOnFolderChanged(TVelFolderMonitor* sender, const TFolderItemInfo& item);
  static std::string ExtractLogValue(const std::string& text, const std::string& key);
  // The texts one exception log becomes: Full without the writer's first separator line and
  // restart hint; Short the part before the application details (empty unless withShort),
  // and ChatShort that part fenced as a code block for the chat channels.
  struct TAlertTexts {
    std::string Full;
    std::string Short;
    std::string ChatShort;
  };
  static TAlertTexts ShapeAlertTexts(std::string text, bool withShort);
  size_t FolderMonitorCount() const;

 private:
  void Init();
  // The duties' parts of Init, Start and Stop, in the order the lifecycle calls them.
  void InitRelay();
  void StartRelay();
  void StopRelay();
  void InitAlerts();
  void StartAlerts();
  void StopAlerts();

  TVelMonitorOptions FOptions;

  // Members are destroyed in reverse order: the threads that use everything above them
  // (the relay's timed thread, the folder monitors' workers) are declared last so they are
  // joined first.
  std::unique_ptr<TCircularBuffer<std::string>> FFileNotificationList;
  std::mutex FRingLock;  // the ring test and add of one alert happen under one lock
  std::unique_ptr<TVelMonitorConfig> FConfig;
  TOnMessageProc FOnMessage;

  // Dispatcher: one lock per channel around lazy creation, sending, counting and
  // switching off, so a slow channel never holds up another.
  mutable std::mutex FTelegramLock;
  mutable std::mutex FDiscordLock;
  mutable std::mutex FEmailLock;
  // Guards the two sender pointers against CancelDeliveries; they are set under both locks.
  std::mutex FSenderLock;
  bool FDeliveriesCancelled = false;
  std::unique_ptr<TVelTelegram> FVelTelegram;
  std::unique_ptr<TVelDiscord> FVelDiscord;
  int FTelegramErrors = 0;
  int FDiscordErrors = 0;
  int FEmailErrors = 0;

  std::unique_ptr<TVelMailslotServer> FMailslot;
  bool FRelayStopped = false;

  mutable std::mutex FFolderMonitorLock;
  std::vector<std::unique_ptr<TVelFolderMonitor>> FFolderMonitorList;
  // Monitors dropped by Stop; joined when the controller goes, so Stop never waits.
  std::vector<std::unique_ptr<TVelFolderMonitor>> FRetiredMonitors;
  std::unique_ptr<TVelTimedThread> FMailslotWorkerThread;
};

}  // namespace vel
