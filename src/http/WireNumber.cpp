#include "http/WireNumber.h"

#include <charconv>
#include <limits>
#include <system_error>

namespace vel {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<TWireNumber> ReadWireNumberPrefix(std::string_view text) {
  // from_chars would also take "inf", "nan" and hexadecimal forms; the wire has none of them.
  const std::size_t digit = !text.empty() && text.front() == '-' ? 1 : 0;
  if (digit >= text.size() || text[digit] < '0' || text[digit] > '9') return std::nullopt;
  double value = 0;
  const char* begin = text.data();
  const auto [end, ec] =
      std::from_chars(begin, begin + text.size(), value, std::chars_format::general);
  if (ec == std::errc::invalid_argument) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: the sign of the exponent tells which.
    const std::string_view number(begin, static_cast<std::size_t>(end - begin));
    const std::size_t e = number.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && e + 1 < number.size() && number[e + 1] == '-';
    const bool negative = digit == 1;
    value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    if (negative) value = -value;
  }
  return TWireNumber{value, static_cast<std::size_t>(end - begin)};
}

std::optional<double> ParseWireNumber(std::string_view text) {
  text = TrimBlanks(text);
  auto number = ReadWireNumberPrefix(text);
  if (!number || number->Length != text.size()) return std::nullopt;
  return number->Value;
}

std::optional<long long> ParseWireInteger(std::string_view text, int base) {
  text = TrimBlanks(text);
  if (text.empty()) return std::nullopt;
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace vel
