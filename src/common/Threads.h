#pragma once

// Worker threads and the small lock classes of the process.
//
// Ownership: a thread object that an owner creates (TVelTimedThread, or a TVelThreadBase
// started with Start) is joined by its owner's destructor; Finish/Terminate only ask the
// thread to stop and return at once. A thread started with ExecInThread owns itself and is
// destroyed on its own thread when its run has ended.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "common/Exception.h"

namespace vel {

// The work a thread runs. May be empty (then a run does nothing).
using TVelThreadProc = std::function<void()>;
// Work that receives the data pointer handed to ExecInThread (or the thread object itself
// when that pointer was null).
using TVelThreadDataProc = std::function<void(void* data)>;
// Called once when a thread ends, with the exception that escaped its run, or null after a
// normal end.
using TVelTerminateProc = std::function<void(std::exception_ptr fatalException)>;

// Raised when a thread is set up in a way it cannot run (an interval below 1 ms).
class EAssertionFailed : public Exception {
 public:
  using Exception::Exception;
};

// Names the calling thread for debuggers and tools (ps, top, gdb). The system keeps at most
// 15 bytes; a longer name is cut on a character boundary.
void SetCurrentThreadName(const std::string& name);
// The name of the calling thread as the system keeps it ("" when it cannot be read).
std::string GetCurrentThreadName();

class TVelThreadBase {
 public:
  // Created suspended: nothing runs until Start.
  TVelThreadBase(std::string name, TVelThreadProc method);
  // Joins the thread if it was started with Start. A subclass whose overrides the run can
  // reach must call WaitFor in its own destructor, before its members go.
  virtual ~TVelThreadBase();

  TVelThreadBase(const TVelThreadBase&) = delete;
  TVelThreadBase& operator=(const TVelThreadBase&) = delete;

  // Starts the run on a new thread. Calling it twice, or on a thread that owns itself, raises.
  void Start();
  // Sets the terminated flag that the run may test; does not wait.
  virtual void Terminate();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  // Waits until the run has ended and joins the thread (no-op when never started, and when
  // called on the thread itself). On the main thread it runs queued Synchronize calls
  // meanwhile, so a worker that waits for the main thread cannot deadlock with it.
  void WaitFor();

  const std::string& Name() const { return name_; }
  int32_t Tag() const { return tag_; }
  void SetTag(int32_t tag) { tag_ = tag; }
  void* Data() const { return data_; }
  bool Synchronized() const { return synchronize_; }
  void SetSynchronized(bool value) { synchronize_ = value; }
  const TVelThreadProc& Method() const { return method_; }
  void SetMethod(TVelThreadProc method) { method_ = std::move(method); }
  const TVelTerminateProc& OnTerminateProc() const { return onTerminateProc_; }
  void SetOnTerminateProc(TVelTerminateProc proc) { onTerminateProc_ = std::move(proc); }
  // The exception that escaped the run, or null. Read it after WaitFor.
  std::exception_ptr FatalException() const;

  // Runs method on a new thread that owns itself: it is not reachable afterwards and is
  // destroyed on its own thread once its run and the terminate callback are done. T is the
  // class to instantiate (it must be constructible from (std::string, TVelThreadProc)).
  template <class T = TVelThreadBase>
  static void ExecInThread(TVelThreadProc method, const std::string& threadName,
                           TVelTerminateProc onTerminate = nullptr, bool synchronize = false) {
    std::unique_ptr<TVelThreadBase> thread = std::make_unique<T>(threadName, std::move(method));
    thread->Launch(std::move(thread), std::move(onTerminate), synchronize, nullptr);
  }
  // As above, but the work receives data, or the thread object itself when data is null.
  template <class T = TVelThreadBase>
  static void ExecInThread(TVelThreadDataProc method, const std::string& threadName, void* data,
                           TVelTerminateProc onTerminate = nullptr, bool synchronize = false) {
    std::unique_ptr<TVelThreadBase> thread = std::make_unique<T>(threadName, nullptr);
    TVelThreadBase* self = thread.get();
    if (method) thread->SetMethod([self, m = std::move(method)] { m(self->Data()); });
    thread->Launch(std::move(thread), std::move(onTerminate), synchronize, data);
  }

  // Runs call on the main thread (the thread that loaded this library) while the caller
  // waits; on the main thread itself it runs at once. The main thread runs queued calls in
  // CheckSynchronize and while it waits in WaitFor. An exception of call is re-raised in
  // the caller.
  static void Synchronize(const std::function<void()>& call);
  // Runs the queued Synchronize calls; waits up to timeoutMs for one to arrive when none is
  // queued. Returns whether any call ran. Only the main thread runs calls; elsewhere false.
  static bool CheckSynchronize(int timeoutMs = 0);

 protected:
  // The thread's body: by default one ExecuteMethod.
  virtual void RunThread();
  // One run of the work: names the thread, then calls the method.
  virtual void ExecuteMethod();
  // Runs after the run has ended (also after an exception): hands the fatal exception to
  // the terminate callback, on the main thread when Synchronized.
  virtual void ThreadDone();
  void CallOnTerminateProc();

 private:
  void Launch(std::unique_ptr<TVelThreadBase> self, TVelTerminateProc onTerminate, bool synchronize,
              void* data);
  void ThreadMain();

  std::string name_;
  TVelThreadProc method_;
  TVelTerminateProc onTerminateProc_;
  void* data_ = nullptr;
  int32_t tag_ = 0;
  bool synchronize_ = false;
  bool selfOwned_ = false;
  bool started_ = false;   // guarded by stateMutex_
  bool finished_ = false;  // guarded by the Synchronize queue's lock (see Threads.cpp)
  std::atomic<bool> terminated_{false};
  mutable std::mutex stateMutex_;
  std::exception_ptr fatalException_;
  std::thread thread_;
};

// Runs its method again and again with a fixed pause between the end of one run and the start
// of the next, until Finish. Exceptions of a run are discarded (see HandleTickException).
class TVelTimedThread : public TVelThreadBase {
 public:
  TVelTimedThread(std::string name, int intervalMs);
  // Finishes and joins.
  ~TVelTimedThread() override;

  int IntervalMS() const { return intervalMs_; }
  void SetIntervalMS(int value) { intervalMs_ = value; }
  bool ExecuteAtStart() const { return executeAtStart_; }
  void SetExecuteAtStart(bool value) { executeAtStart_ = value; }

  // Asks the loop to end: returns at once, wakes a pause at once and never causes another
  // run. A run in progress completes. Any thread may call it, any number of times.
  void Finish();
  void Terminate() override { Finish(); }

 protected:
  void RunThread() override;
  void ExecuteMethod() override;
  // Called with handled already true when a run raised a std::exception; set handled to
  // false to end the thread with that exception as its fatal exception.
  virtual void HandleTickException(const std::exception& e, bool& handled);

 private:
  void SafeExecuteMethod();

  int intervalMs_;
  bool executeAtStart_ = false;
  std::mutex waitMutex_;
  std::condition_variable wake_;
  bool finishSignalled_ = false;  // the event: set by Finish, never reset
};

// A recursive mutual-exclusion lock. Usable with std::lock_guard / std::unique_lock.
// Aligned to its own cache lines so that two locks side by side do not share one.
class alignas(64) TVelCriticalSection {
 public:
  void Acquire() { mutex_.lock(); }
  void Release() { mutex_.unlock(); }
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// The system's reader/writer lock, held in place (no allocation): a slim reader/writer lock
// word on Windows, a pthread rwlock on Linux (Threads_<os>.cpp).
class TOsReadWriteLock {
 public:
  TOsReadWriteLock();
  ~TOsReadWriteLock();
  TOsReadWriteLock(const TOsReadWriteLock&) = delete;
  TOsReadWriteLock& operator=(const TOsReadWriteLock&) = delete;

  void LockShared();
  void UnlockShared();
  bool TryLockShared();
  void Lock();
  void Unlock();
  bool TryLock();

 private:
  alignas(8) unsigned char storage_[56];
};

// A shared/exclusive lock. The exclusive side is re-entrant for the thread that holds it;
// EndWrite from any other thread does nothing. Readers must not nest, and a reader must not
// ask for the exclusive side.
class TVelSlimReaderWriter {
 public:
  TVelSlimReaderWriter() = default;
  TVelSlimReaderWriter(const TVelSlimReaderWriter&) = delete;
  TVelSlimReaderWriter& operator=(const TVelSlimReaderWriter&) = delete;

  void BeginRead() { lock_.LockShared(); }
  void EndRead() { lock_.UnlockShared(); }
  bool TryBeginRead() { return lock_.TryLockShared(); }
  void BeginWrite();
  void EndWrite();
  bool TryBeginWrite();

 private:
  TOsReadWriteLock lock_;
  std::atomic<std::thread::id> owner_{};
  int32_t lockCount_ = 0;  // touched only by the owner
};

// A reader/writer lock that does nothing while the process-wide switch that turns locking
// off is on (it starts on). EnableSimpleLocking turns it off for good.
class TVelSimpleLock {
 public:
  TVelSimpleLock() = default;
  ~TVelSimpleLock();
  TVelSimpleLock(const TVelSimpleLock&) = delete;
  TVelSimpleLock& operator=(const TVelSimpleLock&) = delete;

  void BeginRead();
  void EndRead();
  bool BeginWrite();  // always true
  void EndWrite();

  // Clears the switch that turns locking off; from then on every TVelSimpleLock locks.
  static void EnableSimpleLocking();
  static bool SimpleLockingEnabled();

 private:
  TVelSlimReaderWriter lock_;
};

// A 32-bit value with atomic operations. Add, Subtract, Increment return the new value.
class TThreadSafeValue {
 public:
  TThreadSafeValue() = default;
  explicit TThreadSafeValue(int32_t value) : value_(value) {}

  int32_t Value() const { return value_.load(); }
  void SetValue(int32_t value) { value_.store(value); }
  // Wraps around on overflow, as the processor's interlocked add does.
  int32_t Add(int32_t n) { return Wrap(value_.fetch_add(n), n); }
  int32_t Subtract(int32_t n) { return Wrap(value_.fetch_sub(n), -static_cast<int64_t>(n)); }
  int32_t Increment() { return Add(1); }
  bool Equals(int32_t value) const { return value_.load() == value; }

 private:
  static int32_t Wrap(int32_t old, int64_t n) {
    return static_cast<int32_t>(static_cast<uint32_t>(old) + static_cast<uint32_t>(n));
  }
  std::atomic<int32_t> value_{0};
};

}  // namespace vel
