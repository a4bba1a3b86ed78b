#include "common/Strings.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "common/NumberLocale.h"

namespace vel {

namespace {

// Case folding is ASCII-only on purpose: the callers fold protocol words and markers, and
// folding only ASCII keeps every byte offset of the folded text valid in the original
// (a full Unicode mapping can change the length of UTF-8 text).
inline unsigned char UpAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}
inline unsigned char LowAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool HasAsciiLetter(std::string_view s) {
  for (unsigned char c : s) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  }
  return false;
}

// Length up to the first NUL (or the whole view).
std::size_t LengthToNul(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && s[n] != '\0') ++n;
  return n;
}

// Index of the first NUL at or after `from`, or the size of the view.
std::size_t NulFrom(std::string_view s, std::size_t from) {
  while (from < s.size() && s[from] != '\0') ++from;
  return from;
}

}  // namespace

std::string AsciiUpperCase(std::string_view text) {
  std::string r(text);
  for (char& c : r) c = static_cast<char>(UpAscii(static_cast<unsigned char>(c)));
  return r;
}

std::string AsciiLowerCase(std::string_view text) {
  std::string r(text);
  for (char& c : r) c = static_cast<char>(LowAscii(static_cast<unsigned char>(c)));
  return r;
}

int CompareText(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const int ca = UpAscii(static_cast<unsigned char>(a[i]));
    const int cb = UpAscii(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

int CompareStr(std::string_view a, std::string_view b) {
  const int r = a.compare(b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string ExtractQuoted(std::string_view text, std::size_t& pos, char quote) {
  if (pos >= text.size() || text[pos] == '\0') return std::string();
  if (text[pos] != quote) return std::string(text.data() + pos, NulFrom(text, pos) - pos);
  std::size_t i = pos + 1;
  const std::size_t end = NulFrom(text, i);
  std::string result;
  result.reserve(end - i);
  while (i < end) {
    const char c = text[i];
    if (c == quote) {
      if (i + 1 < end && text[i + 1] == quote) {
        result.push_back(quote);
        i += 2;
        continue;
      }
      ++i;  // the closing quote
      break;
    }
    result.push_back(c);
    ++i;
  }
  result.shrink_to_fit();
  pos = i;
  return result;
}

std::string ExtractQuoted(const char*& cursor, char quote) {
  if (cursor == nullptr) return std::string();
  std::string_view text(cursor);
  std::size_t pos = 0;
  std::string result = ExtractQuoted(text, pos, quote);
  cursor += pos;
  return result;
}

void TrimInPlace(std::string& text) {
  const std::size_t n = text.size();
  if (n == 0) return;
  auto keep = [](char c) { return static_cast<unsigned char>(c) > 32; };
  if (keep(text[0]) && keep(text[n - 1])) return;
  std::size_t first = 0;
  while (first < n && !keep(text[first])) ++first;
  if (first == n) {
    text.clear();
    return;
  }
  std::size_t last = n - 1;
  while (!keep(text[last])) --last;
  text.erase(last + 1);
  text.erase(0, first);
}

bool StartsWithText(std::string_view prefix, std::string_view text) {
  if (prefix.size() > text.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (UpAscii(static_cast<unsigned char>(prefix[i])) !=
        UpAscii(static_cast<unsigned char>(text[i])))
      return false;
  }
  return true;
}

std::string FetchToken(std::string& input, std::string_view delimiter, bool deleteToken,
                       bool caseSensitive) {
  std::size_t p = std::string::npos;
  if (!delimiter.empty()) {
    if (caseSensitive || delimiter == " " || !HasAsciiLetter(delimiter)) {
      p = std::string_view(input).find(delimiter);
    } else {
      p = AsciiUpperCase(input).find(AsciiUpperCase(delimiter));
    }
  }
  if (p == std::string::npos) {
    std::string result;
    if (deleteToken) {
      result.swap(input);
    } else {
      result = input;
    }
    return result;
  }
  std::string result = input.substr(0, p);
  if (deleteToken) input.erase(0, p + delimiter.size());
  return result;
}

std::string ReplaceSubstring(std::string_view source, std::string_view oldPattern,
                             std::string_view newPattern, TReplaceFlags flags) {
  if (source.empty() || oldPattern.empty()) return std::string(source);

  std::string foldedSource;
  std::string foldedPattern;
  std::string_view searched = source;
  std::string_view pattern = oldPattern;
  if ((flags & rfIgnoreCase) != 0 && HasAsciiLetter(oldPattern)) {
    foldedPattern = AsciiUpperCase(oldPattern);
    foldedSource = AsciiUpperCase(source);
    searched = foldedSource;
    pattern = foldedPattern;
  }

  std::vector<std::size_t> offsets;
  offsets.reserve(32);
  std::size_t from = 0;
  for (;;) {
    const std::size_t p = searched.find(pattern, from);
    if (p == std::string_view::npos) break;
    offsets.push_back(p);
    if ((flags & rfReplaceAll) == 0) break;
    from = p + pattern.size();
  }
  if (offsets.empty()) return std::string(source);

  const std::size_t oldLen = oldPattern.size();
  const std::size_t newLen = newPattern.size();
  std::string result;
  if (newLen == oldLen) {
    result.assign(source);
    for (std::size_t off : offsets) result.replace(off, newLen, newPattern);
    return result;
  }
  result.resize(source.size() - offsets.size() * oldLen + offsets.size() * newLen);
  char* out = result.data();
  std::size_t copied = 0;
  for (std::size_t off : offsets) {
    const std::size_t stretch = off - copied;
    if (stretch) std::memcpy(out, source.data() + copied, stretch);
    out += stretch;
    if (newLen) std::memcpy(out, newPattern.data(), newLen);
    out += newLen;
    copied = off + oldLen;
  }
  const std::size_t tail = source.size() - copied;
  if (tail) std::memcpy(out, source.data() + copied, tail);
  return result;
}

std::string ReplaceSubstringAll(std::string_view source, std::string_view oldPattern,
                                std::string_view newPattern) {
  return ReplaceSubstring(source, oldPattern, newPattern, rfReplaceAll);
}

std::string ReplaceSubstringAllText(std::string_view source, std::string_view oldPattern,
                                    std::string_view newPattern) {
  return ReplaceSubstring(source, oldPattern, newPattern, rfReplaceAll | rfIgnoreCase);
}

std::string EscapeJsonString(std::string_view text, bool doubleEscape) {
  text = text.substr(0, LengthToNul(text));
  // Raw control characters make the text invalid JSON, so every one of them is escaped.
  auto escapedLength = [doubleEscape](unsigned char c) -> std::size_t {
    switch (c) {
      case '"':
      case '/':
      case '\n':
      case '\r':
      case '\t':
      case '\b':
      case '\f':
        return 2;
      case '\\':
        return doubleEscape ? 4 : 2;
      case '\'':
        return doubleEscape ? 2 : 1;
      default:
        return c < 0x20 ? 6 : 1;
    }
  };
  std::size_t total = 0;
  for (unsigned char c : text) total += escapedLength(c);
  if (total == text.size()) return std::string(text);

  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(total);
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += doubleEscape ? "\\\\\\\\" : "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\'':
        out += doubleEscape ? "\\'" : "'";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out;
}

std::string PercentEncode(std::string_view text) {
  text = text.substr(0, LengthToNul(text));
  static const char kReserved[] = " \"#$%&/:;<=>?@[\\]^`{|}~";
  bool encode[128] = {};
  for (const char* p = kReserved; *p; ++p) encode[static_cast<unsigned char>(*p)] = true;
  auto needs = [&encode](unsigned char c) { return c < 128 && encode[c]; };

  std::size_t count = 0;
  for (unsigned char c : text) count += needs(c) ? 1 : 0;
  if (count == 0) return std::string(text);

  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 2 * count);
  for (unsigned char c : text) {
    if (needs(c)) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

namespace {

// The pieces of a number format such as "#,##0.00 'units'".
struct TNumberFormat {
  std::string prefix;
  std::string suffix;
  bool grouping = false;
  int minInt = 0;
  int minDec = 0;
  int maxDec = 0;
  bool hasNumber = false;
};

TNumberFormat ParseNumberFormat(std::string_view fmt) {
  TNumberFormat f;
  auto isPattern = [](char c) { return c == '#' || c == '0' || c == ',' || c == '.'; };
  std::size_t i = 0;
  // Literal text (quoted or not) up to the first pattern character.
  auto readLiteral = [&](std::string& into, bool stopAtPattern) {
    while (i < fmt.size()) {
      const char c = fmt[i];
      if (c == '\'' || c == '"') {
        const std::size_t close = fmt.find(c, i + 1);
        const std::size_t stop = close == std::string_view::npos ? fmt.size() : close;
        into.append(fmt.substr(i + 1, stop - i - 1));
        i = close == std::string_view::npos ? fmt.size() : close + 1;
        continue;
      }
      if (stopAtPattern && isPattern(c)) return;
      into.push_back(c);
      ++i;
    }
  };
  readLiteral(f.prefix, true);
  bool afterPoint = false;
  while (i < fmt.size() && isPattern(fmt[i])) {
    const char c = fmt[i++];
    f.hasNumber = true;
    if (c == '.') {
      afterPoint = true;
    } else if (c == ',') {
      if (!afterPoint) f.grouping = true;
    } else if (!afterPoint) {
      if (c == '0') ++f.minInt;
    } else {
      ++f.maxDec;
      if (c == '0') f.minDec = f.maxDec;
    }
  }
  readLiteral(f.suffix, false);
  if (f.maxDec > 9) f.maxDec = 9;
  if (f.minDec > f.maxDec) f.minDec = f.maxDec;
  return f;
}

std::string FormatNumber(double x, const TNumberFormat& f) {
  std::string out;
  if (!f.hasNumber) return f.prefix + f.suffix;
  const bool negative = x < 0;
  double scale = 1;
  for (int k = 0; k < f.maxDec; ++k) scale *= 10;
  // std::round rounds halves away from zero.
  const double scaled = std::round(std::fabs(x) * scale);
  std::string digits = std::to_string(static_cast<unsigned long long>(scaled));
  if (static_cast<int>(digits.size()) <= f.maxDec)
    digits.insert(0, static_cast<std::size_t>(f.maxDec) + 1 - digits.size(), '0');
  std::string intPart = digits.substr(0, digits.size() - static_cast<std::size_t>(f.maxDec));
  std::string decPart = digits.substr(digits.size() - static_cast<std::size_t>(f.maxDec));
  while (static_cast<int>(decPart.size()) > f.minDec && !decPart.empty() && decPart.back() == '0')
    decPart.pop_back();
  // Leading zeros only as far as the format asks for them.
  std::size_t lead = 0;
  while (lead < intPart.size() && intPart[lead] == '0' &&
         static_cast<int>(intPart.size() - lead) > f.minInt)
    ++lead;
  intPart.erase(0, lead);
  if (static_cast<int>(intPart.size()) < f.minInt)
    intPart.insert(0, static_cast<std::size_t>(f.minInt) - intPart.size(), '0');

  if (negative && scaled != 0) out.push_back('-');
  out += f.prefix;
  if (f.grouping && intPart.size() > 3) {
    const std::string sep = LocaleThousandSeparator();
    const std::size_t first = intPart.size() % 3 == 0 ? 3 : intPart.size() % 3;
    out.append(intPart, 0, first);
    for (std::size_t p = first; p < intPart.size(); p += 3) {
      out += sep;
      out.append(intPart, p, 3);
    }
  } else {
    out += intPart;
  }
  if (!decPart.empty()) {
    out += LocaleDecimalSeparator();
    out += decPart;
  }
  out += f.suffix;
  return out;
}

}  // namespace

std::string FormatByteSize(std::string_view format, std::int64_t value) {
  constexpr std::int64_t kGB = 1073741824;
  constexpr std::int64_t kMB = 1048576;
  constexpr std::int64_t kKB = 1024;
  std::string fmt(format.empty() ? std::string_view("#,###,###,##0") : format);
  double quotient;
  if (value > kGB) {
    fmt += " GB";
    quotient = static_cast<double>(value) / static_cast<double>(kGB);
  } else if (value > kMB) {
    fmt += " MB";
    quotient = static_cast<double>(value) / static_cast<double>(kMB);
  } else if (value > kKB) {
    fmt += " KB";
    quotient = static_cast<double>(value) / static_cast<double>(kKB);
  } else {
    fmt += " bytes";
    quotient = static_cast<double>(value);
  }
  return FormatNumber(quotient, ParseNumberFormat(fmt));
}

}  // namespace vel
