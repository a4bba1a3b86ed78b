#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "service/ServicePlatform.h"

extern char** environ;

namespace vel::host_detail {

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.lexically_normal().string();
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, unsigned mode,
                         std::string& error) {
  auto slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string tmp = (slash == std::string::npos ? std::string() : dir) + "." + name + ".XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  if (ok && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) ok = false;
  if (ok && ::fsync(fd) != 0) ok = false;
  if (!ok) error = std::strerror(errno);
  if (::close(fd) != 0 && ok && errno != EINTR) {
    ok = false;
    error = std::strerror(errno);
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = std::strerror(errno);
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

bool RemoveFile(const std::string& path, std::string& error) {
  if (::unlink(path.c_str()) == 0) return true;
  error = std::strerror(errno);
  return false;
}

bool CreateFolders(const std::string& path, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (!ec && std::filesystem::is_directory(path, ec)) return true;
  error = ec ? ec.message() : std::string(std::strerror(ENOTDIR));
  return false;
}

std::string SystemConfigFile() {
  return "/etc/velservermonitor/velservermonitor.ini";
}

bool SystemdRunning() {
  // The check sd_booted() makes: systemd creates this folder when it is PID 1.
  struct stat st {};
  return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

int RunProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // The child must not inherit the stop signals blocked for the service loop.
  posix_spawnattr_t attr;
  ::posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attr, &none);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], nullptr, &attr, args.data(), environ);
  ::posix_spawnattr_destroy(&attr);
  if (rc != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool NotifyServiceManager(const std::string& state) {
  const char* env = std::getenv("NOTIFY_SOCKET");
  if (!env || !*env) return false;
  std::string name = env;
  if (name.front() != '/' && name.front() != '@') return false;

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (name.size() > sizeof(addr.sun_path)) return false;
  std::memcpy(addr.sun_path, name.data(), name.size());
  if (name.front() == '@') addr.sun_path[0] = '\0';  // abstract namespace
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (name.front() == '/') ++len;  // the path's terminating NUL

  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&addr), len);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == static_cast<ssize_t>(state.size());
}

namespace {
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

int WaitForStopSignal() {
  sigset_t set = StopSignals();
  for (;;) {
    int sig = 0;
    if (::sigwait(&set, &sig) == 0 && (sig == SIGTERM || sig == SIGINT)) return sig;
  }
}

void ExitProcessNow(int code) {
  ::_exit(code);
}

}  // namespace vel::host_detail
