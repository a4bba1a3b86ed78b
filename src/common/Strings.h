#pragma once

// Small string routines shared by the whole system. Text is UTF-8 in std::string; every
// routine works on bytes, and since every character these routines treat specially is ASCII,
// multi-byte sequences pass through untouched. All functions are stateless and thread-safe.

#include <cstdint>
#include <string>
#include <string_view>

namespace vel {

// Flags of ReplaceSubstring; combine with |.
using TReplaceFlags = unsigned;
inline constexpr TReplaceFlags rfReplaceAll = 1;
inline constexpr TReplaceFlags rfIgnoreCase = 2;

// Reads one quoted item. `cursor` points into a NUL-terminated sequence.
// - null cursor or cursor on the NUL: "" and the cursor stays;
// - cursor not on `quote`: everything up to the NUL, the cursor stays;
// - otherwise the text up to the closing quote, a doubled quote standing for one quote; the
//   cursor ends right after the closing quote, or on the NUL when the quote is not closed.
std::string ExtractQuoted(const char*& cursor, char quote);
// The same over a string view: `pos` is the cursor (0-based); the end of the view and a NUL
// byte both count as the terminator.
std::string ExtractQuoted(std::string_view text, std::size_t& pos, char quote);

// Removes every leading and trailing byte with a code of 32 or less (space, tab, CR, LF, NUL
// and other controls). Other spaces such as U+00A0 stay. Allocates nothing when there is
// nothing to trim.
void TrimInPlace(std::string& text);

// True when `text` starts with `prefix`, ASCII letters compared without case, every other
// byte exactly. An empty prefix matches any text.
bool StartsWithText(std::string_view prefix, std::string_view text);

// Cuts `input` at the first `delimiter` and returns the part before it (the whole input when
// the delimiter is missing or empty). With deleteToken, `input` becomes the part after the
// delimiter (empty when it was missing). Without caseSensitive, ASCII letters match
// regardless of case.
std::string FetchToken(std::string& input, std::string_view delimiter, bool deleteToken,
                       bool caseSensitive);

// Replaces `oldPattern` by `newPattern` in `source`: the first match only, or every match with
// rfReplaceAll; rfIgnoreCase folds ASCII letters. Matches never overlap. An empty source or
// pattern returns the source.
std::string ReplaceSubstring(std::string_view source, std::string_view oldPattern,
                             std::string_view newPattern, TReplaceFlags flags = 0);
// ReplaceSubstring with rfReplaceAll.
std::string ReplaceSubstringAll(std::string_view source, std::string_view oldPattern,
                                std::string_view newPattern);
// ReplaceSubstring with rfReplaceAll | rfIgnoreCase.
std::string ReplaceSubstringAllText(std::string_view source, std::string_view oldPattern,
                                    std::string_view newPattern);

// Escapes text for use inside a JSON string (without the surrounding quotes). Stops at the
// first NUL. Escapes ", \, /, LF, CR and every other control character below 0x20 (\t, \b, \f,
// else \u00XX); non-ASCII text is copied as is. With doubleEscape, a backslash becomes four
// backslashes and an apostrophe is written as \'.
std::string EscapeJsonString(std::string_view text, bool doubleEscape = false);

// Percent-encodes the 23 reserved characters  "#$%&/:;<=>?@[\]^`{|}~ and space  as %XX
// (upper-case hex). Everything else, '+' and non-ASCII bytes included, is copied. Stops at the
// first NUL.
std::string PercentEncode(std::string_view text);

// A byte count for people: above 1 GiB "<n> GB", above 1 MiB "<n> MB", above 1 KiB "<n> KB",
// else "<n> bytes", n rounded half away from zero. An empty format means "#,###,###,##0": whole
// numbers with the locale's thousands separator ("," when the locale has none).
// A non-empty format understands '0' and '#' digit places, ',' for grouping, '.' followed by
// the decimal places, and literal text before and after the number (quoted with ' or ").
std::string FormatByteSize(std::string_view format, std::int64_t value);

// Ordinal comparison with the ASCII letters folded to upper case; <0, 0 or >0. A string that
// is a prefix of the other is the smaller.
int CompareText(std::string_view a, std::string_view b);
// Ordinal, case-sensitive comparison; <0, 0 or >0.
int CompareStr(std::string_view a, std::string_view b);
// True when both texts are equal with the ASCII letters folded.
bool SameText(std::string_view a, std::string_view b);
// ASCII-only case mapping (the byte length never changes, so offsets stay valid).
std::string AsciiUpperCase(std::string_view text);
std::string AsciiLowerCase(std::string_view text);

}  // namespace vel
