// Remembers where the last few exceptions of each thread were thrown, so that a report can
// name the throw site rather than the catch handler that logs it.
//
// Windows programs link the C++ runtime statically, so the runtime's __cxa_throw cannot be
// overridden by a definition of our own. Instead every module that links this writer is
// linked with -Wl,--wrap=__cxa_throw: the linker sends each call to __cxa_throw, the
// runtime's own throws included, to __wrap___cxa_throw below, which records the site and
// passes on to the real one.

#include <typeinfo>

#include "exceptionlog/ExceptionLogPlatform.h"

namespace {

struct ThrowRecord {
  const void* object;
  const void* site;
};

// A few entries, so that exceptions thrown and caught while the first one is being handled
// do not push it out at once. Trivial types only.
constexpr int kRecords = 4;
thread_local ThrowRecord tRecords[kRecords];
thread_local unsigned tNext;

}  // namespace

extern "C" [[noreturn]] void __real___cxa_throw(void* object, std::type_info* type,
                                                void (*destructor)(void*));

extern "C" [[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type,
                                                void (*destructor)(void*)) {
  tRecords[tNext % kRecords] = {object, __builtin_return_address(0)};
  ++tNext;
  __real___cxa_throw(object, type, destructor);
}

namespace vel::exceptionlog_detail {

const void* ThrowSiteOf(const void* exceptionObject) {
  if (exceptionObject == nullptr) return nullptr;
  for (int i = 1; i <= kRecords; ++i) {
    const ThrowRecord& r = tRecords[(tNext - static_cast<unsigned>(i)) % kRecords];
    if (r.object == exceptionObject) return r.site;
  }
  return nullptr;
}

}  // namespace vel::exceptionlog_detail
