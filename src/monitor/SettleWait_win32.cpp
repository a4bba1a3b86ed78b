// Windows tells no close after writing through the directory-change read the folder monitor
// uses, so every file waits the full time; the waits still overlap.

#include <condition_variable>
#include <mutex>

#include "monitor/SettleWait.h"

namespace vel::settle_detail {

struct TCloseWatch::Impl {
  std::mutex Lock;
  std::condition_variable Signal;
  bool Woken = false;
};

TCloseWatch::TCloseWatch() : FImpl(std::make_unique<Impl>()) {}

TCloseWatch::~TCloseWatch() = default;

bool TCloseWatch::AddFolder(const std::string&) {
  return false;
}

void TCloseWatch::Wake() {
  {
    std::lock_guard lock(FImpl->Lock);
    FImpl->Woken = true;
  }
  FImpl->Signal.notify_all();
}

std::vector<std::string> TCloseWatch::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(FImpl->Lock);
  FImpl->Signal.wait_for(lock, timeout, [&] { return FImpl->Woken; });
  FImpl->Woken = false;
  return {};
}

}  // namespace vel::settle_detail
