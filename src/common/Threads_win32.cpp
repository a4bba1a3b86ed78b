#include <new>
#include <string>

#include "common/Threads.h"
#include "common/WinApi_win32.h"

// mingw-w64 10's headers lack these two (Windows 10 1607 and later; the import library has
// them).
extern "C" {
__declspec(dllimport) HRESULT WINAPI SetThreadDescription(HANDLE thread, PCWSTR description);
__declspec(dllimport) HRESULT WINAPI GetThreadDescription(HANDLE thread, PWSTR* description);
}

namespace vel {

namespace {
// The thread that runs the static initialisers of the program: its main thread.
const DWORD gMainThreadId = ::GetCurrentThreadId();

PSRWLOCK Srw(unsigned char* storage) {
  return reinterpret_cast<PSRWLOCK>(storage);
}
}  // namespace

namespace detail {
bool IsMainThread() {
  return ::GetCurrentThreadId() == gMainThreadId;
}
}  // namespace detail

// Windows keeps the whole name (no length limit worth cutting for).
void SetCurrentThreadName(const std::string& name) {
  ::SetThreadDescription(::GetCurrentThread(), win::Wide(name).c_str());
}

std::string GetCurrentThreadName() {
  PWSTR description = nullptr;
  if (FAILED(::GetThreadDescription(::GetCurrentThread(), &description)) || !description)
    return {};
  std::string name = win::Narrow(description);
  ::LocalFree(description);
  return name;
}

TOsReadWriteLock::TOsReadWriteLock() {
  static_assert(sizeof(SRWLOCK) <= sizeof storage_);
  new (storage_) SRWLOCK;
  ::InitializeSRWLock(Srw(storage_));
}
TOsReadWriteLock::~TOsReadWriteLock() = default;  // a slim lock word needs no release
void TOsReadWriteLock::LockShared() {
  ::AcquireSRWLockShared(Srw(storage_));
}
void TOsReadWriteLock::UnlockShared() {
  ::ReleaseSRWLockShared(Srw(storage_));
}
bool TOsReadWriteLock::TryLockShared() {
  return ::TryAcquireSRWLockShared(Srw(storage_)) != 0;
}
void TOsReadWriteLock::Lock() {
  ::AcquireSRWLockExclusive(Srw(storage_));
}
void TOsReadWriteLock::Unlock() {
  ::ReleaseSRWLockExclusive(Srw(storage_));
}
bool TOsReadWriteLock::TryLock() {
  return ::TryAcquireSRWLockExclusive(Srw(storage_)) != 0;
}

}  // namespace vel
