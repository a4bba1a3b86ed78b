#pragma once
// What the folder-monitor tests of both systems share.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "folderwatch/FolderMonitor.h"

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

}  // namespace vel::test
