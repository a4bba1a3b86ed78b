#pragma once
// What the folder-monitor tests of both systems share.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Paths.h"
#include "folderwatch/FolderMonitor.h"
#include "support/TestSupport.h"

namespace vel::test {

// Collects the changes a monitor reports and lets the test wait for one.
class Events {
 public:
  vel::TFolderChangeEvent Handler() {
    return [this](vel::TVelFolderMonitor*, const vel::TFolderItemInfo& item) {
      {
        std::lock_guard lock(FLock);
        FItems.push_back(item);
      }
      FChanged.notify_all();
    };
  }

  bool WaitFor(const std::string& name, vel::TFolderAction action,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, timeout, [&] { return IndexOfLocked(name, action) >= 0; });
  }

  // Position of the first report of name with action, -1 when none.
  int IndexOf(const std::string& name, vel::TFolderAction action) {
    std::lock_guard lock(FLock);
    return IndexOfLocked(name, action);
  }

  bool Has(const std::string& name) {
    std::lock_guard lock(FLock);
    return std::any_of(FItems.begin(), FItems.end(),
                       [&](const vel::TFolderItemInfo& i) { return i.Name == name; });
  }

  size_t Count() {
    std::lock_guard lock(FLock);
    return FItems.size();
  }

 private:
  int IndexOfLocked(const std::string& name, vel::TFolderAction action) const {
    for (size_t i = 0; i < FItems.size(); ++i)
      if (FItems[i].Name == name && FItems[i].Action == action) return static_cast<int>(i);
    return -1;
  }

  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<vel::TFolderItemInfo> FItems;
};

// Holds every report until opened, so that the watch's thread stays in the first one while a
// test makes more changes than the system can queue.
class Gate {
 public:
  vel::TFolderChangeEvent Wrap(vel::TFolderChangeEvent inner) {
    return [this, inner](vel::TVelFolderMonitor* sender, const vel::TFolderItemInfo& item) {
      std::unique_lock lock(FLock);
      FOpened.wait(lock, [&] { return FOpen; });
      lock.unlock();
      inner(sender, item);
    };
  }

  void Open() {
    {
      std::lock_guard lock(FLock);
      FOpen = true;
    }
    FOpened.notify_all();
  }

 private:
  std::mutex FLock;
  std::condition_variable FOpened;
  bool FOpen = false;
};

inline void TouchFile(const std::string& file) {
  std::ofstream(vel::PathFromUtf8(file)) << "x";
}

// Watches `count` folders of their own below tmp (names joined with delimiter), checks that
// activating them all starts at most `extraThreads` threads (counted by threads), writes one file
// in each and checks that each monitor reports its own file and nothing else.
inline void ExpectManyFoldersEachGetOnlyTheirOwnChanges(const TempDir& tmp, char delimiter,
                                                        int count,
                                                        const std::function<int()>& threads,
                                                        int extraThreads) {
  const vel::TChangeTypes changes{vel::ctFileName, vel::ctCreationTime};
  const int threadsBefore = threads();
  std::vector<Events> events(count);
  std::vector<std::unique_ptr<vel::TVelFolderMonitor>> monitors;
  for (int i = 0; i < count; ++i) {
    monitors.push_back(std::make_unique<vel::TVelFolderMonitor>(
        "m", tmp.file("app" + std::to_string(i)), changes, false));
    monitors.back()->SetOnFolderChange(events[i].Handler());
    monitors.back()->Activate();
  }
  EXPECT_LE(threads(), threadsBefore + extraThreads);
  const std::string own = std::string(1, delimiter) + "own.Log";
  for (int i = 0; i < count; ++i) TouchFile(monitors[i]->Folder() + own);
  for (int i = 0; i < count; ++i)
    ASSERT_TRUE(events[i].WaitFor(monitors[i]->Folder() + own, vel::faNew)) << i;
  for (int i = 0; i < count; ++i) EXPECT_EQ(events[i].Count(), 1u) << i;
}

}  // namespace vel::test
