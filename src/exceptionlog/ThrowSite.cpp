// The record of the last few throws of each thread, which the throw hook of each system
// (ThrowSite_linux.cpp, ThrowSite_win32.cpp) fills.

#include "exceptionlog/ExceptionLogPlatform.h"

namespace vel::exceptionlog_detail {

namespace {

struct ThrowRecord {
  const void* object;
  const void* site;
};

// A few entries, so that exceptions thrown and caught while the first one is being handled
// do not push it out at once. Trivial types only: the hook may run before any thread-local
// constructor could.
constexpr int kRecords = 4;
thread_local ThrowRecord tRecords[kRecords];
thread_local unsigned tNext;

}  // namespace

void RecordThrow(const void* exceptionObject, const void* site) {
  tRecords[tNext % kRecords] = {exceptionObject, site};
  ++tNext;
}

const void* RecordedThrowSite(const void* exceptionObject) {
  if (exceptionObject == nullptr) return nullptr;
  for (int i = 1; i <= kRecords; ++i) {
    const ThrowRecord& r = tRecords[(tNext - static_cast<unsigned>(i)) % kRecords];
    if (r.object == exceptionObject) return r.site;
  }
  return nullptr;
}

}  // namespace vel::exceptionlog_detail
