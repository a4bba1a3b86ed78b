#include "common/NumberLocale.h"
#include "common/WinApi_win32.h"

namespace vel {

namespace {
// The user's regional setting; fallback when the system has none.
std::string UserLocaleText(LCTYPE type, const char* fallback) {
  wchar_t buffer[16];
  const int n = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, buffer, 16);
  if (n <= 1) return fallback;  // n counts the terminator
  return win::Narrow(std::wstring_view(buffer, static_cast<std::size_t>(n - 1)));
}
}  // namespace

std::string LocaleThousandSeparator() {
  return UserLocaleText(LOCALE_STHOUSAND, ",");
}

std::string LocaleDecimalSeparator() {
  return UserLocaleText(LOCALE_SDECIMAL, ".");
}

}  // namespace vel
