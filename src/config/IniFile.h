#pragma once

// A read-only INI file with the rules the configuration relies on:
// - section and key names match without regard to ASCII letter case;
// - a value is the text after the first "=" with surrounding blanks removed, and one pair of
//   matching surrounding double or single quotes is removed;
// - at most kMaxValueLength characters (UTF-16 code units) of a value are returned;
// - lines starting with ";" are comments; the first occurrence of a section or key wins;
// - a section counts as present only when it holds at least one key;
// - a UTF-8 byte-order mark is skipped, a UTF-16LE file with its mark is read as well; a missing or
// unreadable file reads as empty;
// - bad lines (no "=", an unterminated section header, NUL bytes, lines longer than
//   kMaxLineLength bytes) are skipped.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

class TVelIniFile {
 public:
  static constexpr size_t kMaxValueLength = 2047;
  static constexpr size_t kMaxLineLength = 65536;

  // Reads the whole file now; nothing is kept open.
  explicit TVelIniFile(const std::string& fileName);
  // Parses text already in memory.
  static TVelIniFile FromText(std::string_view text);

  const std::string& FileName() const { return FFileName; }
  // Why an existing file could not be read ("" when it was read or does not exist); the
  // file then reads as empty.
  const std::string& ReadError() const { return FReadError; }

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
  std::vector<Section> FSections;
};

}  // namespace vel
