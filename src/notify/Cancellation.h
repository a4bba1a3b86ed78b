#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vel {

// A one-way switch that another thread throws to end a sender's work under way: it wakes a
// pause at once, and its flag, handed to the HTTP client, ends the request in progress.
class TCancellation {
 public:
  void Cancel() {
    {
      std::lock_guard guard(FLock);
      FCancelled = true;
    }
    FRequestFlag.store(true);
    FSignal.notify_all();
  }

  bool Cancelled() const {
    std::lock_guard guard(FLock);
    return FCancelled;
  }

  // Pauses for wait; false when cancelled before or during it.
  bool Wait(std::chrono::milliseconds wait) {
    std::unique_lock guard(FLock);
    return !FSignal.wait_for(guard, wait, [&] { return FCancelled; });
  }

  // For TVelHTTPClientBase::SetCancelFlag; lives as long as this object.
  const std::atomic<bool>* RequestFlag() const { return &FRequestFlag; }

 private:
  mutable std::mutex FLock;
  std::condition_variable FSignal;
  bool FCancelled = false;
  std::atomic<bool> FRequestFlag{false};
};

}  // namespace vel
