// Windows tells no close after writing, but it tells whether a writer still holds a file
// open: an open for reading that denies writing fails with a sharing violation while any
// handle with write access is open, whatever that handle shares. The files waiting are asked
// about at once and then at a short interval, so a file is read soon after its last writer
// closed it.
//
// The probe holds its handle for a moment only; a writer opening the file for writing in that
// moment is refused, so only the files the wait holds are probed, and each only until it is
// released.

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "common/WinApi_win32.h"
#include "monitor/SettleWait.h"

namespace vel::settle_detail {

namespace {

constexpr std::chrono::milliseconds kProbeInterval{50};

// False only while a handle with write access (or one that shares no reading) is open on
// the file. A file that is gone or cannot be opened for another reason is not waited for:
// the read that follows finds out what it is.
bool NoWriterHoldsOpen(const std::string& path) {
  const HANDLE h =
      ::CreateFileW(win::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError() != ERROR_SHARING_VIOLATION;
  ::CloseHandle(h);
  return true;
}

}  // namespace

struct TCloseWatch::Impl {
  std::mutex Lock;
  std::condition_variable Signal;
  bool Woken = false;
};

TCloseWatch::TCloseWatch() : FImpl(std::make_unique<Impl>()) {}

TCloseWatch::~TCloseWatch() = default;

// Every folder can be asked about; nothing is set up per folder.
bool TCloseWatch::AddFolder(const std::string&) {
  return true;
}

void TCloseWatch::Wake() {
  {
    std::lock_guard lock(FImpl->Lock);
    FImpl->Woken = true;
  }
  FImpl->Signal.notify_all();
}

bool TCloseWatch::AsksPerFile() {
  return true;
}

std::vector<std::string> TCloseWatch::Wait(std::chrono::milliseconds timeout,
                                           const std::vector<std::string>& awaited) {
  std::vector<std::string> closed;
  for (const std::string& path : awaited)
    if (NoWriterHoldsOpen(path)) closed.push_back(path);
  if (!closed.empty()) return closed;
  // Returns after one interval at most while files wait, so the caller's list stays current.
  if (!awaited.empty()) timeout = std::min(timeout, kProbeInterval);
  std::unique_lock lock(FImpl->Lock);
  FImpl->Signal.wait_for(lock, timeout, [&] { return FImpl->Woken; });
  FImpl->Woken = false;
  return closed;
}

}  // namespace vel::settle_detail
