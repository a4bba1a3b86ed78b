#pragma once

// Delivery of every notification to Telegram, Discord and e-mail.
//
// Each channel has a queue of its own and a worker thread that delivers from it in order, so
// a slow or hanging channel never holds up another, and the callers (folder monitors, the
// status relay) never wait for a network. Per channel, consecutive failures are counted and a
// channel whose count passes its MaxErrors is switched off for the rest of the run; failures
// never reach the caller, they become lines in the diagnostic log.
//
// Throttling is not failure: a channel answered with 429 waits as asked and sends the same
// message again, however long that lasts; only Shutdown ends the wait.
//
// Storms are summarised per channel (DispatcherQueue.h): an application that sends alerts
// faster than a few a minute has the rest held and sent as one summary a minute, and a
// channel in a storm paces itself to about 30 messages a minute. A summary gives the count
// of exception logs, the count per exception class, the time span, and the newest alert as
// it would have gone out alone. Without a storm every notification goes out exactly as it
// was queued.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "monitor/DispatcherQueue.h"

namespace vel {

class TVelMonitorConfig;
class TVelTelegram;
class TVelDiscord;

// What the callers hand over besides the text: the kind lets the queue merge and replace.
struct TNotificationInfo {
  TNotificationKind Kind = TNotificationKind::nkPlain;
  std::string ExceptionClass;  // alerts only; may be empty
};

class TVelDispatcher {
 public:
  using TClock = std::chrono::steady_clock;

  // Longest single wait on a rate limit, whatever the channel asked for.
  static constexpr std::chrono::milliseconds kMaxThrottleWait{std::chrono::minutes(10)};
  // Wait on a 429 that named no wait.
  static constexpr std::chrono::milliseconds kDefaultThrottleWait{1000};

  // config must outlive the dispatcher; its channel settings are read at every delivery and
  // a channel's Enabled flag is cleared here when the channel is switched off.
  explicit TVelDispatcher(TVelMonitorConfig& config, TStormLimits limits = {});
  // Shuts down with no grace: what is under way is cancelled at once.
  ~TVelDispatcher();
  TVelDispatcher(const TVelDispatcher&) = delete;
  TVelDispatcher& operator=(const TVelDispatcher&) = delete;

  // Queue one notification for one channel and return at once. A channel that is not ready
  // (switched off, or missing its token, chat, host or address) is skipped silently.
  void SendToTelegram(const std::string& title, const std::string& body,
                      const TNotificationInfo& info = {});
  void SendToDiscord(const std::string& title, const std::string& body,
                     const TNotificationInfo& info = {});
  void SendToEmail(const std::string& title, const std::string& body,
                   const TNotificationInfo& info = {});

  // The stop was requested: held alerts go out as summaries now, and a delivery under way now
  // that fails (its time-out may come before the grace ends) is counted as not sent, never as
  // a channel failure. Returns at once.
  void BeginStop();

  // Lets the channels go on with their queues until graceEnd, then cancels what is still
  // under way (a cancelled delivery is neither counted nor logged as a failure), and writes
  // one line per channel with the count of notifications left unsent. Joins the workers; an
  // SMTP session that cannot be interrupted is waited for. Later sends are dropped.
  void Shutdown(TClock::time_point graceEnd);

  // Waits until every queue is empty and no delivery is under way; false on time-out. Alerts
  // held by the rate rule are not waited for: they go at their minute or at the stop.
  bool WaitIdle(std::chrono::milliseconds timeout);

  int TelegramErrors() const;
  int DiscordErrors() const;
  int EmailErrors() const;
  // Notifications not sent yet on every channel, alerts counted one by one, held ones
  // included.
  std::size_t Waiting() const;

 private:
  class TChannel;
  enum class TOutcome { ocDelivered, ocFailed, ocThrottled, ocCancelled };
  struct TResult {
    TOutcome Outcome = TOutcome::ocDelivered;
    std::string Error;
    std::chrono::milliseconds Wait{0};
    bool Throttled = false;  // delivered, but only after waiting out a 429
  };

  static TDispatchItem MakeItem(const std::string& title, const std::string& body,
                                const TNotificationInfo& info);
  TResult DeliverTelegram(const std::string& title, const std::string& body);
  TResult DeliverDiscord(const std::string& title, const std::string& body);
  TResult DeliverEmail(const std::string& title, const std::string& body);

  TVelMonitorConfig& FConfig;
  // Guards the sender pointers against a cancellation from another thread.
  std::mutex FSenderLock;
  bool FCancelled = false;
  std::unique_ptr<TVelTelegram> FVelTelegram;
  std::unique_ptr<TVelDiscord> FVelDiscord;

  std::unique_ptr<TChannel> FTelegram;
  std::unique_ptr<TChannel> FDiscord;
  std::unique_ptr<TChannel> FEmail;
};

}  // namespace vel
