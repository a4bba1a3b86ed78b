#pragma once

// Status-channel names that no other test program or test in this one uses, so tests can
// run side by side without meeting on the service's channel name.

#include <unistd.h>

#include <atomic>
#include <string>

namespace vel::test {

inline std::string UniqueMailslotId(const std::string& prefix = "veltest") {
  static std::atomic<int> counter{0};
  return prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

}  // namespace vel::test
