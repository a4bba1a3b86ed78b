#include "common/Threads.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <vector>

namespace vel {

namespace detail {
bool IsMainThread();  // Threads_linux.cpp
}  // namespace detail

namespace {

// Calls that worker threads hand to the main thread (Synchronize), and the wake-up of a main
// thread waiting in WaitFor. Never destroyed: detached threads may still use it at exit.
struct SyncQueue {
  struct Item {
    const std::function<void()>* call;
    std::exception_ptr error;
    bool done = false;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Item*> items;
};

SyncQueue& Queue() {
  static SyncQueue* queue = new SyncQueue;
  return *queue;
}

// Runs every queued call; the lock is held on entry and on return.
bool RunQueued(SyncQueue& q, std::unique_lock<std::mutex>& lock) {
  bool ran = false;
  while (!q.items.empty()) {
    SyncQueue::Item* item = q.items.front();
    q.items.pop_front();
    lock.unlock();
    try {
      (*item->call)();
    } catch (...) {
      item->error = std::current_exception();
    }
    lock.lock();
    item->done = true;
    ran = true;
    q.changed.notify_all();
  }
  return ran;
}

std::atomic<bool> gSimpleLockingOff{true};

// The TVelSimpleLock read locks this thread really holds, so that an EndRead after the
// switch went off-to-on between BeginRead and EndRead releases nothing it never took.
thread_local std::vector<const TVelSimpleLock*> tHeldSimpleReads;

}  // namespace

// ---- TVelThreadBase ----

TVelThreadBase::TVelThreadBase(std::string name, TVelThreadProc method)
    : name_(std::move(name)), method_(std::move(method)) {}

TVelThreadBase::~TVelThreadBase() {
  WaitFor();
  // Destroyed from its own run (which it must not be): a thread cannot join itself, and
  // std::thread would end the process if left joinable.
  if (thread_.joinable()) thread_.detach();
}

void TVelThreadBase::Start() {
  {
    std::lock_guard lock(stateMutex_);
    if (selfOwned_ || started_) throw Exception(name_ + ": the thread was already started");
    started_ = true;
  }
  thread_ = std::thread([this] { ThreadMain(); });
}

void TVelThreadBase::Launch(std::unique_ptr<TVelThreadBase> self, TVelTerminateProc onTerminate,
                            bool synchronize, void* data) {
  selfOwned_ = true;
  started_ = true;
  onTerminateProc_ = std::move(onTerminate);
  synchronize_ = synchronize;
  data_ = data != nullptr ? data : this;
  // The thread function owns the object; if the thread cannot be created, the function object
  // and with it the thread object are destroyed here and the error goes to the caller.
  std::thread([owner = std::move(self)]() mutable {
    owner->ThreadMain();
    owner.reset();  // destroyed on its own thread
  }).detach();
}

void TVelThreadBase::Terminate() {
  terminated_.store(true, std::memory_order_release);
}

std::exception_ptr TVelThreadBase::FatalException() const {
  std::lock_guard lock(stateMutex_);
  return fatalException_;
}

void TVelThreadBase::ThreadMain() {
  try {
    RunThread();
  } catch (...) {
    std::lock_guard lock(stateMutex_);
    fatalException_ = std::current_exception();
  }
  try {
    ThreadDone();
  } catch (...) {
    // The terminate callback's own failure has nowhere to go: the thread is ending.
  }
  SyncQueue& q = Queue();
  {
    std::lock_guard lock(q.mutex);
    finished_ = true;
  }
  q.changed.notify_all();
}

void TVelThreadBase::WaitFor() {
  if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
  if (detail::IsMainThread()) {
    SyncQueue& q = Queue();
    std::unique_lock lock(q.mutex);
    while (!finished_) {
      if (!RunQueued(q, lock)) q.changed.wait(lock);
    }
  }
  thread_.join();
}

void TVelThreadBase::RunThread() {
  ExecuteMethod();
}

void TVelThreadBase::ExecuteMethod() {
  if (!name_.empty()) SetCurrentThreadName(name_);
  if (method_) method_();
}

void TVelThreadBase::ThreadDone() {
  if (!onTerminateProc_) return;
  if (synchronize_) {
    Synchronize([this] { CallOnTerminateProc(); });
  } else {
    CallOnTerminateProc();
  }
}

void TVelThreadBase::CallOnTerminateProc() {
  if (onTerminateProc_) onTerminateProc_(FatalException());
}

void TVelThreadBase::Synchronize(const std::function<void()>& call) {
  if (detail::IsMainThread()) {
    call();
    return;
  }
  SyncQueue& q = Queue();
  SyncQueue::Item item{&call, nullptr, false};
  {
    std::unique_lock lock(q.mutex);
    q.items.push_back(&item);
    q.changed.notify_all();
    q.changed.wait(lock, [&] { return item.done; });
  }
  if (item.error) std::rethrow_exception(item.error);
}

bool TVelThreadBase::CheckSynchronize(int timeoutMs) {
  if (!detail::IsMainThread()) return false;
  SyncQueue& q = Queue();
  std::unique_lock lock(q.mutex);
  if (q.items.empty() && timeoutMs > 0) {
    q.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return !q.items.empty(); });
  }
  return RunQueued(q, lock);
}

// ---- TVelTimedThread ----

TVelTimedThread::TVelTimedThread(std::string name, int intervalMs)
    : TVelThreadBase(std::move(name), nullptr), intervalMs_(intervalMs) {}

TVelTimedThread::~TVelTimedThread() {
  Finish();
  WaitFor();
}

void TVelTimedThread::Finish() {
  // The flag first, then the wake-up: a pause that ends because of Finish sees the flag.
  TVelThreadBase::Terminate();
  {
    std::lock_guard lock(waitMutex_);
    finishSignalled_ = true;
  }
  wake_.notify_all();
}

void TVelTimedThread::RunThread() {
  if (intervalMs_ < 1) {
    throw EAssertionFailed("Assertion failure (thread \"" + Name() + "\": interval " +
                           std::to_string(intervalMs_) + " ms is below 1 ms)");
  }
  if (!Name().empty()) SetCurrentThreadName(Name());
  if (executeAtStart_) SafeExecuteMethod();
  const auto interval = std::chrono::milliseconds(intervalMs_);
  while (!Terminated()) {
    bool signalled;
    {
      std::unique_lock lock(waitMutex_);
      signalled = wake_.wait_for(lock, interval, [this] { return finishSignalled_; });
    }
    if (!signalled && !Terminated()) SafeExecuteMethod();
  }
}

void TVelTimedThread::ExecuteMethod() {
  if (Method()) Method()();
}

void TVelTimedThread::HandleTickException(const std::exception&, bool&) {}

void TVelTimedThread::SafeExecuteMethod() {
  try {
    ExecuteMethod();
  } catch (const std::exception& e) {
    bool handled = true;
    HandleTickException(e, handled);
    if (!handled) throw;
  }
}

// ---- TVelSlimReaderWriter ----

void TVelSlimReaderWriter::BeginWrite() {
  const std::thread::id me = std::this_thread::get_id();
  if (owner_.load(std::memory_order_relaxed) == me) {
    ++lockCount_;
    return;
  }
  lock_.Lock();
  owner_.store(me, std::memory_order_relaxed);
  lockCount_ = 1;
}

void TVelSlimReaderWriter::EndWrite() {
  if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return;
  if (--lockCount_ == 0) {
    owner_.store(std::thread::id{}, std::memory_order_relaxed);
    lock_.Unlock();
  }
}

bool TVelSlimReaderWriter::TryBeginWrite() {
  const std::thread::id me = std::this_thread::get_id();
  if (owner_.load(std::memory_order_relaxed) == me) {
    ++lockCount_;
    return true;
  }
  if (!lock_.TryLock()) return false;
  owner_.store(me, std::memory_order_relaxed);
  lockCount_ = 1;
  return true;
}

// ---- TVelSimpleLock ----

TVelSimpleLock::~TVelSimpleLock() = default;

void TVelSimpleLock::BeginRead() {
  if (gSimpleLockingOff.load(std::memory_order_acquire)) return;
  lock_.BeginRead();
  tHeldSimpleReads.push_back(this);
}

void TVelSimpleLock::EndRead() {
  auto it = std::find(tHeldSimpleReads.rbegin(), tHeldSimpleReads.rend(), this);
  if (it == tHeldSimpleReads.rend()) return;
  tHeldSimpleReads.erase(std::next(it).base());
  lock_.EndRead();
}

bool TVelSimpleLock::BeginWrite() {
  if (!gSimpleLockingOff.load(std::memory_order_acquire)) lock_.BeginWrite();
  return true;
}

void TVelSimpleLock::EndWrite() {
  // A write lock skipped while locking was off is not owned, so EndWrite ignores it.
  if (!gSimpleLockingOff.load(std::memory_order_acquire)) lock_.EndWrite();
}

void TVelSimpleLock::EnableSimpleLocking() {
  gSimpleLockingOff.store(false, std::memory_order_release);
}

bool TVelSimpleLock::SimpleLockingEnabled() {
  return !gSimpleLockingOff.load(std::memory_order_acquire);
}

}  // namespace vel
