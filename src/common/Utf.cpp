#include "common/Utf.h"

#include <cstdint>

namespace vel {
namespace {

struct Decoded {
  char32_t codePoint;  // valid only when ok
  std::size_t length;  // bytes consumed: the sequence, or its maximal ill-formed subpart
  bool ok;
};

// Decodes the sequence at bytes[pos] by the table of well-formed UTF-8 byte sequences, so
// that overlong forms, surrogates and values above U+10FFFF are ill-formed by the second
// byte's range. On failure, length is the longest prefix that could still have begun a
// well-formed sequence (at least 1), which is what one U+FFFD replaces.
Decoded DecodeAt(std::string_view bytes, std::size_t pos) {
  const auto b0 = static_cast<std::uint8_t>(bytes[pos]);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong 3-byte forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // no overlong 4-byte forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0, 1, false};  // stray continuation byte, C0/C1, F5..FF
  }
  for (std::size_t i = 1; i < need; ++i) {
    if (pos + i >= bytes.size()) return {0, i, false};  // truncated
    const auto b = static_cast<std::uint8_t>(bytes[pos + i]);
    const std::uint8_t l = i == 1 ? lo : 0x80, h = i == 1 ? hi : 0xBF;
    if (b < l || b > h) return {0, i, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need, true};
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    const Decoded d = DecodeAt(utf8, pos);
    AppendUtf16(out, d.ok ? d.codePoint : kReplacementChar);
    pos += d.length;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    char32_t cp = u;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((static_cast<char32_t>(u - 0xD800) << 10) | (utf16[i + 1] - 0xDC00));
        ++i;
      } else {
        cp = kReplacementChar;
      }
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      cp = kReplacementChar;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string Utf16ToUtf16LEBytes(std::u16string_view utf16) {
  std::string out;
  out.resize(utf16.size() * 2);
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    out[2 * i] = static_cast<char>(utf16[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(utf16[i] >> 8);
  }
  return out;
}

std::u16string Utf16LEBytesToUtf16(std::string_view bytes) {
  std::u16string out;
  out.resize(bytes.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                   (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

std::string Utf8ToUtf16LEBytes(std::string_view utf8) {
  return Utf16ToUtf16LEBytes(Utf8ToUtf16(utf8));
}

std::string Utf16LEBytesToUtf8(std::string_view bytes) {
  return Utf16ToUtf8(Utf16LEBytesToUtf16(bytes));
}

bool IsValidUtf8(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Decoded d = DecodeAt(bytes, pos);
    if (!d.ok) return false;
    pos += d.length;
  }
  return true;
}

bool DecodeUtf8Strict(std::string_view bytes, std::u16string& out) {
  out.clear();
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Decoded d = DecodeAt(bytes, pos);
    if (!d.ok) {
      out.clear();
      return false;
    }
    AppendUtf16(out, d.codePoint);
    pos += d.length;
  }
  return true;
}

std::size_t CompleteUtf8Prefix(std::string_view bytes) {
  // The last lead byte within a sequence's reach, and whether the bytes after it are short.
  for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const std::size_t pos = bytes.size() - back;
    const auto b = static_cast<std::uint8_t>(bytes[pos]);
    if ((b & 0xC0) == 0x80) continue;               // a continuation byte: look further back
    if (b < 0xC2 || b > 0xF4) return bytes.size();  // no lead byte: nothing was cut
    const Decoded d = DecodeAt(bytes, pos);
    return !d.ok && pos + d.length == bytes.size() ? pos : bytes.size();
  }
  return bytes.size();
}

std::size_t Utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  for (std::size_t pos = 0; pos < utf8.size();) {
    const Decoded d = DecodeAt(utf8, pos);
    units += d.ok && d.codePoint >= 0x10000 ? 2 : 1;
    pos += d.length;
  }
  return units;
}

}  // namespace vel
