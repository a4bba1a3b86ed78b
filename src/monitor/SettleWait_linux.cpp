// Closes after writing come from inotify's IN_CLOSE_WRITE, on an inotify instance of the
// settle wait's own (the folder monitor keeps reporting creations as it does).

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "monitor/SettleWait.h"

namespace vel::settle_detail {

struct TCloseWatch::Impl {
  int InotifyFd = -1;
  int WakeFd = -1;
  std::mutex Lock;  // guards Folders: AddFolder runs on another thread than Wait
  std::unordered_map<int, std::string> Folders;
};

TCloseWatch::TCloseWatch() : FImpl(std::make_unique<Impl>()) {
  FImpl->InotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  FImpl->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TCloseWatch::~TCloseWatch() {
  if (FImpl->InotifyFd >= 0) ::close(FImpl->InotifyFd);
  if (FImpl->WakeFd >= 0) ::close(FImpl->WakeFd);
}

bool TCloseWatch::AddFolder(const std::string& folder) {
  if (FImpl->InotifyFd < 0) return false;
  std::lock_guard lock(FImpl->Lock);
  const int wd = ::inotify_add_watch(FImpl->InotifyFd, folder.c_str(), IN_CLOSE_WRITE | IN_ONLYDIR);
  if (wd < 0) return false;
  std::string prefix = folder;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  FImpl->Folders[wd] = prefix;
  return true;
}

void TCloseWatch::Wake() {
  if (FImpl->WakeFd < 0) return;
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(FImpl->WakeFd, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

// inotify tells of each close.
bool TCloseWatch::AsksPerFile() {
  return false;
}

std::vector<std::string> TCloseWatch::Wait(std::chrono::milliseconds timeout,
                                           const std::vector<std::string>&) {
  std::vector<std::string> closed;
  pollfd fds[2] = {{FImpl->InotifyFd, POLLIN, 0}, {FImpl->WakeFd, POLLIN, 0}};
  int r;
  do {
    r = ::poll(fds, 2, static_cast<int>(timeout.count()));
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return closed;
  if (fds[1].revents & POLLIN) {
    uint64_t count;
    while (::read(FImpl->WakeFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
  if (!(fds[0].revents & POLLIN)) return closed;
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(FImpl->InotifyFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(FImpl->Lock);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (!(event->mask & IN_CLOSE_WRITE) || event->len == 0) continue;
      auto folder = FImpl->Folders.find(event->wd);
      if (folder != FImpl->Folders.end()) closed.push_back(folder->second + event->name);
    }
  }
  return closed;
}

}  // namespace vel::settle_detail
