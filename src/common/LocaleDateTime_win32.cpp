#include "common/LocaleDateTime.h"
#include "common/WinApi_win32.h"

namespace vel {

namespace {

SYSTEMTIME ToSystemTime(const std::tm& tm) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(tm.tm_year + 1900);
  st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st.wDay = static_cast<WORD>(tm.tm_mday);
  st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st.wHour = static_cast<WORD>(tm.tm_hour);
  st.wMinute = static_cast<WORD>(tm.tm_min);
  st.wSecond = static_cast<WORD>(tm.tm_sec);
  return st;
}

std::string Text(const wchar_t* buffer, int n) {
  // n counts the terminator; 0 is a failure.
  return n > 1 ? win::Narrow(std::wstring_view(buffer, static_cast<std::size_t>(n - 1)))
               : std::string();
}

}  // namespace

std::string LocaleShortDate(const std::tm& tm) {
  const SYSTEMTIME st = ToSystemTime(tm);
  wchar_t buffer[128];
  return Text(buffer, ::GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr,
                                        buffer, 128, nullptr));
}

std::string LocaleLongTime(const std::tm& tm) {
  const SYSTEMTIME st = ToSystemTime(tm);
  wchar_t buffer[128];
  return Text(buffer, ::GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, buffer, 128));
}

}  // namespace vel
