#include "folderwatch/FolderMonitor.h"

#include <atomic>
#include <filesystem>
#include <system_error>
#include <thread>

#include "common/Exception.h"
#include "folderwatch/FolderWatcher.h"

namespace vel {

namespace {

const char* const kClassName = "TVelFolderMonitor";

// Handlers of monitors with NeedSynchronize set take turns on this lock.
std::mutex& SynchronizeLock() {
  static std::mutex lock;
  return lock;
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

std::string WithTrailingDelimiter(std::string folder) {
  // "/" is a path delimiter everywhere; the system may have one of its own.
  if (folder.empty() || (folder.back() != '/' && folder.back() != TFolderWatcher::PathDelimiter))
    folder += TFolderWatcher::PathDelimiter;
  return folder;
}

}  // namespace

// One run of the watch: the folder's watcher and the thread that reports its changes. The
// thread holds a reference to its worker, so a worker let go by its monitor stays valid
// until the thread has ended.
class TVelFolderMonitorWorker {
 public:
  TVelFolderMonitorWorker(TVelFolderMonitor* owner, const std::string& folder, TChangeTypes changes,
                          bool subFolders)
      : FOwner(owner),
        FPrefix(WithTrailingDelimiter(folder)),
        FWatcher(folder, changes, subFolders) {}

  ~TVelFolderMonitorWorker() {
    if (FThread.joinable()) FThread.detach();  // only reached on the thread itself
  }

  static void Start(const std::shared_ptr<TVelFolderMonitorWorker>& self) {
    self->FThread = std::thread([self] { self->Run(); });
  }

  // Lets the owner go and wakes the thread; returns at once.
  void Stop() {
    {
      std::lock_guard lock(FLock);
      FStopped = true;
      FOwner = nullptr;
    }
    FWatcher.Wake();
  }

  bool Finished() const { return FFinished.load(); }

  void Join() {
    if (!FThread.joinable()) return;
    if (FThread.get_id() == std::this_thread::get_id())
      FThread.detach();  // the monitor is being destroyed from its own handler
    else
      FThread.join();
  }

 private:
  TVelFolderMonitor* CurrentOwner() {
    std::lock_guard lock(FLock);
    return FStopped ? nullptr : FOwner;
  }

  void Run() {
    std::vector<TFolderItemInfo> batch;
    try {
      while (CurrentOwner() != nullptr) {
        if (FWatcher.WaitForChanges(batch) != TFolderWatcher::TWaitResult::Changes) continue;
        for (TFolderItemInfo& item : batch) {
          TVelFolderMonitor* owner = CurrentOwner();
          if (owner == nullptr) break;
          TFolderChangeEvent handler;
          bool synchronize;
          {
            std::lock_guard lock(owner->FLock);
            handler = owner->FOnFolderChange;
            synchronize = owner->FNeedSynchronize;
          }
          if (!handler) continue;
          FItem.Name = FPrefix + item.Name;
          FItem.Action = item.Action;
          // The last look before reporting: nothing is reported once Deactivate has returned.
          if (CurrentOwner() == nullptr) break;
          if (synchronize) {
            std::lock_guard lock(SynchronizeLock());
            handler(owner, FItem);
          } else {
            handler(owner, FItem);
          }
        }
      }
    } catch (...) {
      // A failing handler ends the watch; the monitor is not told.
    }
    FFinished.store(true);
  }

  std::mutex FLock;
  bool FStopped = false;
  TVelFolderMonitor* FOwner;
  const std::string FPrefix;
  TFolderWatcher FWatcher;
  TFolderItemInfo FItem;
  std::atomic<bool> FFinished{false};
  std::thread FThread;
};

TVelFolderMonitor::TVelFolderMonitor(std::string aName, std::string aFolder,
                                     TChangeTypes aMonitoredChanges, bool aActivate)
    : FName(std::move(aName)), FFolder(std::move(aFolder)), FMonitoredChanges(aMonitoredChanges) {
  if (aActivate) Activate();
}

TVelFolderMonitor::~TVelFolderMonitor() {
  Deactivate();
  std::vector<std::shared_ptr<TVelFolderMonitorWorker>> workers;
  {
    std::lock_guard lock(FLock);
    workers.swap(FRetiredWorkers);
  }
  for (auto& w : workers) w->Join();
}

void TVelFolderMonitor::ReapFinishedWorkers() {
  std::vector<std::shared_ptr<TVelFolderMonitorWorker>> finished;
  {
    std::lock_guard lock(FLock);
    for (auto it = FRetiredWorkers.begin(); it != FRetiredWorkers.end();) {
      if ((*it)->Finished()) {
        finished.push_back(std::move(*it));
        it = FRetiredWorkers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& w : finished) w->Join();
}

void TVelFolderMonitor::Activate() {
  std::string folder;
  TChangeTypes changes;
  bool subFolders;
  {
    std::lock_guard lock(FLock);
    if (FWorker) return;
    folder = FFolder;
    changes = FMonitoredChanges;
    subFolders = FMonitorSubFolders;
  }
  const std::string prefix = std::string(kClassName) + ".Activate: ";
  if (changes.Empty()) throw Exception(prefix + "Events to be monitored need to be specified");
  if (folder.empty()) throw Exception(prefix + "Folder to be monitored needs to be specified");

  std::error_code ec;
  // The text is UTF-8 on every system (a plain std::string path is read in the ANSI code page
  // on Windows).
  const std::filesystem::path path(std::u8string(folder.begin(), folder.end()));
  std::filesystem::create_directories(path, ec);
  if (!std::filesystem::is_directory(path, ec))
    throw Exception(prefix + "Folder \"" + folder + "\" does not exist and cannot be created");

  ReapFinishedWorkers();
  std::shared_ptr<TVelFolderMonitorWorker> worker;
  try {
    worker = std::make_shared<TVelFolderMonitorWorker>(this, folder, changes, subFolders);
  } catch (const std::exception& e) {
    throw Exception(prefix + "Folder \"" + folder + "\" cannot be watched: " + e.what());
  }
  {
    std::lock_guard lock(FLock);
    if (FWorker) return;  // activated meanwhile on another thread; this worker never ran
    FWorker = worker;
  }
  TVelFolderMonitorWorker::Start(worker);

  TFolderNotifyEvent activated = OnActivated();
  if (activated) activated(this);
}

void TVelFolderMonitor::Deactivate() {
  std::shared_ptr<TVelFolderMonitorWorker> worker;
  {
    std::lock_guard lock(FLock);
    if (!FWorker) return;
    worker = std::move(FWorker);
    FWorker.reset();
  }
  worker->Stop();
  {
    std::lock_guard lock(FLock);
    FRetiredWorkers.push_back(std::move(worker));
  }
  ReapFinishedWorkers();

  TFolderNotifyEvent deactivated = OnDeactivated();
  if (deactivated) deactivated(this);
}

template <typename Store>
void TVelFolderMonitor::RestartWithChange(Store store) {
  const bool wasActive = IsActive();
  if (wasActive) Deactivate();
  try {
    store();
  } catch (...) {
    if (wasActive) Activate();
    throw;
  }
  if (wasActive) Activate();
}

std::string TVelFolderMonitor::Folder() const {
  std::lock_guard lock(FLock);
  return FFolder;
}

void TVelFolderMonitor::SetFolder(const std::string& value) {
  {
    std::lock_guard lock(FLock);
    if (FFolder == value) return;
    if (!FFolder.empty() && !value.empty() && EqualsIgnoringAsciiCase(FFolder, value)) return;
  }
  RestartWithChange([&] {
    std::lock_guard lock(FLock);
    FFolder = value;
  });
}

bool TVelFolderMonitor::IsActive() const {
  std::lock_guard lock(FLock);
  return FWorker != nullptr;
}

void TVelFolderMonitor::SetIsActive(bool value) {
  if (value)
    Activate();
  else
    Deactivate();
}

TChangeTypes TVelFolderMonitor::MonitoredChanges() const {
  std::lock_guard lock(FLock);
  return FMonitoredChanges;
}

void TVelFolderMonitor::SetMonitoredChanges(TChangeTypes value) {
  {
    std::lock_guard lock(FLock);
    if (FMonitoredChanges == value) return;
  }
  RestartWithChange([&] {
    std::lock_guard lock(FLock);
    FMonitoredChanges = value;
  });
}

bool TVelFolderMonitor::MonitorSubFolders() const {
  std::lock_guard lock(FLock);
  return FMonitorSubFolders;
}

void TVelFolderMonitor::SetMonitorSubFolders(bool value) {
  {
    std::lock_guard lock(FLock);
    if (FMonitorSubFolders == value) return;
  }
  RestartWithChange([&] {
    std::lock_guard lock(FLock);
    FMonitorSubFolders = value;
  });
}

TFolderChangeEvent TVelFolderMonitor::OnFolderChange() const {
  std::lock_guard lock(FLock);
  return FOnFolderChange;
}

void TVelFolderMonitor::SetOnFolderChange(TFolderChangeEvent handler) {
  std::lock_guard lock(FLock);
  FOnFolderChange = std::move(handler);
}

TFolderNotifyEvent TVelFolderMonitor::OnActivated() const {
  std::lock_guard lock(FLock);
  return FOnActivated;
}

void TVelFolderMonitor::SetOnActivated(TFolderNotifyEvent handler) {
  std::lock_guard lock(FLock);
  FOnActivated = std::move(handler);
}

TFolderNotifyEvent TVelFolderMonitor::OnDeactivated() const {
  std::lock_guard lock(FLock);
  return FOnDeactivated;
}

void TVelFolderMonitor::SetOnDeactivated(TFolderNotifyEvent handler) {
  std::lock_guard lock(FLock);
  FOnDeactivated = std::move(handler);
}

bool TVelFolderMonitor::NeedSynchronize() const {
  std::lock_guard lock(FLock);
  return FNeedSynchronize;
}

void TVelFolderMonitor::SetNeedSynchronize(bool value) {
  std::lock_guard lock(FLock);
  FNeedSynchronize = value;
}

}  // namespace vel
