#pragma once

// Conversions between the process's UTF-8 text and the UTF-16 forms used at the fixed edges
// (the status channel's wire format and the diagnostic log file are UTF-16LE).

#include <cstddef>
#include <string>
#include <string_view>

namespace vel {

inline constexpr char16_t kReplacementChar = u'\uFFFD';

// Lenient: every ill-formed part of the input (bad lead byte, truncated sequence, overlong
// form, surrogate, value above U+10FFFF) becomes one U+FFFD per maximal ill-formed subpart,
// the way the Unicode standard recommends.
std::u16string Utf8ToUtf16(std::string_view utf8);
// Lone surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// UTF-16 text <-> its UTF-16LE bytes. An odd trailing byte is dropped.
std::string Utf16ToUtf16LEBytes(std::u16string_view utf16);
std::u16string Utf16LEBytesToUtf16(std::string_view bytes);

// The two together: UTF-8 text <-> UTF-16LE bytes, with the lenient rules above.
std::string Utf8ToUtf16LEBytes(std::string_view utf8);
std::string Utf16LEBytesToUtf8(std::string_view bytes);

// Strict check: true when the whole input is well-formed UTF-8 (no overlong form, no
// surrogate, nothing above U+10FFFF, no truncated sequence, no stray continuation byte).
bool IsValidUtf8(std::string_view bytes);
// Strict decode: false (and out cleared) when any part is ill-formed; nothing partial.
bool DecodeUtf8Strict(std::string_view bytes, std::u16string& out);

// Length of the text without a final sequence that was cut short (a file's head read up to a
// byte limit); the whole length when the text does not end inside a sequence.
std::size_t CompleteUtf8Prefix(std::string_view bytes);

// Appends one code point as UTF-8 (a surrogate code point is written as it stands).
void AppendUtf8(std::string& out, char32_t cp);

// Number of UTF-16 code units the text takes after Utf8ToUtf16 (lenient rules).
std::size_t Utf16Length(std::string_view utf8);

}  // namespace vel
