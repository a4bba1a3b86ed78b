#include "support/DecimalCommaLocale.h"

#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vel::test {

namespace {

constexpr const char* kLocale = "de_DE.UTF-8";

bool UseCommaLocale() {
  if (!std::setlocale(LC_ALL, kLocale)) return false;
  return std::strcmp(std::localeconv()->decimal_point, ",") == 0;
}

}  // namespace

DecimalCommaLocale::DecimalCommaLocale() {
  if (UseCommaLocale()) return;
  namespace fs = std::filesystem;
  const fs::path store = fs::path(VEL_BINARY_DIR) / "test-locales";
  std::error_code ec;
  if (!fs::exists(store / kLocale / "LC_NUMERIC", ec)) {
    // Made aside and renamed into place, so that tests running side by side never see half
    // a locale.
    const fs::path scratch = store / ("tmp-" + std::to_string(::getpid()));
    fs::create_directories(scratch, ec);
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + (scratch / kLocale).string() + "' >/dev/null 2>&1";
    const int rc = std::system(command.c_str());
    fs::rename(scratch / kLocale, store / kLocale, ec);
    fs::remove_all(scratch, ec);
    if (rc != 0 && !fs::exists(store / kLocale / "LC_NUMERIC", ec)) {
      why_ = std::string("no ") + kLocale +
             " locale, and localedef could not make one (is the locales package installed?)";
      return;
    }
  }
  ::setenv("LOCPATH", store.c_str(), 1);
  if (!UseCommaLocale()) {
    ::unsetenv("LOCPATH");
    std::setlocale(LC_ALL, "C");
    why_ = std::string("the ") + kLocale + " locale made by localedef cannot be used";
  }
}

bool LocaleRequired() {
  const char* ci = std::getenv("CI");
  return ci && *ci && std::strcmp(ci, "false") != 0 && std::strcmp(ci, "0") != 0;
}

DecimalCommaLocale::~DecimalCommaLocale() {
  std::setlocale(LC_ALL, "C");
  ::unsetenv("LOCPATH");
}

}  // namespace vel::test
