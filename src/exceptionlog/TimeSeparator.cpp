#include <cctype>

#include "exceptionlog/ExceptionLogPlatform.h"

namespace vel::exceptionlog_detail {

std::string TimeSeparatorOf(const std::string& f) {
  // The character between the hour and the minutes: "%H:%M:%S" -> ":", "%H.%M.%S" -> ".".
  // Composite formats ("%T", "%r") and formats whose hours are followed by a word or by
  // nothing name no single separator and get ":".
  for (size_t i = 0; i + 1 < f.size(); ++i) {
    if (f[i] != '%') continue;
    size_t conv = i + 1;
    if ((f[conv] == 'O' || f[conv] == 'E') && conv + 1 < f.size()) ++conv;
    const char c = f[conv];
    if (c == 'H' || c == 'I' || c == 'k' || c == 'l') {
      const size_t after = conv + 1;
      if (after + 1 < f.size() && f[after + 1] == '%' &&
          std::ispunct(static_cast<unsigned char>(f[after])) && f[after] != '%') {
        return std::string(1, f[after]);
      }
      return ":";
    }
    i = conv;
  }
  return ":";
}

}  // namespace vel::exceptionlog_detail
