#pragma once

// An operating-system handle as portable code holds it: a file descriptor on Linux, a HANDLE
// on Windows. Portable code only stores, compares and passes it on; the *_linux.cpp and
// *_win32.cpp files turn it into the system's own type with OsHandleValue.

#include <cstdint>

namespace vel {

enum class TOsHandle : std::intptr_t {
  Invalid = -1  // no handle: -1 is both the invalid descriptor and INVALID_HANDLE_VALUE
};

constexpr std::intptr_t OsHandleValue(TOsHandle handle) {
  return static_cast<std::intptr_t>(handle);
}
constexpr TOsHandle MakeOsHandle(std::intptr_t value) {
  return static_cast<TOsHandle>(value);
}

}  // namespace vel
