#include "monitor/SettleWait.h"

#include <utility>

namespace vel {

namespace {
// How long a close seen before its file's creation is remembered, and how many at most.
constexpr std::chrono::seconds kRecentCloseAge{2};
constexpr std::size_t kMaxRecentCloses = 4096;
constexpr std::chrono::milliseconds kIdleWait{60000};
}  // namespace

TVelSettleWait::TVelSettleWait(std::chrono::milliseconds maxWait) : FMaxWait(maxWait) {
  FThread = std::jthread([this] { Run(); });
}

TVelSettleWait::~TVelSettleWait() {
  Stop();
  if (FThread.joinable()) FThread.join();
}

void TVelSettleWait::WatchFolder(const std::string& folder) {
  FWatch.AddFolder(folder);
}

void TVelSettleWait::Add(const std::string& path, TReady ready) {
  {
    std::lock_guard lock(FLock);
    auto closed = FRecentlyClosed.find(path);
    const bool early = closed != FRecentlyClosed.end();
    if (early) FRecentlyClosed.erase(closed);
    if (!FStopped && !early) {
      FPending.push_back({path, std::move(ready), TClock::now() + FMaxWait});
      FByPath.emplace(path, std::prev(FPending.end()));
      // The waiter takes the new deadline, and where closes are asked about, the new file.
      FWatch.Wake();
      return;
    }
  }
  ready();
}

void TVelSettleWait::Stop() {
  {
    std::lock_guard lock(FLock);
    if (FStopped) return;
    FStopped = true;
  }
  FWatch.Wake();
}

std::size_t TVelSettleWait::Pending() const {
  std::lock_guard lock(FLock);
  return FPending.size();
}

void TVelSettleWait::Run() {
  std::chrono::milliseconds timeout = kIdleWait;
  std::vector<std::string> awaited;
  for (;;) {
    const std::vector<std::string> closed = FWatch.Wait(timeout, awaited);
    std::vector<TReady> ready;
    bool stopped;
    {
      std::lock_guard lock(FLock);
      const auto now = TClock::now();
      for (const std::string& path : closed) {
        auto [first, last] = FByPath.equal_range(path);
        if (first == last) {
          if (FRecentlyClosed.size() >= kMaxRecentCloses) FRecentlyClosed.clear();
          FRecentlyClosed[path] = now;
          continue;
        }
        for (auto it = first; it != last; ++it) {
          ready.push_back(std::move(it->second->Ready));
          FPending.erase(it->second);
        }
        FByPath.erase(first, last);
      }
      stopped = FStopped;
      while (!FPending.empty() && FPending.front().Deadline <= now) {
        TPending& p = FPending.front();
        auto [first, last] = FByPath.equal_range(p.Path);
        for (auto it = first; it != last; ++it)
          if (it->second == FPending.begin()) {
            FByPath.erase(it);
            break;
          }
        ready.push_back(std::move(p.Ready));
        FPending.pop_front();
      }
      std::erase_if(FRecentlyClosed,
                    [&](const auto& entry) { return now - entry.second > kRecentCloseAge; });
      // Equal paths are next to each other in the multimap.
      awaited.clear();
      if (settle_detail::TCloseWatch::AsksPerFile())
        for (const auto& entry : FByPath)
          if (awaited.empty() || awaited.back() != entry.first) awaited.push_back(entry.first);
      if (FPending.empty()) {
        timeout = FRecentlyClosed.empty() ? kIdleWait : kRecentCloseAge;
      } else {
        timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
            FPending.front().Deadline - now + std::chrono::microseconds(999));
        if (timeout.count() < 0) timeout = std::chrono::milliseconds::zero();
      }
    }
    for (auto& r : ready)
      if (r) r();
    if (stopped) {
      std::lock_guard lock(FLock);
      if (FPending.empty()) return;
    }
  }
}

}  // namespace vel
