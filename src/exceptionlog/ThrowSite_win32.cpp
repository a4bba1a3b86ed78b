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

extern "C" [[noreturn]] void __real___cxa_throw(void* object, std::type_info* type,
                                                void (*destructor)(void*));

extern "C" [[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type,
                                                void (*destructor)(void*)) {
  vel::exceptionlog_detail::RecordThrow(object, __builtin_return_address(0));
  __real___cxa_throw(object, type, destructor);
}

namespace vel::exceptionlog_detail {

const void* ThrowSiteOf(const void* exceptionObject) {
  return RecordedThrowSite(exceptionObject);
}

}  // namespace vel::exceptionlog_detail
