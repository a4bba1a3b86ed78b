// Remembers where the last few exceptions of each thread were thrown, so that a report can
// name the throw site rather than the catch handler that logs it.
//
// The C++ runtime raises every exception through __cxa_throw. This file defines it weakly
// in the application: with the shared runtime (the usual case) the application's definition
// comes first in symbol lookup, so throws from the runtime's own code pass through here too;
// the real one is found with RTLD_NEXT. With a statically linked runtime the runtime's
// strong definition wins, nothing is recorded, and reports name the catch site instead.

#include <dlfcn.h>

#include <cstdlib>
#include <typeinfo>

#include "exceptionlog/ExceptionLogPlatform.h"

namespace {

struct ThrowRecord {
  const void* object;
  const void* site;
};

// A few entries, so that exceptions thrown and caught while the first one is being handled
// do not push it out at once. Trivial types only: this runs before any thread-local
// constructor could.
constexpr int kRecords = 4;
thread_local ThrowRecord tRecords[kRecords];
thread_local unsigned tNext;

using CxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

CxaThrow RealThrow();

}  // namespace

extern "C" [[noreturn, gnu::weak]] void __cxa_throw(void* object, std::type_info* type,
                                                    void (*destructor)(void*)) {
  tRecords[tNext % kRecords] = {object, __builtin_return_address(0)};
  ++tNext;
  RealThrow()(object, type, destructor);
  __builtin_unreachable();
}

namespace {

CxaThrow RealThrow() {
  static const CxaThrow real = [] {
    auto next = reinterpret_cast<CxaThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
    // Without a runtime after us there is nothing that could raise the exception.
    if (next == nullptr || next == &__cxa_throw) std::abort();
    return next;
  }();
  return real;
}

}  // namespace

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
