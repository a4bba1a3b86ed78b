#include "service/AppLog.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "service/AppLogPlatform.h"

namespace vel {

namespace {

// Each of these guards one value; the log lock is the one that serialises whole lines.
std::mutex& LogLock() {
  static std::mutex m;
  return m;
}

std::mutex& StateLock() {
  static std::mutex m;
  return m;
}

struct LogState {
  std::string folder;
  bool folderSet = false;
  bool echo = false;
  std::shared_ptr<TEventLogSink> sink;
};

LogState& State() {
  static LogState s;
  return s;
}

// Set while AppendAppLog falls back to the system log, so the console sees the line once.
thread_local bool t_inAppLog = false;

std::string FolderOf(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return "./";
  return path.substr(0, pos + 1);
}

std::string NameWithoutExtension(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  auto dot = name.find_last_of('.');
  if (dot != std::string::npos && dot != 0) name.resize(dot);
  return name;
}

// UTF-8 to UTF-16LE bytes. Malformed sequences become U+FFFD so a bad byte never costs the
// rest of the line.
std::string Utf8ToUtf16LeBytes(const std::string& s) {
  std::string out;
  out.reserve(s.size() * 2);
  auto put = [&out](unsigned cu) {
    out.push_back(static_cast<char>(cu & 0xFF));
    out.push_back(static_cast<char>((cu >> 8) & 0xFF));
  };
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    unsigned cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      len = 4;
    } else {
      put(0xFFFD);
      ++i;
      continue;
    }
    bool ok = i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
               (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
      ok = false;
    if (!ok) {
      put(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
    i += len;
  }
  return out;
}

void EchoToConsole(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::string ApplicationFullFileName() {
  static const std::string path = applog_detail::ExecutablePath();
  return path;
}

std::string ApplicationName() {
  static const std::string name = [] {
    std::string exe = ApplicationFullFileName();
    return exe.empty() ? std::string("velservermonitor") : NameWithoutExtension(exe);
  }();
  return name;
}

void SetLogFolder(std::string folder) {
  std::lock_guard lock(StateLock());
  State().folder = std::move(folder);
  State().folderSet = true;
}

std::string LogFolder() {
  std::lock_guard lock(StateLock());
  if (!State().folderSet) {
    State().folder = FolderOf(ApplicationFullFileName());
    State().folderSet = true;
  }
  return State().folder;
}

std::string AppLogFileName(const std::string& extension) {
  return LogFolder() + ApplicationName() + "." + extension;
}

void SetConsoleEcho(bool echo) {
  std::lock_guard lock(StateLock());
  State().echo = echo;
}

bool ConsoleEcho() {
  std::lock_guard lock(StateLock());
  return State().echo;
}

void SetEventLogSink(TEventLogSink sink) {
  std::lock_guard lock(StateLock());
  State().sink = sink ? std::make_shared<TEventLogSink>(std::move(sink)) : nullptr;
}

std::string FormatLogTimestamp() {
  applog_detail::LocalNow now = applog_detail::GetLocalNow();
  char date[128] = {0};
  char time[128] = {0};
  std::strftime(date, sizeof date, "%x", &now.tm);
  bool midnight =
      now.tm.tm_hour == 0 && now.tm.tm_min == 0 && now.tm.tm_sec == 0 && now.millisecond == 0;
  if (midnight) return date;
  std::strftime(time, sizeof time, "%X", &now.tm);
  return std::string(date) + " " + time;
}

void LogToEventLog(const std::string& text) {
  try {
    std::shared_ptr<TEventLogSink> sink;
    bool echo;
    {
      std::lock_guard lock(StateLock());
      sink = State().sink;
      echo = State().echo;
    }
    if (echo && !t_inAppLog) EchoToConsole(text + (text.ends_with('\n') ? "" : "\n"));
    if (sink)
      (*sink)(text);
    else
      applog_detail::WriteSystemLog(ApplicationName(), text);
  } catch (...) {
    // The last resort has nowhere left to report to.
  }
}

void AppendTextToFile(const std::string& fileName, const std::string& text) {
  bool written = false;
  try {
    written = applog_detail::AppendBytesToFile(fileName, Utf8ToUtf16LeBytes(text));
  } catch (...) {
    written = false;
  }
  if (!written) LogToEventLog(text);
}

void AppendAppLog(const std::string& text, const std::string& extension) {
  try {
    std::lock_guard lock(LogLock());
    struct InLog {
      InLog() { t_inAppLog = true; }
      ~InLog() { t_inAppLog = false; }
    } inLog;
    std::string line = FormatLogTimestamp() + " " + text + "\r\n";
    if (ConsoleEcho()) EchoToConsole(line.substr(0, line.size() - 2) + "\n");
    AppendTextToFile(AppLogFileName(extension), line);
  } catch (...) {
    // Formatting can only fail for want of memory; the line is lost then.
  }
}

}  // namespace vel
