#include "config/IniFile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/Paths.h"
#include "common/TextDecoding.h"

namespace vel {

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Cuts s after at most maxUnits UTF-16 code units, never inside a character.
std::string_view CapUtf16Units(std::string_view s, size_t maxUnits) {
  size_t units = 0, i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80                   ? 1
                 : (c >= 0xF0 && c <= 0xF4) ? 4
                 : (c >= 0xE0)              ? 3
                 : (c >= 0xC0)              ? 2
                                            : 1;
    size_t need = len == 4 ? 2 : 1;
    if (units + need > maxUnits) break;
    // Take the continuation bytes that are really there.
    size_t k = 1;
    while (k < len && i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80)
      ++k;
    i += k;
    units += need;
  }
  return s.substr(0, i);
}

}  // namespace

TVelIniFile::TVelIniFile(const std::string& fileName) : FFileName(fileName) {
  std::error_code ec;
  auto status = std::filesystem::status(PathFromUtf8(fileName), ec);
  if (!std::filesystem::exists(status)) return;  // a missing file is not an error
  if (!std::filesystem::is_regular_file(status)) {
    FReadError = "not a regular file";
    return;
  }
  try {
    std::ifstream in(PathFromUtf8(fileName), std::ios::binary);
    if (!in) {
      FReadError = std::strerror(errno);
      return;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
      FReadError = "read error";
      return;
    }
    TDecodedText decoded = DecodeExternalText(text);
    FEncoding = decoded.Encoding;
    Parse(decoded.Text);
  } catch (const std::exception& e) {
    FSections.clear();
    FReadError = e.what();
  }
}

TVelIniFile TVelIniFile::FromText(std::string_view text) {
  TVelIniFile ini;
  TDecodedText decoded = DecodeExternalText(text);
  ini.FEncoding = decoded.Encoding;
  ini.Parse(decoded.Text);
  return ini;
}

void TVelIniFile::Parse(std::string_view text) {
  // The section that receives keys. None before the first header, after a broken header
  // (so keys never land in a section they were not written under) and in a later duplicate
  // of a section, which the first occurrence shadows.
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t current = kNone;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxLineLength || line.find('\0') != std::string_view::npos) continue;
    line = TrimBlanks(line);
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) {
        current = kNone;
        continue;
      }
      std::string_view name = TrimBlanks(line.substr(1, close - 1));
      bool seen = false;
      for (const auto& sec : FSections) seen = seen || SameText(sec.name, name);
      current = kNone;
      if (!seen) {
        FSections.push_back(Section{std::string(name), {}});
        current = FSections.size() - 1;
      }
      continue;
    }

    size_t eq = line.find('=');
    if (eq == std::string_view::npos || current == kNone) continue;
    std::string_view key = TrimBlanks(line.substr(0, eq));
    if (key.empty()) continue;
    Section& sec = FSections[current];
    bool dup = false;
    for (const auto& k : sec.keys) dup = dup || SameText(k.name, key);
    if (dup) continue;
    std::string_view value = TrimBlanks(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    value = CapUtf16Units(value, kMaxValueLength);
    sec.keys.push_back(Key{std::string(key), std::string(value)});
  }
}

const TVelIniFile::Section* TVelIniFile::FindSection(std::string_view name) const {
  for (const auto& s : FSections)
    if (SameText(s.name, name)) return s.keys.empty() ? nullptr : &s;
  return nullptr;
}

bool TVelIniFile::SectionExists(std::string_view section) const {
  return FindSection(section) != nullptr;
}

bool TVelIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return ReadValue(section, key).has_value();
}

std::optional<std::string> TVelIniFile::ReadValue(std::string_view section,
                                                  std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return std::nullopt;
  for (const auto& k : s->keys)
    if (SameText(k.name, key)) return k.value;
  return std::nullopt;
}

std::string TVelIniFile::ReadString(std::string_view section, std::string_view key,
                                    const std::string& def) const {
  auto v = ReadValue(section, key);
  return v ? *v : def;
}

std::optional<int> TVelIniFile::ParseInteger(std::string_view text) {
  std::string s(text);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.replace(0, 2, "$");
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  }
  if (i >= s.size()) return std::nullopt;
  int64_t value = 0;
  const int64_t limit = negative ? 2147483648LL : 2147483647LL;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    value = value * (hex ? 16 : 10) + digit;
    if (value > limit) return std::nullopt;
  }
  return static_cast<int>(negative ? -value : value);
}

int TVelIniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  auto v = ParseInteger(ReadString(section, key, ""));
  return v ? *v : def;
}

bool TVelIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  std::string v = ReadString(section, key, "");
  if (v.empty()) return def;
  for (const char* word : {"true", "t", "yes", "y", "1"})
    if (SameText(v, word)) return true;
  return false;
}

std::vector<std::string> TVelIniFile::Sections() const {
  std::vector<std::string> out;
  for (const auto& s : FSections)
    if (!s.keys.empty()) out.push_back(s.name);
  return out;
}

}  // namespace vel
