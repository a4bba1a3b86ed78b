#include "notify/MimeMessage.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>

namespace vel {

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// The mailbox an entry of an address list names; false when it names none we could send to.
bool ParseMailbox(const std::string& entry, TMailAddress& out) {
  std::string name, address;
  size_t lt = std::string::npos;
  bool quoted = false;
  for (size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] == '"')
      quoted = !quoted;
    else if (entry[i] == '\\' && quoted)
      ++i;
    else if (entry[i] == '<' && !quoted) {
      lt = i;
      break;
    }
  }
  if (lt != std::string::npos) {
    size_t gt = entry.find('>', lt);
    if (gt == std::string::npos || !Trim(entry.substr(gt + 1)).empty()) return false;
    address = Trim(entry.substr(lt + 1, gt - lt - 1));
    name = Trim(entry.substr(0, lt));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
      std::string unquoted;
      for (size_t i = 1; i + 1 < name.size(); ++i) {
        if (name[i] == '\\' && i + 2 < name.size()) ++i;
        unquoted += name[i];
      }
      name = unquoted;
    }
  } else {
    address = entry;
  }
  const size_t at = address.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == address.size()) return false;
  for (char c : address) {
    if (IsBlank(c) || c == '<' || c == '>' || c == '"' || c == 0x7f) return false;
  }
  for (char c : name) {
    if (c == '\r' || c == '\n') return false;
  }
  out = {name, address};
  return true;
}

bool IsPlainAscii(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 32 || c > 126) return false;
  }
  return true;
}

// Length of the UTF-8 sequence that starts with c (1 for stray bytes, so nothing is lost).
size_t Utf8Length(unsigned char c) {
  if (c >= 0xF0 && c < 0xF8) return 4;
  if (c >= 0xE0) return c < 0xF0 ? 3 : 1;
  if (c >= 0xC0) return 2;
  return 1;
}

std::string RandomHex(size_t bytes) {
  thread_local std::mt19937_64 gen{std::random_device{}()};
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes; ++i) {
    auto v = static_cast<unsigned>(gen() & 0xff);
    out += hex[v >> 4];
    out += hex[v & 15];
  }
  return out;
}

}  // namespace

std::string Base64(const std::string& bytes) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 |
                 (unsigned char)bytes[i + 2];
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
  }
  if (i + 1 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16;
    out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char ch : text) {
    int d;
    if (ch >= 'A' && ch <= 'Z')
      d = ch - 'A';
    else if (ch >= 'a' && ch <= 'z')
      d = ch - 'a' + 26;
    else if (ch >= '0' && ch <= '9')
      d = ch - '0' + 52;
    else if (ch == '+')
      d = 62;
    else if (ch == '/')
      d = 63;
    else
      continue;  // padding and blanks
    value = (value << 6) | static_cast<unsigned>(d);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return out;
}

bool ParseMailAddresses(const std::string& text, std::vector<TMailAddress>& out,
                        std::vector<std::string>& invalid, std::string& error) {
  out.clear();
  invalid.clear();
  std::string entry;
  bool quoted = false, angle = false;
  auto flush = [&]() {
    std::string e = Trim(entry);
    entry.clear();
    if (e.empty()) return;
    TMailAddress m;
    if (ParseMailbox(e, m))
      out.push_back(std::move(m));
    else
      invalid.push_back(std::move(e));
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"' && !angle)
      quoted = !quoted;
    else if (c == '\\' && quoted && i + 1 < text.size()) {
      entry += c;
      c = text[++i];
    } else if (c == '<' && !quoted)
      angle = true;
    else if (c == '>' && !quoted)
      angle = false;
    else if ((c == ',' || c == ';') && !quoted && !angle) {
      flush();
      continue;
    }
    entry += c;
  }
  if (quoted || angle) {
    error = "Invalid destination address: " + Trim(entry);
    return false;
  }
  flush();
  return true;
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

constexpr size_t kMaxHeaderLine = 76;

// Lays out a header field: pieces that are never split, separated by blanks, a new line
// (starting with a blank) whenever the next piece would pass the line limit.
class THeaderFolder {
 public:
  explicit THeaderFolder(const std::string& label) : FText(label + ":"), FLine(FText.size()) {}

  void Piece(const std::string& piece) {
    if (FPieces > 0 && FLine + 1 + piece.size() > kMaxHeaderLine) Fold();
    FText += " " + piece;
    FLine += 1 + piece.size();
    ++FPieces;
  }

  // The text as encoded words, each filling the room left on its line; blanks between
  // encoded words vanish when they are decoded, so the text comes back unchanged. With
  // whole, text that fits one line goes as one word: some readers of address headers keep
  // the blank between two words of a display name.
  void Encoded(const std::string& text, bool whole = false) {
    constexpr size_t kFrame = 12;  // "=?utf-8?B?" and "?="
    if (whole && 1 + kFrame + (text.size() + 2) / 3 * 4 <= kMaxHeaderLine) {
      Piece("=?utf-8?B?" + Base64(text) + "?=");
      return;
    }
    size_t i = 0;
    while (i < text.size()) {
      const size_t used = FLine + 1 + kFrame;
      const size_t maxBytes = used < kMaxHeaderLine ? (kMaxHeaderLine - used) / 4 * 3 : 0;
      size_t end = i;
      while (end < text.size()) {
        size_t len = Utf8Length(static_cast<unsigned char>(text[end]));
        if (end + len - i > maxBytes) break;
        end += len;
      }
      if (end == i) {
        if (FPieces > 0) {
          Fold();
          continue;
        }
        end = std::min(text.size(), i + Utf8Length(static_cast<unsigned char>(text[i])));
      }
      Piece("=?utf-8?B?" + Base64(text.substr(i, end - i)) + "?=");
      i = end;
    }
  }

  std::string Text() const { return FText + "\r\n"; }

 private:
  void Fold() {
    FText += "\r\n";
    FLine = 0;
    FPieces = 0;
  }

  std::string FText;
  size_t FLine;
  int FPieces = 0;
};

std::string WithoutControls(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 32 || c == 0x7f) c = ' ';
  }
  return text;
}

// The words of printable ASCII text that can be folded at its blanks and read back the same:
// no blank at either end, no word longer than a continuation line, nothing an RFC 2047
// reader would take for an encoded word. A run of blanks gives empty words.
bool FoldableWords(const std::string& text, std::vector<std::string>& words) {
  if (!IsPlainAscii(text) || text.find("=?") != std::string::npos || text.front() == ' ' ||
      text.back() == ' ')
    return false;
  words.clear();
  size_t pos = 0;
  for (;;) {
    size_t blank = text.find(' ', pos);
    std::string word =
        text.substr(pos, blank == std::string::npos ? std::string::npos : blank - pos);
    if (word.size() + 1 > kMaxHeaderLine) return false;
    words.push_back(std::move(word));
    if (blank == std::string::npos) return true;
    pos = blank + 1;
  }
}

}  // namespace

std::string HeaderField(const std::string& label, const std::string& text) {
  const std::string clean = WithoutControls(text);
  THeaderFolder folder(label);
  std::vector<std::string> words;
  if (clean.empty()) {
    // nothing after the label
  } else if (FoldableWords(clean, words)) {
    for (const auto& w : words) folder.Piece(w);
  } else {
    folder.Encoded(clean);
  }
  return folder.Text();
}

std::string MailboxField(const std::string& label, const std::vector<TMailAddress>& mailboxes) {
  // A quoted name longer than this is encoded instead, so that it can be folded.
  constexpr size_t kMaxQuotedName = 60;
  THeaderFolder folder(label);
  for (size_t i = 0; i < mailboxes.size(); ++i) {
    const std::string name = WithoutControls(mailboxes[i].Name);
    if (!name.empty()) {
      std::string quoted = "\"";
      for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
      }
      quoted += '"';
      if (IsPlainAscii(name) && quoted.size() <= kMaxQuotedName &&
          name.find("=?") == std::string::npos)
        folder.Piece(quoted);
      else
        folder.Encoded(name, true);
    }
    folder.Piece("<" + mailboxes[i].Address + ">" + (i + 1 < mailboxes.size() ? "," : ""));
  }
  return folder.Text();
}

std::string EncodeQuotedPrintable(const std::string& bytes) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  size_t lineLen = 0;
  auto put = [&](unsigned char c, bool literal) {
    size_t width = literal ? 1 : 3;
    if (lineLen + width > 75) {
      out += "=\r\n";
      lineLen = 0;
    }
    // A dot at the start of a line is encoded so no relay ever mistakes it for the end.
    if (c == '.' && lineLen == 0) literal = false, width = 3;
    if (literal) {
      out += static_cast<char>(c);
    } else {
      out += '=';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
    lineLen += width;
  };
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      out += "\r\n";
      lineLen = 0;
      ++i;
      continue;
    }
    bool lineEnd = i + 1 == bytes.size() || bytes[i + 1] == '\r';
    bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !lineEnd);
    put(c, literal);
  }
  return out;
}

std::string FormatMailDate(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  static const std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  auto secs = floor<seconds>(when);
  auto day = floor<days>(secs);
  year_month_day ymd{day};
  hh_mm_ss hms{secs - day};
  weekday wd{day};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02u %s %04d %02d:%02d:%02d +0000", kDays[wd.c_encoding()],
                static_cast<unsigned>(ymd.day()), kMonths[static_cast<unsigned>(ymd.month()) - 1],
                static_cast<int>(ymd.year()), static_cast<int>(hms.hours().count()),
                static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()));
  return buf;
}

std::string TMimeMessage::Build() const {
  std::string domain = "localhost";
  if (auto at = FromAddress.rfind('@'); at != std::string::npos && at + 1 < FromAddress.size()) {
    domain = FromAddress.substr(at + 1);
  }
  std::string m;
  m += "Date: " + FormatMailDate(std::chrono::system_clock::now()) + "\r\n";
  m += MailboxField("From", {{FromName, FromAddress}});
  if (!Organization.empty()) m += HeaderField("Organization", Organization);
  m += MailboxField("To", Recipients);
  m += HeaderField("Subject", Subject);
  m += "Message-ID: <" + RandomHex(16) + "@" + domain + ">\r\n";
  m += "MIME-Version: 1.0\r\n";
  m += "Content-Type: text/html; charset=utf-8\r\n";
  m += "Content-Transfer-Encoding: quoted-printable\r\n";
  m += "\r\n";
  m += EncodeQuotedPrintable(HtmlBody);
  m += "\r\n";
  return m;
}

}  // namespace vel
