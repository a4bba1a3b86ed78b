#include "notify/MimeMessage.h"

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

bool ParseMailbox(const std::string& entry, TMailAddress& out, std::string& error) {
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
    if (gt == std::string::npos || !Trim(entry.substr(gt + 1)).empty()) {
      error = "Invalid destination address: " + entry;
      return false;
    }
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
  bool bad = address.empty();
  for (char c : address) {
    if (IsBlank(c) || c == '<' || c == '>' || c == '"' || c == 0x7f) bad = true;
  }
  for (char c : name) {
    if (c == '\r' || c == '\n') bad = true;
  }
  if (bad) {
    error = "Invalid destination address: " + entry;
    return false;
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

bool ParseMailAddresses(const std::string& text, std::vector<TMailAddress>& out,
                        std::string& error) {
  out.clear();
  std::string entry;
  bool quoted = false, angle = false;
  auto flush = [&]() {
    std::string e = Trim(entry);
    entry.clear();
    if (e.empty()) return true;
    TMailAddress m;
    if (!ParseMailbox(e, m, error)) return false;
    out.push_back(std::move(m));
    return true;
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
      if (!flush()) return false;
      continue;
    }
    entry += c;
  }
  if (quoted || angle) {
    error = "Invalid destination address: " + Trim(entry);
    return false;
  }
  return flush();
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

std::string EncodeHeaderText(const std::string& text) {
  std::string clean = text;
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 32 || c == 0x7f) c = ' ';
  }
  // Plain text stays readable; very long lines are encoded so they can be folded.
  if (IsPlainAscii(clean) && clean.size() <= 900 && clean.find("=?") == std::string::npos)
    return clean;
  // 45 bytes become 60 base64 characters: each word stays within 75 characters.
  constexpr size_t kChunk = 45;
  std::string out;
  size_t i = 0;
  while (i < clean.size()) {
    size_t end = i;
    while (end < clean.size()) {
      size_t len = Utf8Length(static_cast<unsigned char>(clean[end]));
      if (end + len - i > kChunk) break;
      end += len;
    }
    if (end == i) end = std::min(clean.size(), i + kChunk);
    if (!out.empty()) out += "\r\n ";
    out += "=?utf-8?B?" + Base64(clean.substr(i, end - i)) + "?=";
    i = end;
  }
  return out;
}

std::string FormatMailbox(const TMailAddress& mailbox) {
  std::string addr = "<" + mailbox.Address + ">";
  if (mailbox.Name.empty()) return addr;
  if (!IsPlainAscii(mailbox.Name)) return EncodeHeaderText(mailbox.Name) + " " + addr;
  std::string quoted = "\"";
  for (char c : mailbox.Name) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\" " + addr;
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
  m += "From: " + FormatMailbox({FromName, FromAddress}) + "\r\n";
  if (!Organization.empty()) m += "Organization: " + EncodeHeaderText(Organization) + "\r\n";
  m += "To: ";
  for (size_t i = 0; i < Recipients.size(); ++i) {
    if (i > 0) m += ",\r\n ";
    m += FormatMailbox(Recipients[i]);
  }
  m += "\r\n";
  m += "Subject: " + EncodeHeaderText(Subject) + "\r\n";
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
