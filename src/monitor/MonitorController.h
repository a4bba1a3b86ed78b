#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/MonitorConfig.h"
#include "monitor/CircularBuffer.h"
#include "monitor/Dispatcher.h"

namespace vel {

class TVelFolderMonitor;
struct TFolderItemInfo;
class TVelMailslotServer;
class TVelTimedThread;
class TVelSettleWait;

// What the service fixes and tests change: the INI file, the status channel's name and the
// relay's poll interval.
struct TVelMonitorOptions {
  std::string ConfigFile;  // empty: the executable's path with ".ini"
  std::string MailslotId = "vel_servermonitor";
  int PollIntervalMs = 2500;
  // How long deliveries under way and queued may go on after the stop request before they
  // are cancelled (the service host allows the same before it ends the process).
  int StopGraceMs = 3000;
  // Longest wait between seeing a new file and reading it, when its writer has not closed it.
  int SettleWaitMs = 100;
  // When a storm of alerts is summarised and paced, per channel.
  TStormLimits StormLimits;
  // Told a short state text for the service manager whenever the status channel's state
  // changes (opened, not openable); may be empty.
  std::function<void(const std::string&)> OnStatusText;
};

// The root object of the running service. It owns the configuration and the objects of its
// three duties, each implemented in a file of its own:
//   MonitorController.cpp  lifecycle and the guarded runner
//   MonitorDispatcher.cpp  the entry points of the dispatcher (Dispatcher.h: a queue and a
//                          worker per channel, with channel health)
//   MonitorRelay.cpp       the status report relay (mailslot + timed thread)
//   MonitorAlerts.cpp      the exception-log alerts (folder monitors + ring)
class TVelMonitorController {
 public:
  using TOnMessageProc = std::function<void(const std::string& aMsg)>;
  using TAction = std::function<void()>;

  explicit TVelMonitorController(TVelMonitorOptions options = {});
  // Stops once more and waits for the worker threads; then lets the deliveries under way and
  // queued go on until the stop grace has passed since the first Stop, cancels what is left
  // (logging what was not sent) and releases everything.
  ~TVelMonitorController();
  TVelMonitorController(const TVelMonitorController&) = delete;
  TVelMonitorController& operator=(const TVelMonitorController&) = delete;

  // Loads the configuration; with the master switch on, starts the relay's thread and one
  // folder monitor per enabled application. Exceptions from
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
  // Queue one notification on one channel and return at once (Dispatcher.h).
  void SendToTelegram(const std::string& title, const std::string& body,
                      const TNotificationInfo& info = {});
  void SendToDiscord(const std::string& title, const std::string& body,
                     const TNotificationInfo& info = {});
  void SendToEmail(const std::string& title, const std::string& body,
                   const TNotificationInfo& info = {});
  TVelDispatcher& Dispatcher() { return *FDispatcher; }
  int TelegramErrors() const;
  int DiscordErrors() const;
  int EmailErrors() const;

  // --- Status report relay ---------------------------------------------------------------
  void SetOnMessage(TOnMessageProc proc) { FOnMessage = std::move(proc); }
  const TOnMessageProc& OnMessage() const { return FOnMessage; }
  void ReadMailslot();
  void DoReadMailslot();
  void ProcessStatusMessage(const std::string& msg);
  // Opens what of the channel is not open yet and logs a change of its state.
  void CheckChannel();
  static std::string FormatCount(const std::string& pattern, int64_t value);
  TVelMailslotServer* Mailslot() { return FMailslot.get(); }

  // --- Exception-log alerts --------------------------------------------------------------
  void ExecOnFolderChanged(TVelFolderMonitor* sender, const TFolderItemInfo& item);
  // Checks the change and hands a new file to the settle wait, which calls AlertFile once the
  // writer has closed it or the settle time has passed.
  void DoOnFolderChanged(TVelFolderMonitor* sender, const TFolderItemInfo& item);
  // Reads one settled file and queues its alert on every channel.
  void AlertFile(const std::string& title, const std::string& fileName);
  // The texts one exception log becomes: Full without the writer's first separator line and
  // restart hint; Short the part before the application details (empty unless withShort),
  // ChatShort that part fenced as a code block (the opening fence on a line of its own) for the
  // chat channels, and ChatFull the full text for them (backticks of the log can neither open nor
  // close a code block in either).
  struct TAlertTexts {
    std::string Full;
    std::string ChatFull;
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

  // Declared after the configuration it reads and before everything that queues on it.
  std::unique_ptr<TVelDispatcher> FDispatcher;
  std::chrono::steady_clock::time_point FStopRequested{};
  bool FStopRequestedSet = false;
  // Before the folder monitors that hand it new files; its thread queues alerts.
  std::unique_ptr<TVelSettleWait> FSettleWait;

  std::unique_ptr<TVelMailslotServer> FMailslot;
  bool FRelayStopped = false;
  // What the poll thread last said about the channel and its drop count, so that only
  // changes are logged.
  std::string FChannelProblem;
  bool FChannelStateTold = false;
  uint64_t FDroppedTold = 0;

  mutable std::mutex FFolderMonitorLock;
  std::vector<std::unique_ptr<TVelFolderMonitor>> FFolderMonitorList;
  // Monitors dropped by Stop; joined when the controller goes, so Stop never waits.
  std::vector<std::unique_ptr<TVelFolderMonitor>> FRetiredMonitors;
  std::unique_ptr<TVelTimedThread> FMailslotWorkerThread;
};

}  // namespace vel
