#pragma once

#include <memory>
#include <string>
#include <vector>

#include "folderwatch/FolderMonitor.h"

namespace vel {

// The operating system's side of a folder monitor: waits for the next batch of changes in
// one folder (and its subtree when asked) and hands them over with names relative to the
// folder. Used by one worker thread; only Wake may be called from another thread.
class TFolderWatcher {
 public:
  enum class TWaitResult {
    Changes,  // batch holds the changes of one read (possibly none that pass the filter)
    Lost,     // the system's queue overflowed: the changes of this batch are lost
    Woken,    // Wake was called
  };

  // The separator of path parts in the names handed over.
  static const char PathDelimiter;

  // Starts watching folder, which must exist. Raises vel::Exception with the reason when
  // the folder cannot be watched.
  TFolderWatcher(const std::string& folder, TChangeTypes changes, bool subFolders);
  ~TFolderWatcher();
  TFolderWatcher(const TFolderWatcher&) = delete;
  TFolderWatcher& operator=(const TFolderWatcher&) = delete;

  // Blocks until changes arrive or Wake is called; batch is cleared first and receives the
  // changes in the order the system recorded them.
  TWaitResult WaitForChanges(std::vector<TFolderItemInfo>& batch);
  // Makes the current or next WaitForChanges return Woken. Safe from any thread.
  void Wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace vel
