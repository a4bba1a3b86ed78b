#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>
#include <string>

#include "common/Threads.h"

namespace vel {

namespace detail {
// The process's first thread has the process's id as its thread id.
bool IsMainThread() {
  return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
}
}  // namespace detail

void SetCurrentThreadName(const std::string& name) {
  constexpr std::size_t kMax = 15;  // the kernel keeps 16 bytes with the terminator
  std::string cut = name.substr(0, kMax);
  if (name.size() > kMax) {
    // Do not leave half a UTF-8 sequence at the end: back off to the start of the character
    // that the cut went through.
    std::size_t end = kMax;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    cut = name.substr(0, end);
  }
  ::pthread_setname_np(::pthread_self(), cut.c_str());
}

namespace {
pthread_rwlock_t* Rw(unsigned char* storage) {
  return reinterpret_cast<pthread_rwlock_t*>(storage);
}
}  // namespace

TOsReadWriteLock::TOsReadWriteLock() {
  static_assert(sizeof(pthread_rwlock_t) <= sizeof storage_);
  static_assert(alignof(pthread_rwlock_t) <= 8);
  new (storage_) pthread_rwlock_t;
  ::pthread_rwlock_init(Rw(storage_), nullptr);
}
TOsReadWriteLock::~TOsReadWriteLock() {
  ::pthread_rwlock_destroy(Rw(storage_));
}
void TOsReadWriteLock::LockShared() {
  ::pthread_rwlock_rdlock(Rw(storage_));
}
void TOsReadWriteLock::UnlockShared() {
  ::pthread_rwlock_unlock(Rw(storage_));
}
bool TOsReadWriteLock::TryLockShared() {
  return ::pthread_rwlock_tryrdlock(Rw(storage_)) == 0;
}
void TOsReadWriteLock::Lock() {
  ::pthread_rwlock_wrlock(Rw(storage_));
}
void TOsReadWriteLock::Unlock() {
  ::pthread_rwlock_unlock(Rw(storage_));
}
bool TOsReadWriteLock::TryLock() {
  return ::pthread_rwlock_trywrlock(Rw(storage_)) == 0;
}

std::string GetCurrentThreadName() {
  char buffer[16] = {};
  if (::pthread_getname_np(::pthread_self(), buffer, sizeof buffer) != 0) return {};
  return buffer;
}

}  // namespace vel
