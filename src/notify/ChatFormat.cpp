#include "notify/ChatFormat.h"

#include <cctype>
#include <functional>

#include "common/Utf.h"
#include "http/WireNumber.h"

namespace vel::chat {

namespace {

constexpr std::string_view kFence = "```";

// Byte length of the UTF-8 sequence starting with `lead` (1 for a stray byte).
std::size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

// Walks code points; `units` receives the UTF-16 units of each.
template <typename F>
void ForEachCodePoint(std::string_view text, F&& f) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t n = SequenceLength(static_cast<unsigned char>(text[i]));
    if (i + n > text.size()) n = 1;
    if (!f(i, n, n == 4 ? std::size_t{2} : std::size_t{1})) return;
    i += n;
  }
}

// Longer words are taken as code: a language word must leave room in a part of its own.
constexpr std::size_t kMaxLangLength = 32;

bool IsLangWord(std::string_view s) {
  if (s.size() > kMaxLangLength) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '+' && c != '-' &&
        c != '#' && c != '.')
      return false;
  return true;
}

// The code point of the well-formed sequence at text[i] (n bytes); U+FFFD for a stray byte.
char32_t CodePointAt(std::string_view text, std::size_t i, std::size_t n) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  switch (n) {
    case 2:
      return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3:
      return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    case 4:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    default:
      return b(0) < 0x80 ? b(0) : 0xFFFD;
  }
}

// What Telegram drops or turns into spaces when it decides whether a text is empty, together
// with what Discord trims as white space (U+1680 besides).
bool IsBlankCodePoint(char32_t c) {
  return c <= 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0x1680 || c == 0x180E ||
         (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) || c == 0x205F ||
         c == 0x2800 || c == 0x3000 || c == 0xFEFF;
}

bool IsBlank(std::string_view s) {
  bool blank = true;
  ForEachCodePoint(s, [&](std::size_t i, std::size_t n, std::size_t) {
    blank = IsBlankCodePoint(CodePointAt(s, i, n));
    return blank;
  });
  return blank;
}

constexpr std::string_view kZwj = "\xE2\x80\x8D";

void AddSegment(std::vector<TChatSegment>& out, TChatSegment::TKind kind, std::string_view text,
                const std::string& lang = {}) {
  if (text.empty()) return;
  if (kind == TChatSegment::ckPlain && !out.empty() && out.back().Kind == kind) {
    out.back().Text += text;
    return;
  }
  out.push_back({kind, lang, std::string(text)});
}

using TOverhead = std::function<std::size_t(const TChatSegment&)>;

using TParts = std::vector<std::vector<TChatSegment>>;

struct TPacked {
  TParts Parts;
  std::size_t LeftOut = 0;  // characters not packed because maxParts was reached
};

// Greedy packing of the segments into parts of at most `limit` characters, counting each
// piece's text plus its markup overhead. Cuts prefer a line end. A part of blank text only
// (a line break left over at a cut) is dropped: a chat refuses it as an empty message, and
// white space between two messages shows nothing anyway. With maxParts > 0, part number
// maxParts gets `lastLimit` instead, and packing stops there; LeftOut then counts what
// visible text did not fit.
TPacked Pack(const std::vector<TChatSegment>& segments, std::size_t limit,
             const TOverhead& overhead, std::size_t maxParts = 0, std::size_t lastLimit = 0) {
  TPacked packed;
  TParts& parts = packed.Parts;
  std::vector<TChatSegment> current;
  std::size_t used = 0;
  bool visible = false;
  auto flush = [&] {
    if (visible) parts.push_back(std::move(current));
    current.clear();
    used = 0;
    visible = false;
  };
  // True, with LeftOut set, when the bound is reached; rest and the segments after index
  // are what is left.
  auto full = [&](std::string_view rest, std::size_t index) {
    if (maxParts == 0 || parts.size() < maxParts) return false;
    bool blank = IsBlank(rest);
    std::size_t units = ChatLength(rest);
    for (std::size_t j = index + 1; j < segments.size(); ++j) {
      blank = blank && IsBlank(segments[j].Text);
      units += ChatLength(segments[j].Text);
    }
    packed.LeftOut = blank ? 0 : units;
    return true;
  };
  for (std::size_t index = 0; index < segments.size(); ++index) {
    const TChatSegment& segment = segments[index];
    std::string_view rest = segment.Text;
    const std::size_t over = overhead(segment);
    while (!rest.empty()) {
      const std::size_t partLimit =
          maxParts != 0 && parts.size() + 1 == maxParts ? lastLimit : limit;
      const std::size_t avail = partLimit > used + over ? partLimit - used - over : 0;
      // Longest prefix that fits.
      std::size_t fit = 0, units = 0;
      ForEachCodePoint(rest, [&](std::size_t i, std::size_t n, std::size_t u) {
        if (units + u > avail) return false;
        units += u;
        fit = i + n;
        return true;
      });
      if (fit == rest.size()) {
        current.push_back({segment.Kind, segment.Lang, std::string(rest)});
        used += units + over;
        visible = visible || !IsBlank(rest);
        break;
      }
      // Cut at a line end, else at a space, where that fills at least half the part; a
      // part is never spent on less (a title alone, for one).
      std::size_t cut = 0;
      if (fit > 0) {
        const std::string_view fits = rest.substr(0, fit);
        for (char at : {'\n', ' '}) {
          const std::size_t pos = fits.rfind(at);
          if (cut == 0 && pos != std::string_view::npos && 2 * (pos + 1) >= fit) cut = pos + 1;
        }
      }
      if (fit == 0 && !current.empty()) {
        flush();  // nothing of the piece fits beside what the part holds
        if (full(rest, index)) return packed;
        continue;
      }
      if (cut == 0) {
        cut = fit;
        if (cut == 0) cut = SequenceLength(static_cast<unsigned char>(rest[0]));  // tiny limit
        if (cut > 1 && cut < rest.size() && rest[cut - 1] == '\r' && rest[cut] == '\n') --cut;
      }
      // A code piece ending in a grave accent would run into its closing fence on Discord,
      // which has no escapes; the accents go to the next part instead.
      if (segment.Kind == TChatSegment::ckCode) {
        while (cut > 1 && rest[cut - 1] == '`') --cut;
        if (rest[cut - 1] == '`' && !current.empty()) {
          flush();  // only accents would fit here
          if (full(rest, index)) return packed;
          continue;
        }
      }
      current.push_back({segment.Kind, segment.Lang, std::string(rest.substr(0, cut))});
      visible = visible || !IsBlank(rest.substr(0, cut));
      rest.remove_prefix(cut);
      flush();
      if (full(rest, index)) return packed;
    }
  }
  flush();
  return packed;
}

// The last line of a cut-short alert.
std::string LeftOutNote(std::size_t characters) {
  return "[\u2026 " + std::to_string(characters) + " more characters left out]";
}

// Packs within maxParts parts (0: no bound). When the text needs more, the last part ends
// with a line saying how much was left out; room for it is kept in that part.
TParts PackBounded(const std::vector<TChatSegment>& segments, std::size_t limit,
                   const TOverhead& overhead, std::size_t maxParts) {
  if (maxParts == 0) return Pack(segments, limit, overhead).Parts;
  TPacked packed = Pack(segments, limit, overhead, maxParts, limit);
  if (packed.LeftOut == 0) return std::move(packed.Parts);
  std::size_t total = 0;
  for (const auto& s : segments) total += ChatLength(s.Text);
  // Room for the longest note this text can need, and its line break.
  const std::size_t reserve = ChatLength(LeftOutNote(total)) + 1;
  // Too small a part for the note: the text is still cut, without it.
  if (limit < 2 * reserve) return std::move(packed.Parts);
  packed = Pack(segments, limit, overhead, maxParts, limit - reserve);
  if (packed.LeftOut > 0 && !packed.Parts.empty())
    packed.Parts.back().push_back({TChatSegment::ckPlain, {}, "\n" + LeftOutNote(packed.LeftOut)});
  return std::move(packed.Parts);
}

// Telegram escapes every grave accent, so the joiners that keep runs of them apart for Discord
// (FenceSafe) are not needed there and would only be copied along with the text.
std::string WithoutFenceJoiners(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, kZwj.size()) == kZwj &&
        ((i > 0 && text[i - 1] == '`') ||
         (i + kZwj.size() < text.size() && text[i + kZwj.size()] == '`'))) {
      i += kZwj.size() - 1;
      continue;
    }
    out += text[i];
  }
  return out;
}

std::string RenderTelegram(std::vector<TChatSegment> part) {
  std::string out;
  for (auto& s : part) {
    s.Text = WithoutFenceJoiners(s.Text);
    switch (s.Kind) {
      case TChatSegment::ckPlain:
        out += EscapeMarkdownV2(s.Text);
        break;
      case TChatSegment::ckBold:
        out += "*" + EscapeMarkdownV2(s.Text) + "*";
        break;
      case TChatSegment::ckCode:
        out += std::string(kFence) + s.Lang + "\n" + EscapeMarkdownV2Code(s.Text) +
               std::string(kFence);
        break;
    }
  }
  return out;
}

std::string RenderDiscord(const std::vector<TChatSegment>& part) {
  std::string out;
  for (const auto& s : part) {
    switch (s.Kind) {
      case TChatSegment::ckPlain:
        out += s.Text;
        break;
      case TChatSegment::ckBold:
        out += "**" + s.Text + "**";
        break;
      case TChatSegment::ckCode:
        out += std::string(kFence) + s.Lang + "\n" + s.Text + std::string(kFence);
        break;
    }
  }
  return out;
}

// Four hexadecimal digits of a \u escape; U+FFFD when they are not.
unsigned HexUnit(std::string_view digits) {
  for (char c : digits)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
      return 0xFFFD;
  return static_cast<unsigned>(ParseWireInteger(digits, 16).value_or(0xFFFD));
}

// Position just after `"key"` and the colon, or npos.
std::size_t FindMember(std::string_view json, std::string_view key) {
  const std::string quoted = "\"" + std::string(key) + "\"";
  std::size_t pos = 0;
  while ((pos = json.find(quoted, pos)) != std::string_view::npos) {
    std::size_t p = pos + quoted.size();
    while (p < json.size() && std::isspace(static_cast<unsigned char>(json[p]))) ++p;
    if (p < json.size() && json[p] == ':') {
      ++p;
      while (p < json.size() && std::isspace(static_cast<unsigned char>(json[p]))) ++p;
      return p;
    }
    pos += quoted.size();
  }
  return std::string_view::npos;
}

}  // namespace

std::vector<TChatSegment> ParseFramedText(std::string_view text) {
  std::vector<TChatSegment> out;
  if (text.substr(0, 2) == "**") {
    std::size_t eol = text.find('\n');
    std::size_t lineEnd = eol == std::string_view::npos ? text.size() : eol;
    if (lineEnd > 0 && text[lineEnd - 1] == '\r') --lineEnd;
    std::string_view line = text.substr(0, lineEnd);
    if (line.size() >= 4 && line.substr(line.size() - 2) == "**") {
      AddSegment(out, TChatSegment::ckBold, line.substr(2, line.size() - 4));
      text.remove_prefix(lineEnd);
    }
  }
  while (!text.empty()) {
    std::size_t fence = text.find(kFence);
    if (fence == std::string_view::npos) {
      AddSegment(out, TChatSegment::ckPlain, text);
      break;
    }
    AddSegment(out, TChatSegment::ckPlain, text.substr(0, fence));
    text.remove_prefix(fence + kFence.size());
    // The rest of the fence line is a language word (maybe empty) when it is one word.
    std::string lang;
    std::size_t eol = text.find('\n');
    std::string_view info = text.substr(0, eol == std::string_view::npos ? text.size() : eol);
    if (!info.empty() && info.back() == '\r') info.remove_suffix(1);
    if (eol != std::string_view::npos && IsLangWord(info)) {
      lang = std::string(info);
      text.remove_prefix(eol + 1);
    }
    std::size_t close = text.find(kFence);
    std::string_view code = text.substr(0, close);
    AddSegment(out, TChatSegment::ckCode, code, lang);  // an empty block shows nothing
    text.remove_prefix(close == std::string_view::npos ? text.size() : close + kFence.size());
  }
  return out;
}

std::string EscapeMarkdownV2(std::string_view text) {
  static constexpr std::string_view kReserved = "_*[]()~`>#+-=|{}.!\\";
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (char c : text) {
    if (kReserved.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

std::string EscapeMarkdownV2Code(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '`' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::size_t ChatLength(std::string_view text) {
  std::size_t units = 0;
  ForEachCodePoint(text, [&](std::size_t, std::size_t, std::size_t u) {
    units += u;
    return true;
  });
  return units;
}

std::string ChatVisibleText(std::string_view text) {
  // Ill-formed parts become U+FFFD first, each maximal part once, so that no character after
  // a broken sequence is taken into it.
  std::string wellFormed;
  if (!IsValidUtf8(text)) {
    wellFormed = Utf16ToUtf8(Utf8ToUtf16(text));
    text = wellFormed;
  }
  std::string out;
  out.reserve(text.size());
  ForEachCodePoint(text, [&](std::size_t i, std::size_t n, std::size_t) {
    const char32_t c = CodePointAt(text, i, n);
    if (c == '\t' || c == '\r' || c == '\n') {
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      AppendUtf8(out, 0x2400 + c);  // the control pictures: NUL shows as U+2400
    } else if (c == 0x7F) {
      AppendUtf8(out, 0x2421);
    } else if (c >= 0x80 && c < 0xA0) {
      AppendUtf8(out, 0xFFFD);
    } else {
      out.append(text.substr(i, n));
    }
    return true;
  });
  return out;
}

std::string FenceSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '`' && (i + 1 == text.size() || text[i + 1] == '`')) out += kZwj;
  }
  return out;
}

namespace {

// What a message that would show nothing says instead: a chat refuses an empty message.
constexpr std::string_view kBlankText = "[the text shows only white space]";

}  // namespace

std::vector<std::string> FormatTelegramParts(std::string_view text, std::size_t limit,
                                             std::size_t maxParts) {
  const auto segments = ParseFramedText(ChatVisibleText(text));
  std::vector<std::string> parts;
  for (const auto& part : PackBounded(
           segments, limit, [](const TChatSegment&) { return 0; }, maxParts))
    parts.push_back(RenderTelegram(part));
  // The placeholder is split like any text, so that no part exceeds the limit.
  if (parts.empty()) return FormatTelegramParts(kBlankText, limit, maxParts);
  return parts;
}

std::vector<std::string> FormatDiscordParts(std::string_view text, std::size_t limit,
                                            std::size_t maxParts) {
  const std::string visible = ChatVisibleText(text);
  if (IsBlank(visible)) return FormatDiscordParts(kBlankText, limit, maxParts);
  if (ChatLength(visible) <= limit) return {visible};
  const auto segments = ParseFramedText(visible);
  auto overhead = [](const TChatSegment& s) -> std::size_t {
    switch (s.Kind) {
      case TChatSegment::ckBold:
        return 4;
      case TChatSegment::ckCode:
        return 2 * kFence.size() + ChatLength(s.Lang) + 1;
      default:
        return 0;
    }
  };
  std::vector<std::string> parts;
  for (const auto& part : PackBounded(segments, limit, overhead, maxParts))
    parts.push_back(RenderDiscord(part));
  if (parts.empty()) return FormatDiscordParts(kBlankText, limit, maxParts);
  return parts;
}

bool SendParts(const std::vector<std::string>& parts,
               const std::function<TPartResult(const std::string&)>& send, std::string& error) {
  std::string firstError;
  std::vector<std::size_t> failed;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const TPartResult result = send(parts[i]);
    if (result == TPartResult::prSent) continue;
    if (failed.empty()) firstError = error;
    failed.push_back(i + 1);
    if (result == TPartResult::prStopped) {
      for (std::size_t j = i + 2; j <= parts.size(); ++j) failed.push_back(j);
      break;
    }
  }
  if (failed.empty()) {
    error.clear();
    return true;
  }
  error = firstError;
  if (parts.size() > 1) {
    error += failed.size() == 1 ? " (part " : " (parts ";
    for (std::size_t k = 0; k < failed.size(); ++k)
      error += (k == 0 ? "" : ", ") + std::to_string(failed[k]);
    error += " of " + std::to_string(parts.size()) + ")";
  }
  return false;
}

std::optional<std::string> JsonStringMember(std::string_view json, std::string_view key) {
  std::size_t p = FindMember(json, key);
  if (p == std::string_view::npos || p >= json.size() || json[p] != '"') return std::nullopt;
  std::string out;
  for (++p; p < json.size(); ++p) {
    char c = json[p];
    if (c == '"') return out;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++p >= json.size()) break;
    switch (json[p]) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'u': {
        if (p + 4 >= json.size()) return std::nullopt;
        unsigned cp = HexUnit(json.substr(p + 1, 4));
        p += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF && p + 6 < json.size() && json[p + 1] == '\\' &&
            json[p + 2] == 'u') {
          unsigned lo = HexUnit(json.substr(p + 3, 4));
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            p += 6;
          }
        }
        AppendUtf8(out, cp);
        break;
      }
      default:
        out += json[p];
        break;
    }
  }
  return std::nullopt;
}

std::optional<double> JsonNumberMember(std::string_view json, std::string_view key) {
  std::size_t p = FindMember(json, key);
  if (p == std::string_view::npos || p >= json.size()) return std::nullopt;
  auto number = ReadWireNumberPrefix(json.substr(p));
  if (!number) return std::nullopt;
  return number->Value;
}

std::string HideSecrets(std::string text, const std::vector<std::string>& secrets) {
  for (const auto& secret : secrets) {
    if (secret.empty()) continue;
    std::size_t pos = 0;
    while ((pos = text.find(secret, pos)) != std::string::npos) {
      text.replace(pos, secret.size(), "***");
      pos += 3;
    }
  }
  return text;
}

std::string ChatFailureText(const char* sender, int status, const std::string& statusText,
                            const std::string& answer, const std::string& detailKey) {
  const std::string detail = JsonStringMember(answer, detailKey).value_or("");
  std::string error = std::string(sender) + ": HTTP " + std::to_string(status);
  if (!statusText.empty()) error += " " + statusText;
  if (!detail.empty()) error += ": " + detail;
  return error;
}

std::string RetryTooLongText(std::chrono::milliseconds wait) {
  return " (retry after " + std::to_string((wait.count() + 999) / 1000) + " s is too long to wait)";
}

}  // namespace vel::chat
