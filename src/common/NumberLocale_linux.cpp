#include "common/NumberLocale.h"

#include <langinfo.h>

#include <cstring>
#include <cwchar>

#include "common/Utf.h"

namespace vel {

namespace {

// A separator in the locale's own encoding (a no-break space is one byte in ISO-8859-1), as
// UTF-8: the reports it goes into are UTF-8. fallback when the locale defines none or it
// cannot be read.
std::string Separator(nl_item item, const char* fallback) {
  // nl_langinfo follows setlocale and, unlike localeconv, does not share one static result
  // between threads.
  const char* bytes = nl_langinfo(item);
  if (!bytes || !*bytes) return fallback;
  std::string text;
  std::mbstate_t state{};
  const char* const end = bytes + std::strlen(bytes);
  for (const char* at = bytes; at < end;) {
    wchar_t wc = 0;
    const std::size_t n = std::mbrtowc(&wc, at, static_cast<std::size_t>(end - at), &state);
    if (n == 0 || n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2))
      return fallback;
    AppendUtf8(text, static_cast<char32_t>(wc));
    at += n;
  }
  return text;
}

}  // namespace

std::string LocaleThousandSeparator() {
  return Separator(THOUSEP, ",");
}

std::string LocaleDecimalSeparator() {
  return Separator(RADIXCHAR, ".");
}

}  // namespace vel
