#pragma once

// The status-report sender that a monitored application embeds: at start and then every
// interval it sends one '|'-delimited report of its figures to the monitor service over the
// local status channel. Between reports it holds no handle to the channel, so the service
// may start or restart at any time.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vel {

class TVelMailslotClient;
class TVelTimedThread;

// The channel the service listens on.
inline constexpr const char* kServerMonitorMailslotId = "vel_servermonitor";

using TVelTimePoint = std::chrono::system_clock::time_point;

// What the sender reads from its application. Each value is read once per report, on the
// sender's thread, while the application's threads go on changing them: implementations
// must make every read safe against those writers.
class IVelServerMonitorHost {
 public:
  virtual ~IVelServerMonitorHost() = default;
  virtual TVelTimePoint StartTime() const = 0;
  virtual std::string AppName() const = 0;
  virtual int32_t SessionCount() const = 0;
  virtual int64_t RequestCount() const = 0;
  virtual int64_t BytesSent() const = 0;
  virtual int32_t Status400Count() const = 0;
  virtual int32_t Status500Count() const = 0;
  // When the session-timeout sweep last ran; empty before its first run.
  virtual std::optional<TVelTimePoint> LastTimeoutSweep() const = 0;
  virtual int32_t LastRemovedSessionCount() const = 0;
};

// A ready-made host that an application fills in from its own threads: counters are atomic,
// the name and the sweep record sit under a lock. The start time is taken at construction.
class TVelServerMonitorHostInfo : public IVelServerMonitorHost {
 public:
  explicit TVelServerMonitorHostInfo(std::string appName = "");

  TVelTimePoint StartTime() const override { return FStartTime; }
  std::string AppName() const override;
  int32_t SessionCount() const override { return FSessionCount.load(); }
  int64_t RequestCount() const override { return FRequestCount.load(); }
  int64_t BytesSent() const override { return FBytesSent.load(); }
  int32_t Status400Count() const override { return FStatus400.load(); }
  int32_t Status500Count() const override { return FStatus500.load(); }
  std::optional<TVelTimePoint> LastTimeoutSweep() const override;
  int32_t LastRemovedSessionCount() const override;

  void SetAppName(const std::string& value);
  void SetStartTime(TVelTimePoint value) { FStartTime = value; }  // before the sender starts
  void SetSessionCount(int32_t value) { FSessionCount.store(value); }
  void AddRequests(int64_t n = 1) { FRequestCount.fetch_add(n); }
  void AddBytesSent(int64_t n) { FBytesSent.fetch_add(n); }
  void AddStatus400(int32_t n = 1) { FStatus400.fetch_add(n); }
  void AddStatus500(int32_t n = 1) { FStatus500.fetch_add(n); }
  // Records one run of the session-timeout sweep.
  void SweepDone(TVelTimePoint when, int32_t removedSessions);

 private:
  TVelTimePoint FStartTime;
  mutable std::mutex FLock;
  std::string FAppName;
  std::optional<TVelTimePoint> FLastSweep;
  int32_t FLastRemoved = 0;
  std::atomic<int32_t> FSessionCount{0};
  std::atomic<int64_t> FRequestCount{0};
  std::atomic<int64_t> FBytesSent{0};
  std::atomic<int32_t> FStatus400{0};
  std::atomic<int32_t> FStatus500{0};
};

class TVelServerMonitorClient {
 public:
  // Starts the thread "VelServerMonitorClientThread": one report at once, then one every
  // aIntervalMinutes minutes. A non-positive interval ends that thread at once without a
  // report. The owner must outlive the sender. aMailslotId names the channel (tests use
  // their own).
  TVelServerMonitorClient(const IVelServerMonitorHost& aOwner, int16_t aIntervalMinutes,
                          std::string aMailslotId = kServerMonitorMailslotId);
  // Tells the thread to finish and waits for a report in progress (a write waits at most
  // about a second), so nothing it uses goes away under it.
  ~TVelServerMonitorClient();
  TVelServerMonitorClient(const TVelServerMonitorClient&) = delete;
  TVelServerMonitorClient& operator=(const TVelServerMonitorClient&) = delete;

  int16_t IntervalMinutes() const { return FIntervalMinutes; }

  // The report text: sixteen name=value pairs joined by '|'.
  std::string BuildStatusMessage() const;
  // Opens the channel, writes one report and closes the channel. A missing service only
  // makes the write fail quietly; other failures raise (the thread discards them).
  void SendStatusReport();

 private:
  void GuardedReport();

  const IVelServerMonitorHost& FOwner;
  std::unique_ptr<TVelMailslotClient> FChannel;
  int16_t FIntervalMinutes;
  std::mutex FReportLock;  // one report at a time, be it from the thread or a caller
  std::unique_ptr<TVelTimedThread> FWorkerThread;  // last: joined before the rest goes
};

// A moment as display text in this process's regional settings: short date, a space and the
// long time, or the date alone at exactly midnight. Empty (a sweep that never ran) gives the
// date 30 December 1899 alone.
std::string FormatReportDateTime(const std::optional<TVelTimePoint>& value);

}  // namespace vel
