#include <chrono>
#include <string>

#include "common/WinApi_win32.h"
#include "mailslot/ServerMonitorClient.h"

namespace vel {
namespace {

using win::Narrow;

// The user's short date format.
std::string ShortDate(const SYSTEMTIME& st) {
  wchar_t buffer[128];
  if (GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buffer, 128) == 0)
    return std::string();
  return Narrow(buffer);
}

// The user's long time format.
std::string LongTime(const SYSTEMTIME& st) {
  wchar_t buffer[128];
  if (GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, buffer, 128) == 0) return std::string();
  return Narrow(buffer);
}

}  // namespace

std::string FormatReportDateTime(const std::optional<TVelTimePoint>& value) {
  SYSTEMTIME local{};
  if (!value) {
    // The zero moment of the date-time scale the report's readers know: Saturday,
    // 30 December 1899, midnight.
    local.wYear = 1899;
    local.wMonth = 12;
    local.wDay = 30;
    local.wDayOfWeek = 6;
    return ShortDate(local);
  }
  // 100-nanosecond steps since 1 January 1601 (UTC), the system's own time scale.
  constexpr int64_t kUnixEpochIn1601Ticks = 116444736000000000LL;
  const int64_t ticks =
      std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
          value->time_since_epoch())
          .count() +
      kUnixEpochIn1601Ticks;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  SYSTEMTIME utc{};
  if (ticks < 0 || !FileTimeToSystemTime(&ft, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return std::string();
  }
  const bool midnight =
      local.wHour == 0 && local.wMinute == 0 && local.wSecond == 0 && local.wMilliseconds == 0;
  if (midnight) return ShortDate(local);
  return ShortDate(local) + " " + LongTime(local);
}

}  // namespace vel
