// Report dates on Windows: the user's short date and long time formats.
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

TEST(ReportDateTimeWin32, DateAloneAtMidnightElseDateSpaceAndTime) {
  const std::string zero = FormatReportDateTime(std::nullopt);
  EXPECT_NE(zero.find("1899"), std::string::npos) << zero;
  EXPECT_NE(zero.find("30"), std::string::npos) << zero;
  EXPECT_EQ(zero.find(':'), std::string::npos) << zero;

  const std::string date = FormatReportDateTime(LocalTime(2024, 3, 5, 0, 0, 0));
  EXPECT_NE(date.find("2024"), std::string::npos) << date;
  EXPECT_EQ(date.find(':'), std::string::npos) << date;
  for (const auto& [moment, minute, second] :
       {std::tuple{LocalTime(2024, 3, 5, 14, 7, 9), "07", "09"},
        std::tuple{LocalTime(2024, 3, 5, 0, 0, 0) + 1ms, "00", "00"}}) {
    const std::string text = FormatReportDateTime(moment);
    ASSERT_EQ(text.rfind(date + " ", 0), 0u) << text;
    const std::string time = text.substr(date.size() + 1);
    EXPECT_NE(time.find(std::string(":") + minute + ":" + second), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace vel
