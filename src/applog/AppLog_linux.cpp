#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "applog/AppLogPlatform.h"

namespace vel::applog_detail {

LocalNow GetLocalNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return LocalNow{tm, static_cast<int>(ms)};
}

bool AppendBytesToFile(const std::string& fileName, const std::string& bytes) {
  if (fileName.empty()) return false;
  int fd;
  do {
    fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0640);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(fd) != 0 && errno != EINTR) ok = false;
  return ok;
}

bool WriteSystemLog(const std::string& ident, const std::string& text) {
  // openlog keeps the pointer, so the ident must live as long as the process.
  static std::string s_ident;
  static std::once_flag s_once;
  std::call_once(s_once, [&] {
    s_ident = ident;
    ::openlog(s_ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
  });
  // A line handed over from the file writer still carries its CR LF; the journal wants none.
  std::string msg = text;
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r')) msg.pop_back();
  ::syslog(LOG_ERR, "%s", msg.c_str());
  return true;  // syslog tells nothing of a failure
}

void WriteLastResort(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  if (!text.ends_with('\n')) std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace vel::applog_detail
