// The storm rules of a channel's queue, driven by a clock of the test's own: a storm of
// minutes runs in milliseconds.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/DispatcherQueue.h"

namespace vel {
namespace {

using namespace std::chrono_literals;
using TTime = TDispatchQueue::TTime;

const TTime kStart{std::chrono::hours(1)};

struct Message {
  TTime At;
  TDispatchItem Item;
};

struct Arrival {
  TTime At;
  std::string App;
};

TDispatchItem Alert(const std::string& app, TTime at, int n) {
  TDispatchItem item;
  item.Title = app;
  item.Body = app + " alert " + std::to_string(n);
  item.Kind = TNotificationKind::nkAlert;
  item.Queued = at;
  item.Classes.emplace("EAccessViolation", 1);
  return item;
}

// A channel that delivers instantly: whatever may go is taken the moment it may.
std::vector<Message> DeliverInstantly(TDispatchQueue& queue, const std::vector<Arrival>& arrivals) {
  std::vector<Message> sent;
  std::size_t next = 0;
  TTime clock = kStart;
  for (int step = 0; step < 100000; ++step) {
    std::optional<TTime> now = queue.NextChance(clock);
    if (next < arrivals.size() && (!now || arrivals[next].At <= *now)) now = arrivals[next].At;
    if (!now) break;
    clock = std::max(clock, *now);
    while (next < arrivals.size() && arrivals[next].At <= clock) {
      queue.Push(Alert(arrivals[next].App, arrivals[next].At, static_cast<int>(next)));
      ++next;
    }
    while (auto item = queue.TakeNext(clock)) sent.push_back({clock, std::move(*item)});
  }
  return sent;
}

// apps applications, perApp alerts each, spread evenly (round robin) over span.
std::vector<Arrival> Storm(int apps, int perApp, std::chrono::milliseconds span) {
  std::vector<Arrival> out;
  const int total = apps * perApp;
  for (int i = 0; i < total; ++i)
    out.push_back({kStart + span * i / total, "App" + std::to_string(i % apps)});
  return out;
}

std::size_t Accounted(const std::vector<Message>& sent) {
  std::size_t n = 0;
  for (const auto& m : sent) n += m.Item.Count;
  return n;
}

std::size_t BusiestMinute(const std::vector<Message>& sent) {
  std::size_t busiest = 0;
  for (std::size_t j = 0, k = 0; k < sent.size(); ++k) {
    while (sent[k].At - sent[j].At >= 60s) ++j;
    busiest = std::max(busiest, k - j + 1);
  }
  return busiest;
}

TEST(DispatcherQueue, StormsStayWithinAboutThirtyMessagesAMinuteAndLoseNothing) {
  struct Case {
    int apps, perApp;
    std::chrono::milliseconds span;
    std::size_t mostMessages;  // for the whole storm
  };
  for (const Case& c : {Case{1, 300, 20s, 6}, Case{1, 1000, 60s, 7}, Case{4, 250, 1s, 28},
                        Case{40, 20, 10s, 200}}) {
    SCOPED_TRACE(std::to_string(c.apps) + " x " + std::to_string(c.perApp));
    TDispatchQueue queue;
    const auto sent = DeliverInstantly(queue, Storm(c.apps, c.perApp, c.span));
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].At, kStart) << "the first alert of a storm goes out at once";
    EXPECT_EQ(sent[0].Item.Count, 1u);
    EXPECT_EQ(Accounted(sent), std::size_t(c.apps * c.perApp));
    EXPECT_LE(BusiestMinute(sent), TStormLimits{}.Messages);
    EXPECT_LE(sent.size(), c.mostMessages);
    EXPECT_EQ(queue.Waiting(), 0u);
  }
}

TEST(DispatcherQueue, HeldAlertsGoOnceAMinuteWhileTheRateLastsThenAloneAgain) {
  TDispatchQueue queue;
  std::vector<Arrival> arrivals;
  for (int i = 0; i <= 70; ++i) arrivals.push_back({kStart + i * 1s, "Shop"});
  arrivals.insert(arrivals.begin() + 31, {kStart + 30500ms, "Blog"});  // not held
  arrivals.push_back({kStart + 300s, "Shop"});                         // the storm is over
  std::vector<std::pair<std::chrono::milliseconds, std::size_t>> got;
  for (const auto& m : DeliverInstantly(queue, arrivals))
    got.push_back(
        {std::chrono::duration_cast<std::chrono::milliseconds>(m.At - kStart), m.Item.Count});
  const std::vector<std::pair<std::chrono::milliseconds, std::size_t>> want = {
      {0s, 1}, {1s, 1}, {2s, 1}, {3s, 1}, {4s, 1}, {30500ms, 1}, {65s, 60}, {125s, 6}, {300s, 1}};
  EXPECT_EQ(got, want);
}

TEST(DispatcherQueue, TheStopReleasesHeldAlertsWithoutPacing) {
  TDispatchQueue queue;
  for (int i = 0; i < 14; ++i) queue.Push(Alert(i % 2 ? "Shop" : "Blog", kStart, i));
  std::size_t sent = 0;
  while (auto item = queue.TakeNext(kStart + 1s)) sent += item->Count;
  EXPECT_LT(sent, 14u) << "paced and held before the stop";
  EXPECT_EQ(sent + queue.Waiting(), 14u);
  queue.ReleaseHeld();
  while (auto item = queue.TakeNext(kStart + 1s)) sent += item->Count;
  EXPECT_EQ(sent, 14u);
  EXPECT_EQ(queue.Waiting(), 0u);
}

TEST(DispatcherQueue, AlertsQueuedAfterTheStopGoTogetherPerApplication) {
  TDispatchQueue queue;
  queue.ReleaseHeld();
  for (int i = 0; i < 4; ++i) queue.Push(Alert(i % 2 ? "Shop" : "Blog", kStart, i));
  std::vector<std::size_t> counts;
  while (auto item = queue.TakeNext(kStart)) counts.push_back(item->Count);
  EXPECT_EQ(counts, (std::vector<std::size_t>{2, 2}));
}

}  // namespace
}  // namespace vel
