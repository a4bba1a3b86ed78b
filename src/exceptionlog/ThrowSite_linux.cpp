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

using CxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

CxaThrow RealThrow();

}  // namespace

extern "C" [[noreturn, gnu::weak]] void __cxa_throw(void* object, std::type_info* type,
                                                    void (*destructor)(void*)) {
  vel::exceptionlog_detail::RecordThrow(object, __builtin_return_address(0));
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
  return RecordedThrowSite(exceptionObject);
}

}  // namespace vel::exceptionlog_detail
