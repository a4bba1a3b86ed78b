#pragma once

#include <string>

namespace vel::test {

// Switches the process to a locale whose decimal separator is a comma (de_DE.UTF-8), as the
// service does when its environment names one. When the system has no such locale, it is
// made once with localedef under the build folder and found through LOCPATH. Create it before
// any thread starts; the C locale is back when it goes.
class DecimalCommaLocale {
 public:
  DecimalCommaLocale();
  ~DecimalCommaLocale();
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

  bool Active() const { return why_.empty(); }
  // Why no such locale could be had (for a skip message); empty when Active().
  const std::string& Why() const { return why_; }

 private:
  std::string why_;
};

// True where a locale that cannot be had fails the test rather than skips it: in CI (the CI
// variable set), whose set-up installs the locale data.
bool LocaleRequired();

}  // namespace vel::test

// Skips the test when the locale could not be had, or fails it where it must be had.
#define VEL_REQUIRE_LOCALE(locale)                                 \
  do {                                                             \
    if (!(locale).Active()) {                                      \
      if (::vel::test::LocaleRequired()) FAIL() << (locale).Why(); \
      GTEST_SKIP() << (locale).Why();                              \
    }                                                              \
  } while (false)
