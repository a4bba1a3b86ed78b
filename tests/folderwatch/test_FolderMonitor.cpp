#include "folderwatch/FolderMonitor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/Exception.h"
#include "folderwatch/FolderEvents.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace vel;
using vel::test::Events;
using vel::test::TempDir;

namespace {

const TChangeTypes kServiceChanges{ctFileName, ctCreationTime};

void Touch(const fs::path& file) {
  std::ofstream(file) << "x";
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "<no exception>";
}

}  // namespace

TEST(FolderMonitor, ChangeTypesSetOfServiceIs65) {
  EXPECT_EQ(kServiceChanges.Value(), 65);
  TChangeTypes t(65);
  EXPECT_TRUE(t.Contains(ctFileName));
  EXPECT_TRUE(t.Contains(ctCreationTime));
  EXPECT_FALSE(t.Contains(ctDirName));
  t.Exclude(ctFileName);
  t.Include(ctSecurityAttr);
  EXPECT_EQ(t.Value(), 64 + 128);
}

TEST(FolderMonitor, CreatesMissingFolderAndReportsNewRemovedAndRename) {
  TempDir tmp;
  const std::string folder = tmp.file("a/b/logs");
  Events ev;
  TVelFolderMonitor mon("Shop", folder, kServiceChanges, true);
  mon.SetOnFolderChange(ev.Handler());
  ASSERT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(mon.IsActive());
  EXPECT_EQ(mon.Name(), "Shop");

  Touch(folder + "/one.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/one.Log", faNew));

  fs::rename(folder + "/one.Log", folder + "/two.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/two.Log", faRenamedNew));
  const int oldAt = ev.IndexOf(folder + "/one.Log", faRenamedOld);
  ASSERT_GE(oldAt, 0);
  EXPECT_EQ(ev.IndexOf(folder + "/two.Log", faRenamedNew), oldAt + 1);
  EXPECT_EQ(ev.IndexOf(folder + "/one.Log", faRemoved), -1);

  fs::remove(folder + "/two.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/two.Log", faRemoved));
}

TEST(FolderMonitor, MovesAcrossTheFolderBoundaryAreNewAndRemoved) {
  TempDir tmp;
  const std::string folder = tmp.file("watched");
  const std::string outside = tmp.file("outside");
  fs::create_directories(outside);
  Events ev;
  TVelFolderMonitor mon("m", folder, kServiceChanges, true);
  mon.SetOnFolderChange(ev.Handler());

  Touch(outside + "/in.Log");
  fs::rename(outside + "/in.Log", folder + "/in.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/in.Log", faNew));

  fs::rename(folder + "/in.Log", outside + "/out.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/in.Log", faRemoved));
  EXPECT_EQ(ev.IndexOf(folder + "/in.Log", faRenamedOld), -1);
}

TEST(FolderMonitor, TrailingDelimiterIsNotDoubled) {
  TempDir tmp;
  const std::string folder = tmp.file("logs") + "/";
  Events ev;
  TVelFolderMonitor mon("m", folder, kServiceChanges, true);
  mon.SetOnFolderChange(ev.Handler());
  Touch(folder + "f.Log");
  EXPECT_TRUE(ev.WaitFor(folder + "f.Log", faNew));
  EXPECT_FALSE(ev.Has(folder + "/f.Log"));
}

TEST(FolderMonitor, SubFoldersOnlyWhenAsked) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  fs::create_directories(folder + "/old");
  Events ev;
  TVelFolderMonitor mon("m", folder, kServiceChanges, true);
  mon.SetOnFolderChange(ev.Handler());
  EXPECT_FALSE(mon.MonitorSubFolders());

  Touch(folder + "/old/hidden.Log");
  Touch(folder + "/marker1");
  ASSERT_TRUE(ev.WaitFor(folder + "/marker1", faNew));
  EXPECT_FALSE(ev.Has(folder + "/old/hidden.Log"));

  mon.SetMonitorSubFolders(true);
  EXPECT_TRUE(mon.IsActive());
  Touch(folder + "/old/seen.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/old/seen.Log", faNew));

  // A subfolder made while watching is watched too, including what lands in it at once.
  fs::create_directories(folder + "/new/deeper");
  Touch(folder + "/new/deeper/n.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/new/deeper/n.Log", faNew));

  // A renamed subfolder keeps being watched under its new name.
  fs::rename(folder + "/new", folder + "/renamed");
  Touch(folder + "/renamed/deeper/r.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/renamed/deeper/r.Log", faNew));

  // ctDirName is not set: folders themselves are not reported.
  EXPECT_FALSE(ev.Has(folder + "/new"));
  EXPECT_FALSE(ev.Has(folder + "/new/deeper"));
}

TEST(FolderMonitor, ChangeKindsFilterWhatIsReported) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  fs::create_directories(folder + "/existing");
  Touch(folder + "/f.txt");
  Events names, writes;
  TVelFolderMonitor byName("n", folder, kServiceChanges, true);
  byName.SetOnFolderChange(names.Handler());
  TVelFolderMonitor byWrite("w", folder, TChangeTypes{ctLastWriteTime, ctDirName}, true);
  byWrite.SetOnFolderChange(writes.Handler());

  std::ofstream(folder + "/f.txt", std::ios::app) << "more";
  fs::create_directories(folder + "/dir");
  Touch(folder + "/marker");
  ASSERT_TRUE(names.WaitFor(folder + "/marker", faNew));
  ASSERT_TRUE(writes.WaitFor(folder + "/f.txt", faModified));
  ASSERT_TRUE(writes.WaitFor(folder + "/dir", faNew));
  EXPECT_FALSE(names.Has(folder + "/f.txt"));
  EXPECT_FALSE(names.Has(folder + "/dir"));
  EXPECT_EQ(writes.IndexOf(folder + "/marker", faNew), -1);
}

TEST(FolderMonitor, ActivateRefusesWithItsMessages) {
  TempDir tmp;
  EXPECT_EQ(MessageOf([&] { TVelFolderMonitor m("m", tmp.file("x"), TChangeTypes{}, true); }),
            "TVelFolderMonitor.Activate: Events to be monitored need to be specified");
  EXPECT_EQ(MessageOf([&] { TVelFolderMonitor m("m", "", kServiceChanges, true); }),
            "TVelFolderMonitor.Activate: Folder to be monitored needs to be specified");
  Touch(tmp.file("plain"));
  const std::string bad = tmp.file("plain") + "/logs";
  EXPECT_EQ(
      MessageOf([&] { TVelFolderMonitor m("m", bad, kServiceChanges, true); }),
      "TVelFolderMonitor.Activate: Folder \"" + bad + "\" does not exist and cannot be created");

  TVelFolderMonitor inactive("m", bad, kServiceChanges, false);
  EXPECT_THROW(inactive.Activate(), Exception);
  EXPECT_FALSE(inactive.IsActive());
}

TEST(FolderMonitor, ActivateAndDeactivateAreIdempotentAndNotify) {
  TempDir tmp;
  int activated = 0, deactivated = 0;
  TVelFolderMonitor mon("m", tmp.file("logs"), kServiceChanges, false);
  mon.SetOnActivated([&](TVelFolderMonitor* s) {
    EXPECT_EQ(s, &mon);
    ++activated;
  });
  mon.SetOnDeactivated([&](TVelFolderMonitor*) { ++deactivated; });
  EXPECT_FALSE(mon.IsActive());
  mon.Deactivate();
  EXPECT_EQ(deactivated, 0);
  mon.Activate();
  mon.Activate();
  mon.SetIsActive(true);
  EXPECT_EQ(activated, 1);
  mon.SetIsActive(false);
  mon.Deactivate();
  EXPECT_EQ(deactivated, 1);
  EXPECT_FALSE(mon.IsActive());
}

TEST(FolderMonitor, NothingReportedAfterDeactivateAndWorkerEndsWithoutAChange) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  Events control;
  TVelFolderMonitor watcher("control", folder, kServiceChanges, true);
  watcher.SetOnFolderChange(control.Handler());
  {
    Events ev;
    TVelFolderMonitor mon("m", folder, kServiceChanges, true);
    mon.SetOnFolderChange(ev.Handler());
    Touch(folder + "/before");
    ASSERT_TRUE(ev.WaitFor(folder + "/before", faNew));
    mon.Deactivate();
    EXPECT_FALSE(mon.IsActive());
    Touch(folder + "/after");
    ASSERT_TRUE(control.WaitFor(folder + "/after", faNew));
    EXPECT_FALSE(ev.Has(folder + "/after"));
  }
  // Deactivated with no change following: the destructor's join must not hang on a worker
  // blocked in its wait (ctest's time-out catches a hang).
  TVelFolderMonitor idle("idle", folder, kServiceChanges, true);
  idle.Deactivate();
}

TEST(FolderMonitor, SetFolderRestartRules) {
  TempDir tmp;
  const std::string first = tmp.file("Logs");
  const std::string second = tmp.file("other");
  int activated = 0, deactivated = 0;
  Events ev;
  TVelFolderMonitor mon("m", first, kServiceChanges, true);
  mon.SetOnFolderChange(ev.Handler());
  mon.SetOnActivated([&](TVelFolderMonitor*) { ++activated; });
  mon.SetOnDeactivated([&](TVelFolderMonitor*) { ++deactivated; });

  // Another letter case of the same path: no restart, the old text stays.
  std::string upper = first;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  mon.SetFolder(upper);
  EXPECT_EQ(mon.Folder(), first);
  EXPECT_EQ(activated, 0);
  EXPECT_EQ(deactivated, 0);

  // A different path while active: restarted on the new folder.
  mon.SetFolder(second);
  EXPECT_EQ(mon.Folder(), second);
  EXPECT_EQ(deactivated, 1);
  EXPECT_EQ(activated, 1);
  EXPECT_TRUE(mon.IsActive());
  Touch(first + "/old-folder");
  Touch(second + "/new-folder");
  ASSERT_TRUE(ev.WaitFor(second + "/new-folder", faNew));

  // Unchanged change kinds: nothing; changed ones: restart.
  mon.SetMonitoredChanges(kServiceChanges);
  EXPECT_EQ(activated, 1);
  mon.SetMonitoredChanges(TChangeTypes{ctFileName});
  EXPECT_EQ(activated, 2);
  EXPECT_EQ(mon.MonitoredChanges().Value(), 1);
  mon.SetMonitorSubFolders(false);
  EXPECT_EQ(activated, 2);

  // Inactive: only stored.
  mon.Deactivate();
  mon.SetFolder(first);
  mon.SetMonitorSubFolders(true);
  EXPECT_EQ(activated, 2);
  EXPECT_FALSE(mon.IsActive());
  EXPECT_EQ(mon.Folder(), first);
  EXPECT_FALSE(ev.Has(first + "/old-folder"));
}

TEST(FolderMonitor, DeletedFolderIsNotMadeAgainAndTheWatchResumesWhenItIsBack) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  Events ev;
  std::atomic<int> gone{0};
  TVelFolderMonitor mon("m", folder, kServiceChanges, false);
  mon.SetOnFolderChange(ev.Handler());
  mon.SetOnFolderGone([&](TVelFolderMonitor*) { ++gone; });
  mon.Activate();

  // Removed: told once, and left removed.
  fs::remove_all(folder);
  ASSERT_TRUE(vel::test::WaitUntil([&] { return gone.load() == 1; }));
  EXPECT_FALSE(fs::exists(folder));

  // Made again by someone else, with a file in it before the watch is back.
  fs::create_directories(folder);
  Touch(folder + "/quick.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/quick.Log", faNew));
  Touch(folder + "/later.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/later.Log", faNew));

  // Moved away, and a folder of old logs put in its place: the old logs are not new, and the
  // moved folder is not watched.
  fs::rename(folder, tmp.file("moved"));
  ASSERT_TRUE(vel::test::WaitUntil([&] { return gone.load() == 2; }));
  fs::create_directories(tmp.file("restored"));
  Touch(tmp.file("restored") + "/ancient.Log");
  fs::last_write_time(tmp.file("restored") + "/ancient.Log",
                      fs::file_time_type::clock::now() - std::chrono::hours(1));
  fs::rename(tmp.file("restored"), folder);
  Touch(tmp.file("moved") + "/elsewhere.Log");
  Touch(folder + "/back.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/back.Log", faNew));
  EXPECT_FALSE(ev.Has(folder + "/ancient.Log"));
  EXPECT_FALSE(ev.Has(folder + "/elsewhere.Log"));

  // Gone for good: deactivating does not wait for it (the destructor joins the worker).
  fs::remove_all(folder);
  ASSERT_TRUE(vel::test::WaitUntil([&] { return gone.load() == 3; }));
  mon.Deactivate();
  EXPECT_EQ(gone.load(), 3);
}

TEST(FolderMonitor, MadeFoldersTakeOwnerGroupAndModeOfTheNearestExistingOne) {
  TempDir tmp;
  const fs::path parent = tmp.path() / "apps";
  fs::create_directory(parent);
  ASSERT_EQ(::chmod(parent.c_str(), 02750), 0);
  // Handing folders to another owner needs root; anyone else only gets the mode.
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(parent.c_str(), 33, 44), 0);
  }
  TVelFolderMonitor mon("m", (parent / "shop/logs/").string(), kServiceChanges, true);
  for (const fs::path& made : {parent / "shop", parent / "shop/logs"}) {
    struct stat st;
    ASSERT_EQ(::stat(made.c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_mode & 07777, 02750u) << made;
    if (root) {
      EXPECT_EQ(st.st_uid, 33u) << made;
      EXPECT_EQ(st.st_gid, 44u) << made;
    }
  }
}

TEST(FolderMonitor, QueueOverflowOnTheSharedWatchFindsTheNewFilesOfEveryFolder) {
  TempDir tmp;
  int limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  ASSERT_LT(limit, 200000) << "queue too large to overflow in a test";

  vel::test::Gate gate;
  Events ev;
  // The first report holds the watch's thread until the queue has overflowed.
  const TFolderChangeEvent gated = gate.Wrap(ev.Handler());
  const std::vector<std::string> folders = {tmp.file("a"), tmp.file("b"), tmp.file("c")};
  std::vector<std::unique_ptr<TVelFolderMonitor>> monitors;
  for (const std::string& folder : folders) {
    monitors.push_back(std::make_unique<TVelFolderMonitor>("m", folder, kServiceChanges, false));
    monitors.back()->SetOnFolderChange(gated);
    monitors.back()->Activate();
  }
  const int files = limit + 300;
  std::vector<std::string> written;
  for (int i = 0; i < files; ++i) {
    written.push_back(folders[i % folders.size()] + "/f" + std::to_string(i));
    Touch(written.back());
  }
  gate.Open();
  // Every file of every folder is reported, once.
  for (const std::string& name : written) ASSERT_TRUE(ev.WaitFor(name, faNew)) << name;
  EXPECT_EQ(ev.Count(), written.size());
}

TEST(FolderMonitor, HundredsOfFoldersShareOneThreadAndEachGetsOnlyItsOwnChanges) {
  TempDir tmp;
  const auto threads = [] {
    return static_cast<int>(
        std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
  };
  // One thread for the watch, and one that a sanitizer's runtime may start.
  vel::test::ExpectManyFoldersEachGetOnlyTheirOwnChanges(tmp, '/', 300, threads, 2);
}

TEST(FolderMonitor, FolderUnreachableAtActivateIsWatchedOnceItAppears) {
  TempDir tmp;
  // A link to a folder that is not there yet stands in for a share that is not up.
  fs::create_directory_symlink(tmp.file("share"), tmp.file("mnt"));
  const std::string folder = tmp.file("mnt") + "/logs";
  Events ev;
  std::atomic<int> gone{0};
  TVelFolderMonitor mon("m", folder, kServiceChanges, false);
  mon.SetOnFolderChange(ev.Handler());
  mon.SetOnFolderGone([&](TVelFolderMonitor*) { ++gone; });
  mon.Activate();
  EXPECT_TRUE(mon.IsActive());
  ASSERT_TRUE(vel::test::WaitUntil([&] { return gone.load() == 1; }));

  fs::create_directories(tmp.file("share") + "/logs");
  Touch(folder + "/early.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/early.Log", faNew));
  Touch(folder + "/later.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "/later.Log", faNew));
  EXPECT_EQ(gone.load(), 1);
}

TEST(FolderMonitor, NeedSynchronizeRunsHandlersOneAtATime) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  std::atomic<int> inside{0}, most{0}, calls{0};
  auto handler = [&](TVelFolderMonitor*, const TFolderItemInfo&) {
    const int now = ++inside;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    // Long enough for the other monitor's worker to arrive while this one is inside.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    --inside;
    ++calls;
  };
  TVelFolderMonitor a("a", folder, kServiceChanges, false);
  TVelFolderMonitor b("b", folder, kServiceChanges, false);
  for (TVelFolderMonitor* m : {&a, &b}) {
    m->SetNeedSynchronize(true);
    m->SetOnFolderChange(handler);
    m->Activate();
  }
  EXPECT_TRUE(a.NeedSynchronize());
  for (int i = 0; i < 5; ++i) Touch(folder + "/f" + std::to_string(i));
  ASSERT_TRUE(vel::test::WaitUntil([&] { return calls.load() == 10; }));
  EXPECT_EQ(most.load(), 1);
}

TEST(FolderMonitor, NeedSynchronizeReportWaitingForItsTurnIsDroppedByDeactivate) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  std::mutex lock;
  std::condition_variable cv;
  TVelFolderMonitor* holder = nullptr;
  bool release = false;
  std::atomic<TVelFolderMonitor*> deactivated{nullptr};
  std::atomic<int> late{0};
  // The first report holds the turn until released; the other monitor's report waits for it.
  auto handler = [&](TVelFolderMonitor* sender, const TFolderItemInfo&) {
    if (sender == deactivated.load()) ++late;
    std::unique_lock l(lock);
    if (holder != nullptr) return;
    holder = sender;
    cv.notify_all();
    cv.wait(l, [&] { return release; });
  };
  auto a = std::make_unique<TVelFolderMonitor>("a", folder, kServiceChanges, false);
  auto b = std::make_unique<TVelFolderMonitor>("b", folder, kServiceChanges, false);
  for (TVelFolderMonitor* m : {a.get(), b.get()}) {
    m->SetNeedSynchronize(true);
    m->SetOnFolderChange(handler);
    m->Activate();
  }
  Touch(folder + "/f");
  {
    std::unique_lock l(lock);
    ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return holder != nullptr; }));
  }
  std::unique_ptr<TVelFolderMonitor>& waiting = holder == a.get() ? b : a;
  waiting->Deactivate();
  deactivated = waiting.get();
  {
    std::lock_guard l(lock);
    release = true;
  }
  cv.notify_all();
  waiting.reset();  // joins its worker, which would have reported by now
  EXPECT_EQ(late.load(), 0);
}
