#pragma once

// A channel's waiting notifications, and the rules that keep a storm of alerts from
// flooding the channel while every exception log stays accounted for.
//
// - Rate: once an application has queued more than TStormLimits::AppAlerts alerts within a
//   minute, its next alerts are held and go out as one summary a minute after the first of
//   them was held, for as long as the rate lasts. The alerts before that go out at once.
// - Storm: a channel that was throttled (429), held or released an application's alerts, or
//   received more than TStormLimits::ChannelAlerts alerts within the last minute sends at
//   most one message every kStormSpacing, and, until a minute after the storm, no more than
//   TStormLimits::Messages messages in any minute.
// - Backlog: in a storm, at the stop, or when kBacklogBound items wait or the oldest waited
//   longer than kBacklogAge, the queued alerts of one application go out together as one
//   summary.
// - A queued status report of an application is replaced by a newer one.
// Without any of these, every notification goes out exactly as it was queued, at once.
//
// Not thread-safe: the channel's lock guards it. Every step is given the time, so the rules
// can be driven by a clock of the caller's choosing.

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>

namespace vel {

enum class TNotificationKind { nkPlain, nkAlert, nkStatus };

// One queued notification, or a summary of several alerts of one application.
struct TDispatchItem {
  std::string Title;  // the application's name
  std::string Body;   // the newest alert's text in the channel's form
  TNotificationKind Kind = TNotificationKind::nkPlain;
  std::chrono::steady_clock::time_point Queued;
  // Alerts only: how many exception logs this item stands for, per class, and the local
  // times of day of the first and the newest of them.
  std::size_t Count = 1;
  std::map<std::string, std::size_t> Classes;
  std::size_t OtherClasses = 0;
  std::string First;
  std::string Last;

  bool IsSummary() const { return Count > 1; }
  // Takes in a newer item of the same application.
  void Absorb(TDispatchItem&& newer);
  // The text to send: the body alone, or the summary with the newest alert at its end.
  std::string Text() const;
};

// Per minute and channel.
struct TStormLimits {
  std::size_t AppAlerts = 5;       // alerts of one application that go out alone
  std::size_t ChannelAlerts = 20;  // alerts of every application before the channel paces
  std::size_t Messages = 30;       // messages sent
};

class TDispatchQueue {
 public:
  using TTime = std::chrono::steady_clock::time_point;

  static constexpr std::chrono::seconds kStormSpacing{2};
  static constexpr std::size_t kBacklogBound = 20;
  static constexpr std::chrono::seconds kBacklogAge{60};

  explicit TDispatchQueue(TStormLimits limits = {}) : FLimits(limits) {}

  // item.Queued is its arrival.
  void Push(TDispatchItem item);
  // The next message that may go at now; nothing when none may yet.
  std::optional<TDispatchItem> TakeNext(TTime now);
  // When TakeNext may give a message next (now or later); nothing while nothing waits.
  std::optional<TTime> NextChance(TTime now);
  // The channel was answered with 429 at now.
  void NoteThrottled(TTime now);
  // The stop: held alerts join the queue, later ones are not held, nothing is paced.
  void ReleaseHeld();
  // Nothing queued to send (held alerts are not counted).
  bool Empty() const { return FQueue.empty(); }
  // Notifications waiting, exception logs counted one by one, held ones included.
  std::size_t Waiting() const;
  void Clear();

 private:
  struct TAppRate {
    std::deque<TTime> Arrivals;  // within the last minute
    std::optional<TDispatchItem> Held;
    TTime HeldUntil{};
  };

  // Releases held summaries that are due and forgets what is older than a minute.
  void Refresh(TTime now);
  bool Storm(TTime now) const;
  bool Backlog(TTime now) const;
  // The first moment from now on when pacing lets a message go.
  TTime PacedUntil(TTime now) const;

  const TStormLimits FLimits;
  std::deque<TDispatchItem> FQueue;
  std::map<std::string, TAppRate> FApps;
  std::deque<TTime> FAlertArrivals;  // every application's, within the last minute
  std::deque<TTime> FSent;           // within the last minute
  std::optional<TTime> FLastThrottle;
  std::optional<TTime> FLastHold;
  std::optional<TTime> FLastStorm;
  bool FStopping = false;
};

}  // namespace vel
