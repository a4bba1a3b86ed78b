#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/Threads.h"
#include "support/TestSupport.h"

using namespace vel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vel::test::Latch;

namespace {

// Counts runs and lets a test wait for the n-th.
class RunCounter {
 public:
  void Hit() {
    {
      std::lock_guard lock(m_);
      ++count_;
      times_.push_back(Clock::now());
    }
    cv_.notify_all();
  }
  bool WaitFor(int n, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return count_ >= n; });
  }
  int Count() {
    std::lock_guard lock(m_);
    return count_;
  }
  std::vector<Clock::time_point> Times() {
    std::lock_guard lock(m_);
    return times_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int count_ = 0;
  std::vector<Clock::time_point> times_;
};

std::string MessageOf(std::exception_ptr e) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "<not a std::exception>";
  }
  return "";
}

}  // namespace

TEST(TimedThread, FirstRunComesAfterOneIntervalUnlessExecuteAtStart) {
  RunCounter runs;
  const auto started = Clock::now();
  {
    TVelTimedThread t("late", 300);
    t.SetMethod([&] { runs.Hit(); });
    t.Start();
    ASSERT_TRUE(runs.WaitFor(1));
  }
  EXPECT_GE(runs.Times()[0] - started, 295ms);

  RunCounter early;
  TVelTimedThread t("early", 60000);
  t.SetExecuteAtStart(true);
  t.SetMethod([&] { early.Hit(); });
  t.Start();
  // With a minute's interval, a run within the time-out can only be the start-up run.
  ASSERT_TRUE(early.WaitFor(1));
  EXPECT_EQ(early.Count(), 1);
}

TEST(TimedThread, PauseIsMeasuredFromTheEndOfEachRun) {
  RunCounter runs;
  std::vector<Clock::time_point> ends;
  std::mutex endsMutex;
  TVelTimedThread t("fixeddelay", 50);
  t.SetExecuteAtStart(true);
  t.SetMethod([&] {
    runs.Hit();
    std::this_thread::sleep_for(120ms);  // the work itself is slow (not synchronisation)
    std::lock_guard lock(endsMutex);
    ends.push_back(Clock::now());
  });
  t.Start();
  ASSERT_TRUE(runs.WaitFor(4));
  t.Finish();
  t.WaitFor();
  const auto starts = runs.Times();
  std::lock_guard lock(endsMutex);
  for (std::size_t i = 1; i < starts.size() && i - 1 < ends.size(); ++i) {
    // Never a catch-up run: each start is at least one interval after the previous end.
    EXPECT_GE(starts[i] - ends[i - 1], 48ms) << "run " << i;
  }
}

TEST(TimedThread, FinishDuringPauseEndsAtOnceWithoutAnotherRun) {
  RunCounter runs;
  auto t = std::make_unique<TVelTimedThread>("pause", 60000);
  t->SetExecuteAtStart(true);
  t->SetMethod([&] { runs.Hit(); });
  t->Start();
  ASSERT_TRUE(runs.WaitFor(1));
  const auto before = Clock::now();
  t->Finish();
  t->Finish();                            // harmless twice
  t.reset();                              // joins
  EXPECT_LT(Clock::now() - before, 10s);  // far below the minute's pause
  EXPECT_EQ(runs.Count(), 1);
}

TEST(TimedThread, FinishDuringRunLetsItCompleteAndReturnsAtOnce) {
  Latch<bool> inRun, release;
  std::atomic<int> runs{0}, completed{0};
  TVelTimedThread t("inrun", 1);
  t.SetExecuteAtStart(true);
  t.SetMethod([&] {
    ++runs;
    inRun.Set(true);
    release.Wait(30s);
    ++completed;
  });
  t.Start();
  ASSERT_TRUE(inRun.Wait());
  t.Finish();  // must not wait for the blocked run: this line returning proves it
  EXPECT_EQ(completed.load(), 0);
  release.Set(true);
  t.WaitFor();
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(completed.load(), 1);
  EXPECT_EQ(t.FatalException(), nullptr);
}

TEST(TimedThread, ExceptionsOfRunsAreDiscardedAndRunsGoOn) {
  RunCounter runs;
  TVelTimedThread t("raiser", 5);
  t.SetMethod([&] {
    runs.Hit();
    if (runs.Count() % 2) throw Exception("tick failed");
    throw std::runtime_error("library failure");
  });
  t.Start();
  ASSERT_TRUE(runs.WaitFor(5));
  t.Finish();
  t.WaitFor();
  EXPECT_EQ(t.FatalException(), nullptr);
}

namespace {
// Ends the thread on the first exception, by declining to handle it.
class StrictTimedThread : public TVelTimedThread {
 public:
  using TVelTimedThread::TVelTimedThread;
  ~StrictTimedThread() override {
    Finish();
    WaitFor();
  }
  std::atomic<int> seen{0};

 protected:
  void HandleTickException(const std::exception&, bool& handled) override {
    EXPECT_TRUE(handled);  // called with true
    ++seen;
    handled = false;
  }
};

// Counts the wake-ups that reach the work step, whether or not there is work.
class CountingTimedThread : public TVelTimedThread {
 public:
  using TVelTimedThread::TVelTimedThread;
  ~CountingTimedThread() override {
    Finish();
    WaitFor();
  }
  RunCounter wakes;

 protected:
  void ExecuteMethod() override {
    TVelTimedThread::ExecuteMethod();
    wakes.Hit();
  }
};
}  // namespace

TEST(TimedThread, UnhandledTickExceptionEndsTheThreadAndReachesTheTerminateProc) {
  Latch<std::string> fatal;
  std::atomic<int> runs{0};
  StrictTimedThread t("strict", 1);
  t.SetMethod([&] {
    ++runs;
    throw Exception("give up");
  });
  t.SetOnTerminateProc([&](std::exception_ptr e) { fatal.Set(MessageOf(e)); });
  t.Start();
  ASSERT_TRUE(fatal.Wait());
  EXPECT_EQ(fatal.Get(), "give up");
  t.WaitFor();
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(t.seen.load(), 1);
  EXPECT_EQ(MessageOf(t.FatalException()), "give up");
}

TEST(TimedThread, ThrownNonExceptionEndsTheThread) {
  std::atomic<int> runs{0};
  TVelTimedThread t("int", 1);
  t.SetMethod([&] {
    ++runs;
    throw 42;
  });
  t.Start();
  t.WaitFor();  // ends on its own
  ASSERT_NE(t.FatalException(), nullptr);
  EXPECT_EQ(MessageOf(t.FatalException()), "<not a std::exception>");
  EXPECT_EQ(runs.load(), 1);
}

TEST(TimedThread, WithoutMethodItStillWakesEveryInterval) {
  CountingTimedThread t("idle", 2);
  t.Start();
  ASSERT_TRUE(t.wakes.WaitFor(3));
  t.Finish();
  t.WaitFor();
  EXPECT_EQ(t.FatalException(), nullptr);
}

TEST(TimedThread, IntervalBelowOneFailsTheRunWithAnAssertion) {
  for (int interval : {0, -5}) {
    Latch<std::string> fatal;
    std::atomic<int> runs{0};
    TVelTimedThread t("bad", interval);
    t.SetExecuteAtStart(true);
    t.SetMethod([&] { ++runs; });
    t.SetOnTerminateProc([&](std::exception_ptr e) {
      try {
        std::rethrow_exception(e);
      } catch (const EAssertionFailed& a) {
        fatal.Set(a.what());
      } catch (...) {
        fatal.Set("wrong class");
      }
    });
    t.Start();
    ASSERT_TRUE(fatal.Wait());
    EXPECT_EQ(fatal.Get().rfind("Assertion failure", 0), 0u) << fatal.Get();
    t.WaitFor();
    EXPECT_EQ(runs.load(), 0);
  }
}

TEST(TimedThread, NamesItsThreadWithinTheSystemLimit) {
  Latch<std::string> name;
  TVelTimedThread t("VelMonitorServerThread", 60000);
  t.SetExecuteAtStart(true);
  t.SetMethod([&] { name.Set(GetCurrentThreadName()); });
  t.Start();
  ASSERT_TRUE(name.Wait());
  EXPECT_EQ(name.Get(), vel::test::OnWindows() ? "VelMonitorServerThread" : "VelMonitorServe");
}

// A self-owned thread may still be inside a latch's Set after the test has seen the value, so
// the latches it uses are shared with it rather than living on the test's stack.
template <class T>
using SharedLatch = std::shared_ptr<Latch<T>>;
template <class T>
SharedLatch<T> MakeLatch() {
  return std::make_shared<Latch<T>>();
}

TEST(ThreadBase, ExecInThreadPassesDataOrItselfAndReportsTheEnd) {
  static int payload = 7;
  auto got = MakeLatch<void*>(), gotSelf = MakeLatch<void*>();
  auto endedClean = MakeLatch<bool>();
  TVelThreadBase::ExecInThread(
      [got](void* data) { got->Set(data); }, "withdata", &payload,
      [endedClean](std::exception_ptr e) { endedClean->Set(e == nullptr); });
  ASSERT_TRUE(got->Wait());
  EXPECT_EQ(got->Get(), &payload);
  ASSERT_TRUE(endedClean->Wait());
  EXPECT_TRUE(endedClean->Get());

  auto failure = MakeLatch<std::string>();
  TVelThreadBase::ExecInThread(
      [gotSelf](void* data) {
        gotSelf->Set(data);
        throw Exception("worker failed");
      },
      "nodata", nullptr, [failure](std::exception_ptr e) { failure->Set(MessageOf(e)); });
  ASSERT_TRUE(gotSelf->Wait());
  EXPECT_NE(gotSelf->Get(), nullptr);
  EXPECT_NE(gotSelf->Get(), &payload);
  ASSERT_TRUE(failure->Wait());
  EXPECT_EQ(failure->Get(), "worker failed");
}

namespace {
// Lives as long as the program: the thread sets it from its own destructor.
Latch<std::thread::id> gDestroyedOn;

// Reports the thread on which it is destroyed, to show that a self-owned thread frees itself.
class ProbeThread : public TVelThreadBase {
 public:
  ProbeThread(std::string name, TVelThreadProc method)
      : TVelThreadBase(std::move(name), std::move(method)) {}
  ~ProbeThread() override { gDestroyedOn.Set(std::this_thread::get_id()); }
};
}  // namespace

TEST(ThreadBase, SelfOwnedThreadOfTheCalledClassIsDestroyedOnItsOwnThread) {
  auto ranOn = MakeLatch<std::thread::id>();
  auto name = MakeLatch<std::string>();
  TVelThreadBase::ExecInThread<ProbeThread>(
      [ranOn, name] {
        name->Set(GetCurrentThreadName());
        ranOn->Set(std::this_thread::get_id());
      },
      "probe!\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");  // byte 15 is inside a character
  ASSERT_TRUE(ranOn->Wait());
  ASSERT_TRUE(gDestroyedOn.Wait());
  EXPECT_EQ(gDestroyedOn.Get(), ranOn->Get());
  EXPECT_NE(ranOn->Get(), std::this_thread::get_id());
  // Linux keeps 15 bytes and cuts on a character boundary; Windows keeps the whole name.
  EXPECT_EQ(name->Get(), vel::test::OnWindows() ? "probe!\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                                                : "probe!\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
}

TEST(ThreadBase, SynchronizedTerminateProcRunsOnTheMainThread) {
  auto calledOn = MakeLatch<std::thread::id>();
  TVelThreadBase::ExecInThread(
      [] {}, "sync", [calledOn](std::exception_ptr) { calledOn->Set(std::this_thread::get_id()); },
      true);
  const auto deadline = Clock::now() + 10s;
  while (!calledOn->Wait(0ms) && Clock::now() < deadline) TVelThreadBase::CheckSynchronize(100);
  ASSERT_TRUE(calledOn->Wait(0ms));
  EXPECT_EQ(calledOn->Get(), std::this_thread::get_id());
}

TEST(ThreadBase, OwnedThreadJoinsAndRefusesASecondStart) {
  std::atomic<bool> ran{false};
  Latch<bool> terminated;
  TVelThreadBase t("owned", [&] { ran = true; });
  t.SetOnTerminateProc([&](std::exception_ptr e) { terminated.Set(e == nullptr); });
  t.Start();
  EXPECT_THROW(t.Start(), Exception);
  t.WaitFor();
  EXPECT_TRUE(ran.load());
  ASSERT_TRUE(terminated.Wait(0ms));
  EXPECT_TRUE(terminated.Get());
  t.Terminate();
  EXPECT_TRUE(t.Terminated());
}

TEST(Locks, ExclusiveSideIsReentrantAndOnlyItsOwnerReleasesIt) {
  TVelSlimReaderWriter rw;
  auto otherCanWrite = [&] {
    bool got = false;
    std::thread([&] {
      got = rw.TryBeginWrite();
      if (got) rw.EndWrite();
    }).join();
    return got;
  };
  auto otherCanRead = [&] {
    bool got = false;
    std::thread([&] {
      got = rw.TryBeginRead();
      if (got) rw.EndRead();
    }).join();
    return got;
  };
  rw.BeginWrite();
  rw.BeginWrite();
  EXPECT_TRUE(rw.TryBeginWrite());  // the owner may nest with the try form too
  rw.EndWrite();
  // Another thread's EndWrite changes nothing.
  std::thread([&] { rw.EndWrite(); }).join();
  EXPECT_FALSE(otherCanWrite());
  EXPECT_FALSE(otherCanRead());
  rw.EndWrite();
  EXPECT_FALSE(otherCanWrite());  // still held once
  rw.EndWrite();
  EXPECT_TRUE(otherCanWrite());
  EXPECT_TRUE(otherCanRead());
  rw.EndWrite();  // not the owner any more: nothing happens
  EXPECT_TRUE(otherCanWrite());
}

TEST(Locks, ReadersShareAndWritersExclude) {
  TVelSlimReaderWriter rw;
  rw.BeginRead();
  bool otherRead = false, otherWrite = true;
  std::thread([&] {
    otherRead = rw.TryBeginRead();
    if (otherRead) rw.EndRead();
    otherWrite = rw.TryBeginWrite();
    if (otherWrite) rw.EndWrite();
  }).join();
  rw.EndRead();
  EXPECT_TRUE(otherRead);
  EXPECT_FALSE(otherWrite);

  // Nested writers on several threads keep a plain counter exact.
  long counter = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < 2000; ++k) {
        rw.BeginWrite();
        rw.BeginWrite();
        ++counter;
        rw.EndWrite();
        ++counter;
        rw.EndWrite();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, 16000);
}

TEST(Locks, CriticalSectionIsRecursive) {
  TVelCriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  bool other = true;
  std::thread([&] { other = cs.TryEnter(); }).join();
  EXPECT_FALSE(other);
  cs.Leave();
  std::thread([&] { other = cs.TryEnter(); }).join();
  EXPECT_FALSE(other);  // entered twice, left once
  cs.Leave();
  std::thread([&] {
    other = cs.TryEnter();
    if (other) cs.Leave();
  }).join();
  EXPECT_TRUE(other);
  {
    std::lock_guard guard(cs);
    std::lock_guard again(cs);
  }
}

TEST(Locks, SimpleLockDoesNothingUntilSwitchedOnForGood) {
  TVelSimpleLock lock;
  // The switch is process-wide and one-way: only the first run in a process sees it off.
  if (!TVelSimpleLock::SimpleLockingEnabled()) {
    // Off: a writer here does not keep another writer out.
    EXPECT_TRUE(lock.BeginWrite());
    Latch<bool> otherIn;
    std::thread([&] {
      lock.BeginWrite();
      otherIn.Set(true);
      lock.EndWrite();
    }).join();
    EXPECT_TRUE(otherIn.Get());
    lock.EndWrite();

    // A read begun while off and ended after the switch must release nothing.
    lock.BeginRead();
    TVelSimpleLock::EnableSimpleLocking();
    lock.EndRead();
  }
  TVelSimpleLock::EnableSimpleLocking();
  EXPECT_TRUE(TVelSimpleLock::SimpleLockingEnabled());

  // On: a writer keeps another writer out until it ends.
  EXPECT_TRUE(lock.BeginWrite());
  Latch<bool> secondIn;
  std::thread other([&] {
    lock.BeginWrite();
    secondIn.Set(true);
    lock.EndWrite();
  });
  EXPECT_FALSE(secondIn.Wait(200ms));
  lock.EndWrite();
  EXPECT_TRUE(secondIn.Wait());
  other.join();
  lock.BeginRead();
  lock.EndRead();
}

TEST(Locks, ThreadSafeValueIsAtomicAndWraps) {
  TThreadSafeValue v;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int k = 0; k < 10000; ++k) v.Increment();
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(v.Value(), 40000);
  EXPECT_EQ(v.Add(5), 40005);
  EXPECT_EQ(v.Subtract(40000), 5);
  EXPECT_TRUE(v.Equals(5));
  v.SetValue(INT32_MAX);
  EXPECT_EQ(v.Increment(), INT32_MIN);
  EXPECT_EQ(v.Subtract(1), INT32_MAX);
}
