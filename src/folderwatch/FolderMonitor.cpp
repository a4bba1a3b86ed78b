#include "folderwatch/FolderMonitor.h"

#include <condition_variable>
#include <filesystem>
#include <system_error>

#include "common/Exception.h"
#include "common/Paths.h"
#include "folderwatch/FolderWatchHub.h"
#include "folderwatch/FolderWatcher.h"

namespace vel {

namespace {

const char* const kClassName = "TVelFolderMonitor";

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
  if (folder.empty() || (folder.back() != '/' && folder.back() != TFolderWatchSet::PathDelimiter))
    folder += TFolderWatchSet::PathDelimiter;
  return folder;
}

// True when the nearest part of path that exists is not a folder.
bool PathPartIsFile(const std::string& folder) {
  std::filesystem::path part = PathFromUtf8(folder);
  for (;;) {
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(part, ec);
    if (std::filesystem::exists(st)) return !std::filesystem::is_directory(st);
    if (!part.has_relative_path()) return false;
    part = part.parent_path();
  }
}

}  // namespace

// One run of the watch: the folder's place on the shared watch and the hand-over of its
// changes, which arrive on the hub's one thread and thus one at a time.
class TVelFolderMonitorWorker : public TFolderWatchClient {
 public:
  TVelFolderMonitorWorker(TVelFolderMonitor* owner, const std::string& folder)
      : FOwner(owner), FPrefix(WithTrailingDelimiter(folder)) {}

  static void Start(const std::shared_ptr<TVelFolderMonitorWorker>& self, const std::string& folder,
                    TChangeTypes changes, bool subFolders) {
    std::shared_ptr<TFolderWatchHub> hub = TFolderWatchHub::Acquire();
    const TFolderWatchSet::TWatchId id = hub->Add(self, folder, changes, subFolders);
    bool stopped;
    {
      std::lock_guard lock(self->FLock);
      self->FHub = hub;
      self->FId = id;
      stopped = self->FStopped;
    }
    if (stopped) hub->Remove(id);  // deactivated while the watch began
  }

  // Lets the owner go and ends the watch; returns at once.
  void Stop() {
    std::shared_ptr<TFolderWatchHub> hub;
    {
      std::lock_guard lock(FLock);
      FStopped = true;
      FOwner = nullptr;
      hub = FHub;
    }
    if (hub) hub->Remove(FId);
  }

  // True once no report runs or will run.
  bool Finished() {
    std::lock_guard lock(FLock);
    return FStopped && !FDelivering;
  }

  // Waits for a report still running, unless it is the caller's own (a monitor destroyed
  // from its handler).
  void Join() {
    std::unique_lock lock(FLock);
    if (FHub && FHub->OnHubThread()) return;
    FIdle.wait(lock, [this] { return !FDelivering; });
  }

  void Deliver(const TFolderWatchSet::TBatch& batch) override {
    {
      std::lock_guard lock(FLock);
      if (FStopped || FFailed) return;
      FDelivering = true;
    }
    try {
      for (const TFolderItemInfo& item : batch.Items)
        if (!Report(item)) break;
      if (batch.FolderGone) ReportFolderGone();
    } catch (...) {
      // A failing handler ends the watch; the monitor is not told.
      std::lock_guard lock(FLock);
      FFailed = true;
    }
    {
      std::lock_guard lock(FLock);
      FDelivering = false;
    }
    FIdle.notify_all();
  }

 private:
  TVelFolderMonitor* CurrentOwner() {
    std::lock_guard lock(FLock);
    return FStopped ? nullptr : FOwner;
  }

  // False once the owner let go.
  bool Report(const TFolderItemInfo& item) {
    TVelFolderMonitor* owner = CurrentOwner();
    if (owner == nullptr) return false;
    TFolderChangeEvent handler = owner->OnFolderChange();
    if (!handler) return true;
    FItem.Name = FPrefix + item.Name;
    FItem.Action = item.Action;
    // The last look before reporting: nothing is reported once Deactivate has returned.
    if (CurrentOwner() == nullptr) return false;
    handler(owner, FItem);
    return true;
  }

  void ReportFolderGone() {
    TVelFolderMonitor* owner = CurrentOwner();
    if (owner == nullptr) return;
    TFolderNotifyEvent handler = owner->OnFolderGone();
    if (handler && CurrentOwner() != nullptr) handler(owner);
  }

  std::mutex FLock;
  std::condition_variable FIdle;
  bool FStopped = false;
  bool FFailed = false;
  bool FDelivering = false;
  TVelFolderMonitor* FOwner;
  const std::string FPrefix;
  TFolderItemInfo FItem;
  std::shared_ptr<TFolderWatchHub> FHub;
  TFolderWatchSet::TWatchId FId = 0;
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

  // A folder that cannot be made because a part of its path is a file is a mistake in the
  // settings; one that cannot be reached yet (a share not up) is watched once it is there.
  if (!CreateFolderTree(folder) && PathPartIsFile(folder))
    throw Exception(prefix + "Folder \"" + folder + "\" does not exist and cannot be created");

  ReapFinishedWorkers();
  auto worker = std::make_shared<TVelFolderMonitorWorker>(this, folder);
  {
    std::lock_guard lock(FLock);
    if (FWorker) return;  // activated meanwhile on another thread
    FWorker = worker;
  }
  try {
    TVelFolderMonitorWorker::Start(worker, folder, changes, subFolders);
  } catch (const std::exception& e) {
    {
      std::lock_guard lock(FLock);
      FWorker.reset();
    }
    worker->Stop();
    throw Exception(prefix + "Folder \"" + folder + "\" cannot be watched: " + e.what());
  }

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

TFolderNotifyEvent TVelFolderMonitor::OnFolderGone() const {
  std::lock_guard lock(FLock);
  return FOnFolderGone;
}

void TVelFolderMonitor::SetOnFolderGone(TFolderNotifyEvent handler) {
  std::lock_guard lock(FLock);
  FOnFolderGone = std::move(handler);
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
