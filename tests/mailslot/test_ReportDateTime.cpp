// Report dates on Linux: the locale's %x and %X.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>

#include "mailslot/ServerMonitorClient.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

TVelTimePoint LocalTime(int year, int month, int day, int h, int m, int s) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

TEST(ReportDateTime, DateTextsFollowTheLocaleAndTheZeroDate) {
  // The test program runs in the C locale: %x is mm/dd/yy and %X is HH:MM:SS.
  EXPECT_EQ(FormatReportDateTime(std::nullopt), "12/30/99");
  EXPECT_EQ(FormatReportDateTime(LocalTime(2024, 3, 5, 14, 7, 9)), "03/05/24 14:07:09");
  EXPECT_EQ(FormatReportDateTime(LocalTime(2024, 3, 5, 0, 0, 0)), "03/05/24");
  EXPECT_EQ(FormatReportDateTime(LocalTime(2024, 3, 5, 0, 0, 0) + 1ms), "03/05/24 00:00:00");
  EXPECT_EQ(FormatReportDateTime(LocalTime(2024, 3, 5, 0, 0, 1)), "03/05/24 00:00:01");
}

}  // namespace
}  // namespace vel
