#pragma once

// Helpers shared by the exception-log writer's tests.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace vel::test {

// The regular files in folder, sorted by name.
inline std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Splits text at CR LF; a trailing CR LF gives no empty last line. Lines that end without CR
// are kept with a marker so that a test can see them.
inline std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back("<no CR LF>" + text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

inline const std::string& Separator() {
  static const std::string line(120, '-');
  return line;
}

}  // namespace vel::test
