#include "folderwatch/FolderWatchHub.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace vel {

struct TFolderWatchHub::State {
  TFolderWatchSet Set;
  std::atomic<bool> Stopping{false};
  std::mutex Lock;  // guards Clients and NextId
  TFolderWatchSet::TWatchId NextId = 1;
  std::map<TFolderWatchSet::TWatchId, std::weak_ptr<TFolderWatchClient>> Clients;

  void Run() {
    std::vector<TFolderWatchSet::TBatch> batches;
    while (!Stopping.load()) {
      Set.Wait(batches);
      for (const TFolderWatchSet::TBatch& batch : batches) {
        std::shared_ptr<TFolderWatchClient> client;
        {
          std::lock_guard lock(Lock);
          auto it = Clients.find(batch.Id);
          if (it != Clients.end()) client = it->second.lock();
        }
        if (client) client->Deliver(batch);
        if (Stopping.load()) break;
      }
    }
  }
};

std::shared_ptr<TFolderWatchHub> TFolderWatchHub::Acquire() {
  static std::mutex lock;
  static std::weak_ptr<TFolderWatchHub> current;
  std::lock_guard guard(lock);
  std::shared_ptr<TFolderWatchHub> hub = current.lock();
  if (!hub) {
    hub.reset(new TFolderWatchHub());
    current = hub;
  }
  return hub;
}

TFolderWatchHub::TFolderWatchHub() : FState(std::make_shared<State>()) {
  FThread = std::thread([state = FState] { state->Run(); });
  FThreadId = FThread.get_id();
}

TFolderWatchHub::~TFolderWatchHub() {
  FState->Stopping.store(true);
  FState->Set.Wake();
  if (OnHubThread())
    FThread.detach();  // the last monitor let go from its own handler
  else
    FThread.join();
}

TFolderWatchSet::TWatchId TFolderWatchHub::Add(std::weak_ptr<TFolderWatchClient> client,
                                               const std::string& folder, TChangeTypes changes,
                                               bool subFolders) {
  // The client is known before the watch starts, so that its first changes find it.
  TFolderWatchSet::TWatchId id;
  {
    std::lock_guard lock(FState->Lock);
    id = FState->NextId++;
    FState->Clients.emplace(id, std::move(client));
  }
  try {
    FState->Set.Add(id, folder, changes, subFolders);
  } catch (...) {
    std::lock_guard lock(FState->Lock);
    FState->Clients.erase(id);
    throw;
  }
  return id;
}

void TFolderWatchHub::Remove(TFolderWatchSet::TWatchId id) {
  {
    std::lock_guard lock(FState->Lock);
    FState->Clients.erase(id);
  }
  FState->Set.Remove(id);
}

}  // namespace vel
