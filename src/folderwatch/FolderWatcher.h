#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "folderwatch/FolderMonitor.h"

namespace vel {

// The operating system's side of the folder monitors: every watched folder of the process on
// one system watch (one inotify instance on Linux, one I/O completion port on Windows), so
// that a thousand folders cost one thread and no handle or instance limit per folder. Waits
// for the next batch of changes of any folder and hands them over with names relative to
// their folder. Wait is called by one thread; Add, Remove and Wake may be called from others.
class TFolderWatchSet {
 public:
  using TWatchId = uint64_t;  // never 0

  // What one folder has to tell after a wait.
  struct TBatch {
    TWatchId Id = 0;
    // Its changes in the order the system recorded them (possibly none that pass the filter).
    std::vector<TFolderItemInfo> Items;
    // Told after Items, once: the folder was deleted or moved away, or could not be opened
    // when its watch began. It is looked for now and then and watched again once a folder is
    // there; the entries written in it since are then handed over as new.
    bool FolderGone = false;
  };

  // The separator of path parts in the names handed over.
  static const char PathDelimiter;

  TFolderWatchSet();
  ~TFolderWatchSet();
  TFolderWatchSet(const TFolderWatchSet&) = delete;
  TFolderWatchSet& operator=(const TFolderWatchSet&) = delete;

  // Starts watching folder (its subtree too when subFolders) under id, which the caller
  // chooses and no other watch has. A folder that cannot be opened now starts as gone. Raises
  // vel::Exception with the reason when the system refuses another watch (a limit of the
  // system, named in the text). The first changes reported are those made after it returns.
  void Add(TWatchId id, const std::string& folder, TChangeTypes changes, bool subFolders);
  // Ends the watch; changes of it not handed over yet are dropped. Unknown ids are ignored.
  void Remove(TWatchId id);
  // Blocks until a folder has something to tell, Wake was called or a watch changed; out is
  // cleared first and receives one batch per folder with something to tell.
  void Wait(std::vector<TBatch>& out);
  // Makes the current or next Wait return. Safe from any thread.
  void Wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

// Creates folder with its missing parents. Where the system has owners and modes, each folder
// made gets the owner, group and permission bits of the nearest folder above it that existed
// already, so that whoever may write there may write in the new folder as well. True when
// folder is a folder afterwards.
bool CreateFolderTree(const std::string& folder);

}  // namespace vel
