#pragma once

// A read-only INI file with the rules the configuration relies on:
// - section and key names match without regard to ASCII letter case;
// - a value is the text after the first "=" with surrounding blanks removed, and one pair of
//   matching surrounding double or single quotes is removed;
// - at most kMaxValueLength characters (UTF-16 code units) of a value are returned;
// - lines starting with ";" are comments; the first occurrence of a section or key wins;
// - a section counts as present only when it holds at least one key;
// - the bytes are decoded by DecodeExternalText: UTF-8 with or without its byte-order mark,
//   UTF-16LE or UTF-16BE with theirs, anything else in the ANSI code page (a file saved by an
//   editor in a legacy code page), so every value is well-formed UTF-8; a missing or
//   unreadable file reads as empty;
// - bad lines (no "=", an unterminated section header, NUL bytes, lines longer than
//   kMaxLineLength bytes) are skipped.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/TextDecoding.h"

namespace vel {

class TVelIniFile {
 public:
  static constexpr size_t kMaxValueLength = 2047;
  static constexpr size_t kMaxLineLength = 65536;

  // Reads the whole file now; nothing is kept open.
  explicit TVelIniFile(const std::string& fileName);
  // Parses bytes already in memory, decoded as a file's are.
  static TVelIniFile FromText(std::string_view text);

  const std::string& FileName() const { return FFileName; }
  // Why an existing file could not be read ("" when it was read or does not exist); the
  // file then reads as empty.
  const std::string& ReadError() const { return FReadError; }
  // How the file's bytes were decoded.
  TTextEncoding Encoding() const { return FEncoding; }

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  // The value when the key is present (possibly empty).
  std::optional<std::string> ReadValue(std::string_view section, std::string_view key) const;

  // The value whenever the key is present, even when empty; the default only when absent.
  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& def) const;
  // Decimal with optional sign, or hexadecimal after "$" or "0x"; anything that does not
  // convert, or lies outside the 32-bit signed range, gives the default.
  int ReadInteger(std::string_view section, std::string_view key, int def) const;
  // Empty or absent gives the default; otherwise true exactly for "true", "t", "yes", "y" or
  // "1" (any letter case), false for any other text.
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  // The names of the sections that hold at least one key, in file order.
  std::vector<std::string> Sections() const;

  // The integer rule on its own, for callers that hold a value already.
  static std::optional<int> ParseInteger(std::string_view text);

 private:
  TVelIniFile() = default;
  void Parse(std::string_view text);

  struct Key {
    std::string name;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
  };
  const Section* FindSection(std::string_view name) const;

  std::string FFileName;
  std::string FReadError;
  TTextEncoding FEncoding = TTextEncoding::teUtf8;
  std::vector<Section> FSections;
};

}  // namespace vel
