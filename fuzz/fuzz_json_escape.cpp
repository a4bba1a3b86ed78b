// JSON escaping: the output, wrapped in quotes, is one valid JSON string (RFC 8259, read by
// the strict reader below) that decodes to the input up to its first NUL. The input is taken
// as well-formed UTF-8, which is what the senders hand over; other bytes are copied as they
// are by design, so for them only the escaping of the ASCII controls is checked. The
// double-escaped form is for embedding in script text, not JSON; it must only not crash and
// must hold no raw control character.

#include <optional>

#include "FuzzSupport.h"
#include "common/Strings.h"

namespace {

void AppendUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::optional<unsigned> Hex4(std::string_view s, std::size_t at) {
  if (at + 4 > s.size()) return std::nullopt;
  unsigned v = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const char c = s[at + k];
    v <<= 4;
    if (c >= '0' && c <= '9')
      v |= static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      v |= static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      v |= static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
  }
  return v;
}

// A strict reader of one JSON string value that must span the whole text.
std::optional<std::string> ParseJsonString(std::string_view s, bool requireUtf8) {
  if (s.size() < 2 || s.front() != '"') return std::nullopt;
  if (requireUtf8 && !vel::fuzz::WellFormedUtf8(s)) return std::nullopt;
  std::string out;
  std::size_t i = 1;
  for (;;) {
    if (i >= s.size()) return std::nullopt;
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"') return i + 1 == s.size() ? std::optional(out) : std::nullopt;
    if (c < 0x20) return std::nullopt;
    if (c != '\\') {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (++i >= s.size()) return std::nullopt;
    const char e = s[i++];
    switch (e) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        auto cp = Hex4(s, i);
        if (!cp) return std::nullopt;
        i += 4;
        unsigned value = *cp;
        if (value >= 0xDC00 && value <= 0xDFFF) return std::nullopt;
        if (value >= 0xD800 && value <= 0xDBFF) {
          if (i + 6 > s.size() || s[i] != '\\' || s[i + 1] != 'u') return std::nullopt;
          auto lo = Hex4(s, i + 2);
          if (!lo || *lo < 0xDC00 || *lo > 0xDFFF) return std::nullopt;
          value = 0x10000 + ((value - 0xD800) << 10) + (*lo - 0xDC00);
          i += 6;
        }
        AppendUtf8(out, value);
        break;
      }
      default:
        return std::nullopt;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = vel::fuzz::AsText(data, size);
  const std::string_view expected = input.substr(0, input.find('\0'));
  const bool utf8 = vel::fuzz::WellFormedUtf8(expected);

  const std::string escaped = vel::EscapeJsonString(input);
  const auto parsed = ParseJsonString("\"" + escaped + "\"", utf8);
  VEL_FUZZ_CHECK(parsed.has_value(), "the escaped text is not one JSON string");
  VEL_FUZZ_CHECK(*parsed == expected, "the JSON string does not decode to the input");

  const std::string doubled = vel::EscapeJsonString(input, true);
  for (char c : doubled)
    VEL_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20, "raw control character (double escape)");
  return 0;
}
