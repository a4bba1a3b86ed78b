#pragma once

#include <string>

namespace vel {

// The current C locale's number separators (the process calls setlocale(LC_ALL, "")), with
// "," and "." when the locale defines none, as in the C locale. Thread-safe.
std::string LocaleThousandSeparator();
std::string LocaleDecimalSeparator();

}  // namespace vel
