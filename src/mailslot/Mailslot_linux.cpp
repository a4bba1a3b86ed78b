// The channel on Linux, bound twice by the server:
// - a socket file named by the channel name (ASCII letters in lower case) in the service's
//   runtime folder, which only the service's user may create files in, so no other user can
//   take the name; senders try it first;
// - an abstract-namespace Unix datagram socket whose address is a NUL followed by the
//   channel name's text, ASCII letters in lower case, which senders that know nothing of
//   the folder reach. Any process may bind an abstract name first.
// Either may be open alone. An abstract name lives exactly as long as its socket, a second
// bind of it fails, anyone on the machine may send, and datagrams arrive whole and in order.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "mailslot/Mailslot.h"

namespace vel {
namespace {

std::string SystemMessage(int error) {
  char buffer[256];
  // GNU strerror_r returns the text, which need not be in buffer.
  return std::string(strerror_r(error, buffer, sizeof buffer));
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The abstract address of a channel name; false when the name does not fit. Channel names
// compare without letter case, so the address holds the name with its ASCII letters in lower
// case and "Vel_ServerMonitor" reaches "vel_servermonitor".
bool MakeAddress(const std::string& name, sockaddr_un& address, socklen_t& length) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (name.size() + 1 > sizeof address.sun_path) return false;
  address.sun_path[0] = '\0';
  const std::string lower = LowerAscii(name);
  std::memcpy(address.sun_path + 1, lower.data(), lower.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

// The address of a socket file; false when the path does not fit.
bool MakeFileAddress(const std::string& path, sockaddr_un& address, socklen_t& length) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() + 1 > sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

// The folder of the service's socket file: the unit's runtime folder, or another one for a
// trial run next to the installed service.
std::string StatusFolder() {
  const char* folder = std::getenv("VEL_STATUS_DIR");
  return folder && *folder ? std::string(folder) : std::string("/run/velservermonitor");
}

// The socket file of a channel; empty when the name cannot name a file of that folder.
std::string FolderSocketPath(const std::string& serverId) {
  if (serverId.empty() || serverId == "." || serverId == ".." ||
      serverId.find('/') != std::string::npos || serverId.find('\0') != std::string::npos)
    return {};
  return StatusFolder() + "/" + LowerAscii(serverId);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int ConnectTo(const sockaddr_un& address, socklen_t length) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  do {
    r = connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  } while (r != 0 && errno == EINTR);
  if (r == 0) return fd;
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

// Binds a datagram socket to address: the descriptor, or -1 with errno set.
int BindTo(const sockaddr_un& address, socklen_t length) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

// Binds the channel's socket file in the status folder. -1 with an empty reason when the
// folder does not exist (no such endpoint is offered then), with the reason otherwise.
int BindFolderSocket(const std::string& serverId, std::string& path, uint64_t& inode,
                     std::string& reason) {
  reason.clear();
  if (!IsFolder(StatusFolder())) return -1;
  path = FolderSocketPath(serverId);
  sockaddr_un address;
  socklen_t length = 0;
  if (path.empty()) {
    reason = "\"" + serverId + "\" cannot name a socket file in " + StatusFolder();
    return -1;
  }
  if (!MakeFileAddress(path, address, length)) {
    reason = path + ": " + SystemMessage(ENAMETOOLONG);
    return -1;
  }
  int fd = BindTo(address, length);
  if (fd < 0 && errno == EADDRINUSE) {
    // Left behind by a service that ended without closing, or held by one still running.
    const int probe = ConnectTo(address, length);
    if (probe >= 0) {
      close(probe);
      reason = path + ": in use by another running instance of the service";
      return -1;
    }
    if (errno == ECONNREFUSED) {
      unlink(path.c_str());
      fd = BindTo(address, length);
    } else {
      errno = EADDRINUSE;
    }
  }
  if (fd < 0) {
    reason = path + ": " + SystemMessage(errno);
    return -1;
  }
  // Every user's applications send here; the folder decides who may create the name.
  struct stat st;
  if (chmod(path.c_str(), 0666) != 0 || stat(path.c_str(), &st) != 0) {
    reason = path + ": " + SystemMessage(errno);
    close(fd);
    unlink(path.c_str());
    return -1;
  }
  inode = static_cast<uint64_t>(st.st_ino);
  return fd;
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
  const bool wasOpen = FIsOpen;
  bool opened = false;
  std::vector<std::string> problems;
  if (FFolderHandle == TOsHandle::Invalid) {
    std::string reason;
    const int fd = BindFolderSocket(FServerId, FFolderSocketPath, FFolderSocketInode, reason);
    if (fd >= 0) {
      FFolderHandle = MakeOsHandle(fd);
      opened = true;
    } else if (!reason.empty()) {
      problems.push_back(reason);
    }
  }
  if (FHandle == TOsHandle::Invalid) {
    sockaddr_un address;
    socklen_t length = 0;
    const std::string name = ChannelName();
    if (!MakeAddress(name, address, length)) {
      problems.push_back(name + ": " + SystemMessage(ENAMETOOLONG));
    } else if (const int fd = BindTo(address, length); fd >= 0) {
      FHandle = MakeOsHandle(fd);
      opened = true;
    } else if (errno == EADDRINUSE) {
      problems.push_back(name + ": the name is held by another process");
    } else {
      problems.push_back(name + ": " + SystemMessage(errno));
    }
  }
  FLastError.clear();
  if (!problems.empty()) {
    std::string reason;
    for (const std::string& p : problems) reason += (reason.empty() ? "" : "; ") + p;
    SetOpenError(reason);
  }
  if (!opened) return;
  if (!wasOpen) {
    std::lock_guard queueLock(FQueueLock);
    FQueue.clear();
  }
  // The receiver watches the endpoints open when it starts.
  StartReceiver();
  if (!wasOpen) OpenSucceeded(FHandle);
}

void TVelMailslotServer::CloseFolderEndpoint() {
  if (FFolderHandle == TOsHandle::Invalid) return;
  close(Fd(FFolderHandle));
  FFolderHandle = TOsHandle::Invalid;
  // A later service may have put its own socket there since.
  struct stat st;
  if (stat(FFolderSocketPath.c_str(), &st) == 0 &&
      static_cast<uint64_t>(st.st_ino) == FFolderSocketInode)
    unlink(FFolderSocketPath.c_str());
}

void TVelMailslotServer::StartReceiver() {
  StopReceiver();
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Without a wake-up handle (or a thread) the queue is still filled whenever it is asked
  // about; only the system's own small queue then limits what may wait.
  if (wake < 0) return;
  FWakeHandle = MakeOsHandle(wake);
  const TOsHandle handles[2] = {FHandle, FFolderHandle};
  try {
    FReceiver = std::thread([this, handles, wake] {
      // poll skips the entry of an endpoint that is not open (a negative descriptor).
      pollfd fds[3] = {{Fd(handles[0]), POLLIN, 0}, {Fd(handles[1]), POLLIN, 0}, {wake, POLLIN, 0}};
      for (;;) {
        const int r = poll(fds, 3, -1);
        if (r < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[2].revents != 0) return;
        for (int i = 0; i < 2; ++i) {
          if (fds[i].revents & (POLLERR | POLLNVAL)) return;
          if (fds[i].revents & POLLIN) {
            std::lock_guard queueLock(FQueueLock);
            Drain(handles[i]);
          }
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
  // The service's own socket file first: only the service's user can have made it.
  const std::string path = FolderSocketPath(FServerId);
  if (!path.empty() && MakeFileAddress(path, address, length)) {
    if (const int fd = ConnectTo(address, length); fd >= 0) {
      OpenSucceeded(MakeOsHandle(fd));
      return;
    }
  }
  if (!MakeAddress(LocalChannelName(FServerId), address, length)) {
    SetOpenError(SystemMessage(ENAMETOOLONG));
    return;
  }
  const int fd = ConnectTo(address, length);
  if (fd < 0) {
    SetOpenError(SystemMessage(errno));
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
