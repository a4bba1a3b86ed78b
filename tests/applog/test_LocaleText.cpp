// Dates and times that the service writes to its log and sends to the chats are UTF-8 whatever
// the encoding of the process locale. The CTest entry applog.NonUtf8Locale runs this program
// once more under a Greek locale whose encoding is not UTF-8 (ISO-8859-7 on Linux, code page
// 1253 under Wine), where the afternoon word makes the time non-ASCII.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

#include "applog/AppLog.h"
#include "common/LocaleDateTime.h"
#include "common/Utf.h"

namespace vel {
namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char hex[8];
    std::snprintf(hex, sizeof hex, c < 0x80 ? "%c" : "\\x%02X", c);
    out += hex;
  }
  return out;
}

TEST(LocaleText, DatesAndTimesAreUtf8InTheProcessLocale) {
  std::setlocale(LC_ALL, "");  // as the service does
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 10;
  tm.tm_wday = 4;
  tm.tm_hour = 15;
  tm.tm_min = 4;
  tm.tm_sec = 5;
  const std::string date = LocaleShortDate(tm);
  const std::string time = LocaleLongTime(tm);
  const std::string stamp = FormatLogTimestamp();
  std::setlocale(LC_ALL, "C");
  for (const std::string& text : {date, time, stamp}) {
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(IsValidUtf8(text)) << Escaped(text);
  }
  EXPECT_NE(date.find("10"), std::string::npos) << date;
  EXPECT_NE(time.find("04"), std::string::npos) << time;
  if (std::getenv("VEL_EXPECT_LOCALE_WORDS") != nullptr) {
    // Proof that the locale was in force: the afternoon word is not ASCII.
    bool nonAscii = false;
    for (unsigned char c : time) nonAscii = nonAscii || c >= 0x80;
    EXPECT_TRUE(nonAscii) << "the Greek locale did not take effect: " << time;
  }
}

}  // namespace
}  // namespace vel
