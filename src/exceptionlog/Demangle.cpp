// Readable names from the compiler's mangled ones (the same C++ runtime on every system).

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "exceptionlog/ExceptionLogPlatform.h"

namespace vel::exceptionlog_detail {

std::string Demangle(const char* name) {
  if (name == nullptr) return {};
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> readable(
      abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
  if (status == 0 && readable) return readable.get();
  return name;
}

std::string ReadableTypeName(const std::type_info& type) {
  return Demangle(type.name());
}

}  // namespace vel::exceptionlog_detail
