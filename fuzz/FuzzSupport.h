#pragma once

// Shared bits of the fuzz targets: a property check that stops the run with a readable
// message (libFuzzer then saves the input), and a private scratch folder.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#define VEL_FUZZ_CHECK(cond, what)                                                       \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "property failed: %s (%s:%d)\n", (what), __FILE__, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace vel::fuzz {

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A folder of this process's own under the system's temp folder, removed at exit.
inline const std::filesystem::path& ScratchDir() {
  struct TDir {
    std::filesystem::path path;
    TDir() {
      path = std::filesystem::temp_directory_path() / ("velfuzz_" + std::to_string(::getpid()));
      std::filesystem::create_directories(path);
    }
    ~TDir() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  };
  static TDir dir;
  return dir.path;
}

// Strictly well-formed UTF-8 (the form the senders receive after the strict file decode or
// the UTF-16 conversion); an independent reading, not the product's own.
inline bool WellFormedUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      const unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

}  // namespace vel::fuzz
