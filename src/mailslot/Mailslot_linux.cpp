// The channel on Linux: an abstract-namespace Unix datagram socket whose address is a NUL
// followed by the channel name's text. The name lives exactly as long as the server's
// socket, a second bind of it fails, anyone on the machine may send, and datagrams arrive
// whole and in order.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <system_error>

#include "mailslot/Mailslot.h"

namespace vel {
namespace {

std::string SystemMessage(int error) {
  char buffer[256];
  // GNU strerror_r returns the text, which need not be in buffer.
  return std::string(strerror_r(error, buffer, sizeof buffer));
}

// The abstract address of a channel name; false when the name does not fit.
bool MakeAddress(const std::string& name, sockaddr_un& address, socklen_t& length) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (name.size() + 1 > sizeof address.sun_path) return false;
  address.sun_path[0] = '\0';
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

std::string LocalChannelName(const std::string& serverId) {
  return "\\\\.\\mailslot\\" + serverId;
}

// True when the formed server name means this machine: "\\." or "\\" + its host name.
bool IsLocalServerName(const std::string& serverName) {
  if (serverName == "\\\\.") return true;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  std::string formed = FormMailslotServerName(host);
  return formed == serverName;
}

// Waits until the socket can take another datagram, at most timeoutMs.
bool WaitWritable(int fd, int timeoutMs) {
  pollfd p{fd, POLLOUT, 0};
  for (;;) {
    const int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    return r > 0 && (p.revents & POLLOUT) != 0;
  }
}

// How long a write waits for room in a full receiving queue before it gives up. A service
// that is running but not reading must not hold up the application's reporting thread.
constexpr int kFullQueueWaitMs = 1000;

int Fd(TOsHandle handle) {
  return static_cast<int>(OsHandleValue(handle));
}

}  // namespace

bool TVelMailslot::CloseOsHandle(TOsHandle handle, std::string& reason) {
  if (close(Fd(handle)) == 0) return true;
  const int error = errno;
  // Linux releases the descriptor even when close is interrupted.
  if (error == EINTR) return true;
  reason = SystemMessage(error);
  return false;
}

void TVelMailslotServer::DoOpen() {
  FLastError.clear();
  sockaddr_un address;
  socklen_t length = 0;
  if (!MakeAddress(ChannelName(), address, length)) {
    FHandle = TOsHandle::Invalid;
    FIsOpen = false;
    SetOpenError(SystemMessage(ENAMETOOLONG));
    return;
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int error = errno;
    FHandle = TOsHandle::Invalid;
    FIsOpen = false;
    SetOpenError(SystemMessage(error));
    return;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int error = errno;
    close(fd);
    FHandle = TOsHandle::Invalid;
    FIsOpen = false;
    SetOpenError(SystemMessage(error));
    return;
  }
  {
    std::lock_guard queueLock(FQueueLock);
    FQueue.clear();
  }
  FHandle = MakeOsHandle(fd);
  StartReceiver();
  OpenSucceeded(MakeOsHandle(fd));
}

void TVelMailslotServer::StartReceiver() {
  StopReceiver();
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Without a wake-up handle (or a thread) the queue is still filled whenever it is asked
  // about; only the system's own small queue then limits what may wait.
  if (wake < 0) return;
  FWakeHandle = MakeOsHandle(wake);
  const TOsHandle handle = FHandle;
  try {
    FReceiver = std::thread([this, handle, wake] {
      pollfd fds[2] = {{Fd(handle), POLLIN, 0}, {wake, POLLIN, 0}};
      for (;;) {
        const int r = poll(fds, 2, -1);
        if (r < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return;
        if (fds[0].revents & POLLIN) {
          std::lock_guard queueLock(FQueueLock);
          Drain(handle);
        }
      }
    });
  } catch (const std::system_error&) {
    close(wake);
    FWakeHandle = TOsHandle::Invalid;
  }
}

void TVelMailslotServer::StopReceiver() {
  if (FWakeHandle != TOsHandle::Invalid) {
    const uint64_t one = 1;
    ssize_t r;
    do {
      r = write(Fd(FWakeHandle), &one, sizeof one);
    } while (r < 0 && errno == EINTR);
  }
  if (FReceiver.joinable()) FReceiver.join();
  if (FWakeHandle != TOsHandle::Invalid) {
    close(Fd(FWakeHandle));
    FWakeHandle = TOsHandle::Invalid;
  }
}

void TVelMailslotServer::Drain(TOsHandle handle) {
  if (handle == TOsHandle::Invalid) return;
  // One byte more than accepted so that an oversized datagram is told apart; MSG_TRUNC
  // reports the datagram's real length anyway.
  std::vector<uint8_t> buffer(static_cast<size_t>(FMaxMessageSize) + 1);
  for (;;) {
    const ssize_t n = recv(Fd(handle), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: nothing more waits; anything else: the next call tries again
    }
    if (static_cast<size_t>(n) > FMaxMessageSize || FQueue.size() >= MaxQueuedMessages) {
      ++FDropped;
      continue;
    }
    FQueue.emplace_back(buffer.begin(), buffer.begin() + n);
  }
}

void TVelMailslotClient::DoOpen() {
  FLastError.clear();
  FHandle = TOsHandle::Invalid;
  FIsOpen = false;
  if (!IsLocalServerName(FServerName)) {
    SetOpenError("Remote mailslots are not supported here");
    return;
  }
  sockaddr_un address;
  socklen_t length = 0;
  if (!MakeAddress(LocalChannelName(FServerId), address, length)) {
    SetOpenError(SystemMessage(ENAMETOOLONG));
    return;
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetOpenError(SystemMessage(errno));
    return;
  }
  int r;
  do {
    r = connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    const int error = errno;
    close(fd);
    SetOpenError(SystemMessage(error));
    return;
  }
  OpenSucceeded(MakeOsHandle(fd));
}

int TVelMailslotClient::Write(const void* buffer, int32_t count) {
  std::lock_guard lock(FLock);
  if (!FIsOpen && FAutoOpen) DoOpen();
  if (!FIsOpen) return -1;
  if (count < 0 || count > MaxWriteSize) return -1;
  // Several writers may compete for room freed in a full queue, so wait again after losing
  // that race, but never longer than kFullQueueWaitMs in all.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kFullQueueWaitMs);
  for (;;) {
    const ssize_t n =
        send(Fd(FHandle), buffer, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() > 0 && WaitWritable(Fd(FHandle), static_cast<int>(left.count()))) continue;
      return -1;
    }
    if (error == ECONNREFUSED || error == ENOTCONN || error == ECONNRESET) {
      // The server went away: this handle can never reach a later server of the same
      // name, so drop it and let the next write (with AutoOpen) or Open look again.
      close(Fd(FHandle));
      FHandle = TOsHandle::Invalid;
      FIsOpen = false;
    }
    return -1;
  }
}

}  // namespace vel
