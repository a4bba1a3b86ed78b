#pragma once

// An independent reader of the MarkdownV2 subset the Telegram sender writes (bold and
// pre-formatted blocks): it says whether a text is valid by Telegram's rules and what the
// reader would see.

#include <cstddef>
#include <string>
#include <string_view>

namespace vel::test {

struct MarkdownV2Result {
  bool valid = true;
  std::string error;
  std::string visible;  // the text as shown, markup and escapes removed
};

inline MarkdownV2Result ReadMarkdownV2(std::string_view s) {
  static constexpr std::string_view kReserved = "_*[]()~`>#+-=|{}.!\\";
  MarkdownV2Result r;
  auto fail = [&](const std::string& why, std::size_t at) {
    r.valid = false;
    r.error = why + " at byte " + std::to_string(at);
    return r;
  };
  bool bold = false;
  std::size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == '\\') {
      if (i + 1 >= s.size()) return fail("dangling backslash", i);
      r.visible += s[i + 1];
      i += 2;
      continue;
    }
    if (s.substr(i, 3) == "```") {
      if (bold) return fail("code block inside bold", i);
      i += 3;
      std::size_t eol = s.find('\n', i);
      if (eol == std::string_view::npos) return fail("code block without a line", i);
      i = eol + 1;  // the language line is not shown
      for (;;) {
        if (i >= s.size()) return fail("unclosed code block", i);
        if (s.substr(i, 3) == "```") {
          i += 3;
          break;
        }
        if (s[i] == '\\') {
          if (i + 1 >= s.size() || (s[i + 1] != '`' && s[i + 1] != '\\'))
            return fail("needless escape in code", i);
          r.visible += s[i + 1];
          i += 2;
          continue;
        }
        if (s[i] == '`') return fail("unescaped grave accent in code", i);
        r.visible += s[i++];
      }
      continue;
    }
    if (c == '*') {
      bold = !bold;
      ++i;
      continue;
    }
    if (kReserved.find(c) != std::string_view::npos)
      return fail(std::string("unescaped '") + c + "'", i);
    r.visible += c;
    ++i;
  }
  if (bold) return fail("unclosed bold", s.size());
  return r;
}

// UTF-16 code units of a UTF-8 text.
inline std::size_t Utf16Units(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) ++n;
    if (c >= 0xF0) ++n;
  }
  return n;
}

// Whether a character counts as nothing when a chat decides a text is empty: white space and
// control characters, and the invisible spaces and marks Telegram lists (U+00A0,
// U+2000-U+200F, U+2028-U+202F, U+205F, U+2800, U+3000, U+FEFF), plus U+1680 and U+180E.
inline bool ShowsNothing(char16_t c) {
  return c <= 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0x1680 || c == 0x180E ||
         (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) || c == 0x205F ||
         c == 0x2800 || c == 0x3000 || c == 0xFEFF;
}

// A text a chat would take for empty. Decoded by hand (the text is well-formed UTF-8 here):
// the characters of the list all lie below U+10000.
inline bool ChatBlank(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (n == 4 || i + n > s.size()) return false;
    char16_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : (c & 0x0F);
    for (std::size_t k = 1; k < n; ++k) cp = static_cast<char16_t>((cp << 6) | (s[i + k] & 0x3F));
    if (!ShowsNothing(cp)) return false;
    i += n;
  }
  return true;
}

}  // namespace vel::test
