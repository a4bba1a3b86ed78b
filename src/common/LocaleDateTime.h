#pragma once

// Dates and times in the user's regional settings, always as UTF-8: the C runtime's own
// formatting answers in the locale's encoding (Windows: the ANSI code page; Linux: the
// locale's character set), which a chat refuses and the UTF-16 log would garble.

#include <ctime>
#include <string>

namespace vel {

// The short date: "%x" of the process locale (the process calls setlocale(LC_ALL, "")); on
// Windows the user's short date format. "" when the system cannot format it.
std::string LocaleShortDate(const std::tm& tm);

// The time of day: "%X" of the process locale; on Windows the user's long time format.
std::string LocaleLongTime(const std::tm& tm);

}  // namespace vel
