// Report dates on Linux: the locale's %x and %X, in UTF-8.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

#include "common/Utf.h"
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

// mailslot.ReportDateTimeNonUtf8Locale runs this under a Greek locale in ISO-8859-7, where
// the afternoon word is not ASCII: the report still carries UTF-8.
TEST(ReportDateTime, TextIsUtf8InTheProcessLocale) {
  std::setlocale(LC_ALL, "");
  const std::string text = FormatReportDateTime(LocalTime(2024, 3, 5, 14, 7, 9));
  std::setlocale(LC_ALL, "C");
  EXPECT_TRUE(IsValidUtf8(text)) << text;
  if (std::getenv("VEL_EXPECT_LOCALE_WORDS") != nullptr) {
    bool nonAscii = false;
    for (unsigned char c : text) nonAscii = nonAscii || c >= 0x80;
    EXPECT_TRUE(nonAscii) << "the Greek locale did not take effect: " << text;
  }
}

}  // namespace
}  // namespace vel
