#pragma once

// File names are UTF-8 text in this process. A std::filesystem::path made from a narrow
// std::string reads it in the system's narrow encoding, which on Windows is the ANSI code page
// (a UTF-8 "café" would become "cafÃ©" on disk), so every path made from text goes through
// these two, which say UTF-8 on every system.

#include <filesystem>
#include <string>
#include <string_view>

namespace vel {

inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace vel
