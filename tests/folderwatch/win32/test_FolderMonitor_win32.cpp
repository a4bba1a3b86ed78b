// The folder monitor on ReadDirectoryChangesW. Where Wine behaves differently from Windows,
// the expectation names both (see docs/windows.md).
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Exception.h"
#include "common/WinApi_win32.h"
#include "folderwatch/FolderEvents.h"
#include "folderwatch/FolderMonitor.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace vel;
using vel::test::Events;
using vel::test::TempDir;

namespace {

const TChangeTypes kServiceChanges{ctFileName, ctCreationTime};

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void Touch(const std::string& file) {
  std::ofstream(fs::path(std::u8string(file.begin(), file.end()))) << "x";
}

}  // namespace

TEST(FolderMonitorWin32, ReportsNewRemovedAndRenamePairWithBackslashNames) {
  TempDir tmp;
  const std::string folder = tmp.file("a\\logs");
  Events ev;
  TVelFolderMonitor mon("Shop", folder, kServiceChanges, true);
  mon.SetOnFolderChange(ev.Handler());
  ASSERT_TRUE(fs::is_directory(folder));

  Touch(folder + "\\one.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\one.Log", faNew));
  fs::rename(folder + "\\one.Log", folder + "\\two.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\two.Log", faRenamedNew));
  const int oldAt = ev.IndexOf(folder + "\\one.Log", faRenamedOld);
  ASSERT_GE(oldAt, 0);
  EXPECT_EQ(ev.IndexOf(folder + "\\two.Log", faRenamedNew), oldAt + 1);
  fs::remove(folder + "\\two.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\two.Log", faRemoved));

  // A move in from outside is new, a move out is removed.
  const std::string outside = tmp.file("outside");
  fs::create_directories(outside);
  Touch(outside + "\\in.Log");
  fs::rename(outside + "\\in.Log", folder + "\\in.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\in.Log", faNew));
  fs::rename(folder + "\\in.Log", outside + "\\in.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\in.Log", faRemoved));
}

TEST(FolderMonitorWin32, EitherDelimiterAtTheEndIsNotDoubledAndNamesAreUtf8) {
  TempDir tmp;
  for (const std::string end : {"\\", "/"}) {
    const std::string folder = tmp.file("caf\xC3\xA9" + std::to_string(end == "/")) + end;
    Events ev;
    TVelFolderMonitor mon("m", folder, kServiceChanges, true);
    mon.SetOnFolderChange(ev.Handler());
    Touch(folder + "f\xC3\xBC.Log");
    EXPECT_TRUE(ev.WaitFor(folder + "f\xC3\xBC.Log", faNew)) << folder;
  }
}

TEST(FolderMonitorWin32, SubFoldersOnlyWhenAsked) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  fs::create_directories(folder + "\\old");
  Events ev;
  TVelFolderMonitor mon("m", folder, kServiceChanges, true);
  mon.SetOnFolderChange(ev.Handler());
  Touch(folder + "\\old\\hidden.Log");
  Touch(folder + "\\marker");
  ASSERT_TRUE(ev.WaitFor(folder + "\\marker", faNew));
  EXPECT_FALSE(ev.Has(folder + "\\old\\hidden.Log"));

  mon.SetMonitorSubFolders(true);
  fs::create_directories(folder + "\\new");
  Touch(folder + "\\new\\n.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\new\\n.Log", faNew));
  // Wine leaves out subfolders that existed before the watch began.
  Touch(folder + "\\old\\seen.Log");
  Touch(folder + "\\marker2");
  ASSERT_TRUE(ev.WaitFor(folder + "\\marker2", faNew));
  if (!UnderWine()) {
    EXPECT_TRUE(ev.WaitFor(folder + "\\old\\seen.Log", faNew));
  }
}

TEST(FolderMonitorWin32, DeactivateReturnsAtOnceAndNothingFollowsIt) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  Events control;
  TVelFolderMonitor watcher("control", folder, kServiceChanges, true);
  watcher.SetOnFolderChange(control.Handler());
  {
    Events ev;
    TVelFolderMonitor mon("m", folder, kServiceChanges, true);
    mon.SetOnFolderChange(ev.Handler());
    Touch(folder + "\\before");
    ASSERT_TRUE(ev.WaitFor(folder + "\\before", faNew));
    mon.Deactivate();
    Touch(folder + "\\after");
    ASSERT_TRUE(control.WaitFor(folder + "\\after", faNew));
    EXPECT_FALSE(ev.Has(folder + "\\after"));
  }
  // No change follows: the destructor's join must not hang on a pending read.
  TVelFolderMonitor idle("idle", folder, kServiceChanges, true);
  idle.Deactivate();
}

TEST(FolderMonitorWin32, DeletedFolderIsNotMadeAgainAndTheWatchResumesWhenItIsBack) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  Events ev;
  std::atomic<int> gone{0};
  TVelFolderMonitor mon("m", folder, kServiceChanges, false);
  mon.SetOnFolderChange(ev.Handler());
  mon.SetOnFolderGone([&](TVelFolderMonitor*) { ++gone; });
  mon.Activate();
  Touch(folder + "\\doomed.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\doomed.Log", faNew));

  // Removed: told once, and left removed. Wine keeps a removed folder, pending deletion,
  // until its last handle is closed, and the watch's read does not fail: the watch holds it.
  std::error_code ec;
  fs::remove_all(folder, ec);
  ASSERT_FALSE(ec) << ec.message();
  if (UnderWine()) {
    EXPECT_TRUE(fs::exists(folder));
    mon.Deactivate();
    EXPECT_EQ(gone.load(), 0);
    return;
  }
  ASSERT_TRUE(vel::test::WaitUntil([&] { return gone.load() == 1; }));
  EXPECT_FALSE(fs::exists(folder));

  // Put back by someone else with an old log and a new one: only the new one is reported,
  // and the watch goes on.
  const std::string restored = tmp.file("restored");
  fs::create_directories(restored);
  Touch(restored + "\\ancient.Log");
  fs::last_write_time(restored + "\\ancient.Log",
                      fs::file_time_type::clock::now() - std::chrono::hours(1));
  Touch(restored + "\\quick.Log");
  fs::rename(restored, folder);
  ASSERT_TRUE(ev.WaitFor(folder + "\\quick.Log", faNew));
  Touch(folder + "\\later.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\later.Log", faNew));
  EXPECT_FALSE(ev.Has(folder + "\\ancient.Log"));
  EXPECT_EQ(gone.load(), 1);
}

TEST(FolderMonitorWin32, OverflowReadsTheListingOfTheFolder) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  vel::test::Gate gate;
  Events ev;
  TVelFolderMonitor mon("m", folder, kServiceChanges, true);
  mon.SetOnFolderChange(gate.Wrap(ev.Handler()));
  // Far more names than the 32768-byte buffer holds while the watch's thread is held.
  const int files = 400;
  const std::string longPart(100, 'n');
  std::vector<std::string> written;
  for (int i = 0; i < files; ++i) {
    written.push_back(folder + "\\" + longPart + std::to_string(i));
    Touch(written.back());
  }
  gate.Open();
  for (const std::string& name : written) ASSERT_TRUE(ev.WaitFor(name, faNew)) << name;
  EXPECT_EQ(ev.Count(), written.size());
}

TEST(FolderMonitorWin32, HundredsOfFoldersShareOneThreadAndEachGetsOnlyItsOwnChanges) {
  TempDir tmp;
  const auto threads = [] {
    win::HandleCloser snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot.h, &entry); more;
         more = Thread32Next(snapshot.h, &entry))
      if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    return count;
  };
  // Wine may start a thread of its own for the completion port's first use.
  vel::test::ExpectManyFoldersEachGetOnlyTheirOwnChanges(tmp, '\\', 300, threads, 2);
}

TEST(FolderMonitorWin32, FolderThatCannotBeOpenedAtActivateIsWatchedOnceItCan) {
  TempDir tmp;
  const std::string folder = tmp.file("logs");
  fs::create_directories(folder);
  // Held open by another without sharing: it stands in for a share that is not up yet.
  auto lockedHandle = std::make_unique<win::HandleCloser>(
      CreateFileW(win::Wide(folder).c_str(), FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(lockedHandle->valid());
  Events ev;
  std::atomic<int> gone{0};
  TVelFolderMonitor mon("m", folder, kServiceChanges, false);
  mon.SetOnFolderChange(ev.Handler());
  mon.SetOnFolderGone([&](TVelFolderMonitor*) { ++gone; });
  mon.Activate();
  EXPECT_TRUE(mon.IsActive());
  ASSERT_TRUE(vel::test::WaitUntil([&] { return gone.load() == 1; }));

  lockedHandle.reset();
  Touch(folder + "\\early.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\early.Log", faNew));
  Touch(folder + "\\later.Log");
  ASSERT_TRUE(ev.WaitFor(folder + "\\later.Log", faNew));
  EXPECT_EQ(gone.load(), 1);
}
