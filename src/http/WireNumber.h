#pragma once

// Numbers as they come over the wire (JSON members, HTTP header values, URL parts). The wire
// always writes '.' as the decimal separator, so these readers never look at the process
// locale: the service sets the locale from the environment, and a locale with a decimal comma
// must not turn "0.9" into 0.

#include <cstddef>
#include <optional>
#include <string_view>

namespace vel {

// The number at the start of text (JSON syntax: optional '-', digits, fraction, exponent),
// and how many characters it took. Nothing when text does not start with a number. A value
// beyond the range of double reads as an infinity of its sign; one too small reads as 0.
struct TWireNumber {
  double Value = 0;
  std::size_t Length = 0;
};
std::optional<TWireNumber> ReadWireNumberPrefix(std::string_view text);

// The whole text (blanks around it allowed) as a number; nothing when anything else is there.
std::optional<double> ParseWireNumber(std::string_view text);

// The whole text (blanks around it allowed) as an integer of the base; nothing when it is not
// one or does not fit.
std::optional<long long> ParseWireInteger(std::string_view text, int base = 10);

}  // namespace vel
