#include <cstdio>

#include "applog/AppLogPlatform.h"
#include "applog/EventSource_win32.h"
#include "common/WinApi_win32.h"

namespace vel::applog_detail {

LocalNow GetLocalNow() {
  SYSTEMTIME st{};
  ::GetLocalTime(&st);
  std::tm tm{};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_wday = st.wDayOfWeek;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  tm.tm_isdst = -1;
  return LocalNow{tm, st.wMilliseconds};
}

// An existing file is opened for writing with no sharing; a missing one is created with read
// sharing only. Then the bytes go after its last byte; one open and one close.
bool AppendBytesToFile(const std::string& fileName, const std::string& bytes) {
  if (fileName.empty()) return false;
  const std::wstring name = win::Wide(fileName);
  win::HandleCloser file;
  for (int attempt = 0; attempt < 2 && !file.valid(); ++attempt) {
    file.h = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.valid() || ::GetLastError() != ERROR_FILE_NOT_FOUND) break;
    file.h = ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    // Created by someone else meanwhile: open the existing file after all.
    if (!file.valid() && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (!file.valid()) return false;
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file.h, zero, nullptr, FILE_END)) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD n = 0;
    const std::size_t left = bytes.size() - done;
    if (!::WriteFile(file.h, bytes.data() + done,
                     static_cast<DWORD>(left > 0x40000000u ? 0x40000000u : left), &n, nullptr) ||
        n == 0)
      return false;
    done += n;
  }
  return ::CloseHandle(file.release()) != 0;
}

// Error events in the Windows event log under the application's source, registered first
// when it is missing (so that the Event Viewer shows the text, through the message table of
// this module). A text longer than one insertion string may hold goes into several events.
bool WriteSystemLog(const std::string& ident, const std::string& text) {
  RegisterEventSourceWhenMissing(ident);
  const HANDLE source = ::RegisterEventSourceW(nullptr, win::Wide(ident).c_str());
  if (!source) return false;
  bool reported = true;
  for (const std::u16string& part : SplitForEventLog(Utf8ToUtf16(text), kMaxEventLogText)) {
    LPCWSTR strings[1] = {reinterpret_cast<LPCWSTR>(part.c_str())};
    reported = ::ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, kEventTextId, nullptr, 1, 0, strings,
                              nullptr) != FALSE;
    if (!reported) break;
  }
  ::DeregisterEventSource(source);  // the entries are written whatever it answers
  return reported;
}

void WriteLastResort(const std::string& text) {
  const std::string line = text.ends_with('\n') ? text : text + "\n";
  ::OutputDebugStringW(win::Wide(line).c_str());
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace vel::applog_detail
