#include "monitor/DispatcherQueue.h"

#include <algorithm>
#include <utility>

namespace vel {

namespace {

constexpr std::chrono::seconds kMinute{60};
// Distinct exception classes a summary names; the rest are counted together.
constexpr std::size_t kMaxSummaryClasses = 20;

void ForgetBefore(std::deque<TDispatchQueue::TTime>& times, TDispatchQueue::TTime cutoff) {
  while (!times.empty() && times.front() <= cutoff) times.pop_front();
}

}  // namespace

void TDispatchItem::Absorb(TDispatchItem&& newer) {
  Count += newer.Count;
  for (auto& [cls, n] : newer.Classes) {
    auto it = Classes.find(cls);
    if (it != Classes.end())
      it->second += n;
    else if (Classes.size() < kMaxSummaryClasses)
      Classes.emplace(cls, n);
    else
      OtherClasses += n;
  }
  OtherClasses += newer.OtherClasses;
  Last = std::move(newer.Last);
  Body = std::move(newer.Body);
}

std::string TDispatchItem::Text() const {
  if (!IsSummary()) return Body;
  std::string t =
      "Summary of " + std::to_string(Count) + " exception logs (" + First + " to " + Last + ")\r\n";
  for (const auto& [cls, n] : Classes)
    t += (cls.empty() ? std::string("(no class)") : cls) + ": " + std::to_string(n) + "\r\n";
  if (OtherClasses > 0) t += "Other classes: " + std::to_string(OtherClasses) + "\r\n";
  return t + "Newest:\r\n" + Body;
}

void TDispatchQueue::Push(TDispatchItem item) {
  if (item.Kind == TNotificationKind::nkStatus) {
    for (auto& queued : FQueue)
      if (queued.Kind == TNotificationKind::nkStatus && queued.Title == item.Title) {
        queued.Body = std::move(item.Body);
        return;
      }
    FQueue.push_back(std::move(item));
    return;
  }
  if (item.Kind != TNotificationKind::nkAlert) {
    FQueue.push_back(std::move(item));
    return;
  }
  const TTime at = item.Queued;
  Refresh(at);
  FAlertArrivals.push_back(at);
  TAppRate& app = FApps[item.Title];
  const bool overRate = app.Held || app.Arrivals.size() >= FLimits.AppAlerts;
  app.Arrivals.push_back(at);
  if (overRate && !FStopping) {
    FLastHold = at;
    if (app.Held) {
      app.Held->Absorb(std::move(item));
    } else {
      app.Held = std::move(item);
      app.HeldUntil = at + kMinute;
    }
    return;
  }
  if (Backlog(at))
    for (auto it = FQueue.rbegin(); it != FQueue.rend(); ++it)
      if (it->Kind == TNotificationKind::nkAlert && it->Title == item.Title) {
        it->Absorb(std::move(item));
        return;
      }
  FQueue.push_back(std::move(item));
}

std::optional<TDispatchItem> TDispatchQueue::TakeNext(TTime now) {
  Refresh(now);
  if (FQueue.empty() || PacedUntil(now) > now) return std::nullopt;
  const bool backlog = Backlog(now);
  TDispatchItem item = std::move(FQueue.front());
  FQueue.pop_front();
  if (backlog && item.Kind == TNotificationKind::nkAlert) {
    for (auto it = FQueue.begin(); it != FQueue.end();) {
      if (it->Kind == TNotificationKind::nkAlert && it->Title == item.Title) {
        item.Absorb(std::move(*it));
        it = FQueue.erase(it);
      } else {
        ++it;
      }
    }
  }
  FSent.push_back(now);
  return item;
}

std::optional<TDispatchQueue::TTime> TDispatchQueue::NextChance(TTime now) {
  Refresh(now);
  std::optional<TTime> next;
  if (!FQueue.empty()) next = PacedUntil(now);
  for (const auto& [name, app] : FApps)
    if (app.Held && (!next || app.HeldUntil < *next)) next = app.HeldUntil;
  return next;
}

void TDispatchQueue::NoteThrottled(TTime now) {
  FLastThrottle = now;
}

void TDispatchQueue::ReleaseHeld() {
  FStopping = true;
  for (auto& [name, app] : FApps)
    if (app.Held) {
      FQueue.push_back(std::move(*app.Held));
      app.Held.reset();
    }
}

std::size_t TDispatchQueue::Waiting() const {
  std::size_t n = 0;
  for (const auto& item : FQueue) n += item.Count;
  for (const auto& [name, app] : FApps)
    if (app.Held) n += app.Held->Count;
  return n;
}

void TDispatchQueue::Clear() {
  FQueue.clear();
  FApps.clear();
}

void TDispatchQueue::Refresh(TTime now) {
  const TTime cutoff = now - kMinute;
  ForgetBefore(FAlertArrivals, cutoff);
  ForgetBefore(FSent, cutoff);
  for (auto it = FApps.begin(); it != FApps.end();) {
    TAppRate& app = it->second;
    ForgetBefore(app.Arrivals, cutoff);
    if (app.Held && app.HeldUntil <= now) {
      // Summaries released together are still the storm: they are paced like it.
      FLastHold = now;
      app.Held->Queued = now;
      FQueue.push_back(std::move(*app.Held));
      app.Held.reset();
    }
    it = app.Held || !app.Arrivals.empty() ? std::next(it) : FApps.erase(it);
  }
  if (Storm(now)) FLastStorm = now;
}

bool TDispatchQueue::Storm(TTime now) const {
  const auto recent = [&](const std::optional<TTime>& t) { return t && now - *t < kMinute; };
  return recent(FLastThrottle) || recent(FLastHold) ||
         FAlertArrivals.size() > FLimits.ChannelAlerts;
}

bool TDispatchQueue::Backlog(TTime now) const {
  // At the stop only the grace is left: what waits goes out in as few messages as it can.
  return FStopping || FQueue.size() >= kBacklogBound || Storm(now) ||
         (!FQueue.empty() && now - FQueue.front().Queued > kBacklogAge);
}

TDispatchQueue::TTime TDispatchQueue::PacedUntil(TTime now) const {
  if (FStopping || FSent.empty()) return now;
  TTime until = now;
  if (Storm(now)) until = std::max(until, FSent.back() + kStormSpacing);
  // The cap holds for a minute past the storm, so that summaries that outlast it never go
  // out in a burst.
  const bool capped = FLastStorm && now - *FLastStorm < kMinute;
  if (capped && FLimits.Messages > 0 && FSent.size() >= FLimits.Messages)
    until = std::max(until, FSent[FSent.size() - FLimits.Messages] + kMinute);
  return until;
}

}  // namespace vel
