#pragma once

#include <memory>
#include <string>
#include <thread>

#include "folderwatch/FolderWatcher.h"

namespace vel {

// Receives the changes of one watched folder, on the hub's thread.
class TFolderWatchClient {
 public:
  virtual ~TFolderWatchClient() = default;
  virtual void Deliver(const TFolderWatchSet::TBatch& batch) = 0;
};

// The process's one watch of folders and the one thread that hands each folder's changes to
// its client. Shared by every active monitor; the thread ends when the last one lets go.
class TFolderWatchHub {
 public:
  // The hub in use, or a new one when none is.
  static std::shared_ptr<TFolderWatchHub> Acquire();
  // Stops the thread; joins it unless called on it (then it ends by itself right after).
  ~TFolderWatchHub();
  TFolderWatchHub(const TFolderWatchHub&) = delete;
  TFolderWatchHub& operator=(const TFolderWatchHub&) = delete;

  // Starts watching folder for client, which is held weakly. Exceptions of
  // TFolderWatchSet::Add leave.
  TFolderWatchSet::TWatchId Add(std::weak_ptr<TFolderWatchClient> client, const std::string& folder,
                                TChangeTypes changes, bool subFolders);
  void Remove(TFolderWatchSet::TWatchId id);
  bool OnHubThread() const { return std::this_thread::get_id() == FThreadId; }

 private:
  struct State;
  TFolderWatchHub();

  std::shared_ptr<State> FState;  // the thread holds it too, so it may end after the hub
  std::thread FThread;
  std::thread::id FThreadId;
};

}  // namespace vel
