#pragma once

#include <stdexcept>
#include <string>

namespace vel {

// The system's exception class. Every failure the system raises is a vel::Exception or a
// class derived from it; guarded runners catch std::exception so that library errors
// (std::bad_alloc, std::system_error) are logged the same way.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace vel
