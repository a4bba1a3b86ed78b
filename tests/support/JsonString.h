#pragma once

// A strict reader of one JSON string literal (RFC 8259), shared by the tests and the fuzz
// targets that check our JSON output: raw control characters, unknown escapes and lone
// surrogates are refused; \u escapes (surrogate pairs included) are decoded to UTF-8.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vel::test {

namespace json_detail {

inline void AppendUtf8(std::string& out, unsigned cp) {
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

inline std::optional<unsigned> Hex4(std::string_view s, std::size_t at) {
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

}  // namespace json_detail

// Reads the string literal whose opening quote is at s[pos]. On success returns the decoded
// text and leaves pos just past the closing quote; on failure returns nothing.
inline std::optional<std::string> ReadJsonString(std::string_view s, std::size_t& pos) {
  using json_detail::Hex4;
  if (pos >= s.size() || s[pos] != '"') return std::nullopt;
  std::string out;
  std::size_t i = pos + 1;
  for (;;) {
    if (i >= s.size()) return std::nullopt;
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"') {
      pos = i + 1;
      return out;
    }
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
        json_detail::AppendUtf8(out, value);
        break;
      }
      default:
        return std::nullopt;
    }
  }
}

}  // namespace vel::test
