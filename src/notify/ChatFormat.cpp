#include "notify/ChatFormat.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "common/Utf.h"

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

bool IsBlank(std::string_view s) {
  for (char c : s)
    if (!std::isspace(static_cast<unsigned char>(c))) return false;
  return true;
}

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

// Greedy packing of the segments into parts of at most `limit` characters, counting each
// piece's text plus its markup overhead. Cuts prefer a line end; a part never consists of
// blank text only.
std::vector<std::vector<TChatSegment>> Pack(const std::vector<TChatSegment>& segments,
                                            std::size_t limit, const TOverhead& overhead) {
  std::vector<std::vector<TChatSegment>> parts;
  std::vector<TChatSegment> current;
  std::size_t used = 0;
  bool visible = false;
  auto flush = [&] {
    if (!current.empty()) parts.push_back(std::move(current));
    current.clear();
    used = 0;
    visible = false;
  };
  for (const TChatSegment& segment : segments) {
    std::string_view rest = segment.Text;
    const std::size_t over = overhead(segment);
    while (!rest.empty()) {
      const std::size_t avail = limit > used + over ? limit - used - over : 0;
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
      std::size_t cut = 0;
      if (fit > 0) {
        std::size_t nl = rest.substr(0, fit).rfind('\n');
        if (nl != std::string_view::npos) cut = nl + 1;
      }
      // Start the piece on a fresh part rather than cut it mid-line, or when nothing of it
      // fits beside what the part holds already.
      if (cut == 0 && (visible || (fit == 0 && !current.empty()))) {
        flush();
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
          continue;
        }
      }
      current.push_back({segment.Kind, segment.Lang, std::string(rest.substr(0, cut))});
      visible = visible || !IsBlank(rest.substr(0, cut));
      rest.remove_prefix(cut);
      flush();
    }
  }
  flush();
  return parts;
}

std::string RenderTelegram(const std::vector<TChatSegment>& part) {
  std::string out;
  for (const auto& s : part) {
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

std::vector<std::string> FormatTelegramParts(std::string_view text, std::size_t limit) {
  const auto segments = ParseFramedText(text);
  std::vector<std::string> parts;
  for (const auto& part : Pack(segments, limit, [](const TChatSegment&) { return 0; }))
    parts.push_back(RenderTelegram(part));
  if (parts.empty()) parts.emplace_back();
  return parts;
}

std::vector<std::string> FormatDiscordParts(std::string_view text, std::size_t limit) {
  if (ChatLength(text) <= limit) return {std::string(text)};
  const auto segments = ParseFramedText(text);
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
  for (const auto& part : Pack(segments, limit, overhead)) parts.push_back(RenderDiscord(part));
  return parts;
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
        unsigned cp = std::strtoul(std::string(json.substr(p + 1, 4)).c_str(), nullptr, 16);
        p += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF && p + 6 < json.size() && json[p + 1] == '\\' &&
            json[p + 2] == 'u') {
          unsigned lo = std::strtoul(std::string(json.substr(p + 3, 4)).c_str(), nullptr, 16);
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
  std::string number;
  while (p < json.size() && (std::isdigit(static_cast<unsigned char>(json[p])) || json[p] == '.' ||
                             json[p] == '-' || json[p] == '+' || json[p] == 'e' || json[p] == 'E'))
    number += json[p++];
  if (number.empty()) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(number.c_str(), &end);
  if (end == number.c_str()) return std::nullopt;
  return value;
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

TChatFailure ReadChatFailure(const char* sender, int status, const std::string& statusText,
                             const std::string& answer, const std::string& detailKey,
                             const std::string& retryAfterHeader) {
  TChatFailure f;
  const std::string detail = JsonStringMember(answer, detailKey).value_or("");
  f.Error = std::string(sender) + ": HTTP " + std::to_string(status);
  if (!statusText.empty()) f.Error += " " + statusText;
  if (!detail.empty()) f.Error += ": " + detail;
  if (status == 429) {
    double seconds = JsonNumberMember(answer, "retry_after").value_or(-1);
    if (seconds < 0) seconds = std::atof(retryAfterHeader.c_str());
    if (!(seconds >= 0)) seconds = 1;
    f.RetryAfter = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
  }
  return f;
}

std::string RetryTooLongText(std::chrono::milliseconds wait) {
  return " (retry after " + std::to_string((wait.count() + 999) / 1000) + " s is too long to wait)";
}

}  // namespace vel::chat
