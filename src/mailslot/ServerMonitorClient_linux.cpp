#include <ctime>
#include <string>

#include "common/LocaleDateTime.h"
#include "mailslot/ServerMonitorClient.h"

namespace vel {

std::string FormatReportDateTime(const std::optional<TVelTimePoint>& value) {
  std::tm tm{};
  if (!value) {
    // The zero moment of the date-time scale the report's readers know: Saturday,
    // 30 December 1899, midnight.
    tm.tm_year = -1;
    tm.tm_mon = 11;
    tm.tm_mday = 30;
    tm.tm_wday = 6;
    tm.tm_yday = 363;
    tm.tm_isdst = -1;
    return LocaleShortDate(tm);
  }
  const auto since = value->time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
  const std::time_t t = static_cast<std::time_t>(seconds.count());
  localtime_r(&t, &tm);
  const bool midnight = tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0 &&
                        std::chrono::floor<std::chrono::milliseconds>(since - seconds).count() == 0;
  if (midnight) return LocaleShortDate(tm);
  // In UTF-8 whatever the locale's character set: the report is read as UTF-8.
  return LocaleShortDate(tm) + " " + LocaleLongTime(tm);
}

}  // namespace vel
