#include "applog/AppLog.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>

#include "applog/AppLogPlatform.h"
#include "common/AppInfo.h"
#include "common/LocaleDateTime.h"
#include "common/Utf.h"

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

void EchoToConsole(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::string ApplicationFullFileName() {
  return TVelAppInfo::GetAppFullFileName();
}

std::string ApplicationName() {
  std::string name = TVelAppInfo::GetAppName();
  return name.empty() ? std::string("velservermonitor") : name;
}

void SetLogFolder(std::string folder) {
  std::lock_guard lock(StateLock());
  State().folder = std::move(folder);
  State().folderSet = true;
}

std::string LogFolder() {
  std::lock_guard lock(StateLock());
  if (!State().folderSet) {
    State().folder = TVelAppInfo::GetAppPath();
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
  const applog_detail::LocalNow now = applog_detail::GetLocalNow();
  const bool midnight =
      now.tm.tm_hour == 0 && now.tm.tm_min == 0 && now.tm.tm_sec == 0 && now.millisecond == 0;
  if (midnight) return LocaleShortDate(now.tm);
  return LocaleShortDate(now.tm) + " " + LocaleLongTime(now.tm);
}

bool LogToEventLog(const std::string& text) {
  bool taken = false;
  bool echo = false;
  try {
    std::shared_ptr<TEventLogSink> sink;
    {
      std::lock_guard lock(StateLock());
      sink = State().sink;
      echo = State().echo;
    }
    if (echo && !t_inAppLog) EchoToConsole(text + (text.ends_with('\n') ? "" : "\n"));
    if (sink) {
      (*sink)(text);
      taken = true;
    } else {
      taken = applog_detail::WriteSystemLog(ApplicationName(), text);
    }
  } catch (...) {
    taken = false;
  }
  // The console run has shown the text already.
  if (!taken && !echo) {
    try {
      applog_detail::WriteLastResort(text);
    } catch (...) {
      // Nothing is left to report to.
    }
  }
  return taken;
}

namespace applog_detail {

std::vector<std::u16string> SplitForEventLog(std::u16string_view text, std::size_t limit) {
  if (text.size() <= limit) return {std::u16string(text)};
  // Room for the mark "(part i of n) " with numbers of up to nine digits.
  const std::size_t room = limit > 64 ? limit - 32 : limit / 2 + 1;
  std::vector<std::u16string_view> pieces;
  while (!text.empty()) {
    std::size_t n = std::min(room, text.size());
    const char16_t last = text[n - 1];
    if (n < text.size() && n > 1 && last >= 0xD800 && last <= 0xDBFF) --n;  // keep the pair
    pieces.push_back(text.substr(0, n));
    text.remove_prefix(n);
  }
  std::vector<std::u16string> parts;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::string mark =
        "(part " + std::to_string(i + 1) + " of " + std::to_string(pieces.size()) + ") ";
    parts.push_back(std::u16string(mark.begin(), mark.end()) + std::u16string(pieces[i]));
  }
  return parts;
}

}  // namespace applog_detail

void AppendTextToFile(const std::string& fileName, const std::string& text) {
  bool written = false;
  try {
    written = applog_detail::AppendBytesToFile(fileName, Utf8ToUtf16LEBytes(text));
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
