#include "common/NumberLocale.h"

#include <langinfo.h>

namespace vel {

// nl_langinfo follows setlocale and, unlike localeconv, does not share one static result
// between threads.
std::string LocaleThousandSeparator() {
  const char* sep = nl_langinfo(THOUSEP);
  return (sep && *sep) ? std::string(sep) : std::string(",");
}

std::string LocaleDecimalSeparator() {
  const char* sep = nl_langinfo(RADIXCHAR);
  return (sep && *sep) ? std::string(sep) : std::string(".");
}

}  // namespace vel
