#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vel {

// Kinds of change a monitor can watch. The ordinal is the bit of the kind in TChangeTypes.
enum TChangeType : uint8_t {
  ctFileName = 0,
  ctDirName = 1,
  ctAttr = 2,
  ctSize = 3,
  ctLastWriteTime = 4,
  ctLastAccessTime = 5,
  ctCreationTime = 6,
  ctSecurityAttr = 7,
};

// A set of change kinds in one byte, bit n standing for the kind of ordinal n: the value 65
// is {ctFileName, ctCreationTime}.
class TChangeTypes {
 public:
  constexpr TChangeTypes() = default;
  constexpr explicit TChangeTypes(uint8_t bits) : FBits(bits) {}
  constexpr TChangeTypes(std::initializer_list<TChangeType> kinds) {
    for (TChangeType k : kinds) FBits = static_cast<uint8_t>(FBits | (1u << k));
  }

  constexpr bool Contains(TChangeType k) const { return (FBits & (1u << k)) != 0; }
  constexpr void Include(TChangeType k) { FBits = static_cast<uint8_t>(FBits | (1u << k)); }
  constexpr void Exclude(TChangeType k) { FBits = static_cast<uint8_t>(FBits & ~(1u << k)); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr uint8_t Value() const { return FBits; }
  constexpr bool operator==(const TChangeTypes&) const = default;

 private:
  uint8_t FBits = 0;
};

// What happened to an entry of the watched folder.
enum TFolderAction : uint8_t {
  faNew = 0,         // created, or moved in from outside the watched tree
  faRemoved = 1,     // deleted, or moved out of the watched tree
  faModified = 2,    // contents, attributes or times changed
  faRenamedOld = 3,  // old name of an entry renamed inside the watched tree
  faRenamedNew = 4,  // its new name; always follows the faRenamedOld of the same rename
};

// One reported change. Name is the full path: the monitor's folder, one path delimiter ("/"
// on Linux, "\" on Windows; not added when the folder ends with a delimiter) and the name
// relative to the folder (with subfolder parts when subfolders are watched).
struct TFolderItemInfo {
  std::string Name;
  TFolderAction Action = faNew;
};

class TVelFolderMonitor;
class TVelFolderMonitorWorker;

// The record belongs to the worker and is reused for the next change: copy what you keep.
using TFolderChangeEvent =
    std::function<void(TVelFolderMonitor* sender, const TFolderItemInfo& item)>;
using TFolderNotifyEvent = std::function<void(TVelFolderMonitor* sender)>;

// Watches one folder and reports each change, one at a time, through OnFolderChange. The
// folders of all monitors share one system watch and one thread, on which every handler runs:
// handlers of all monitors thus run one after the other, and a handler that blocks holds up
// every folder's reports. A handler must not throw: an exception from it ends the watch (the
// monitor stays "active" until deactivated).
//
// A watched folder that is deleted or moved away is not made again: OnFolderGone is called
// once, and the watch goes on by itself when a folder of that path exists again (looked for
// about once a second); the entries written in it since are then reported as new. A folder
// that cannot be made or opened at Activate (a share not up yet) starts in that state.
class TVelFolderMonitor {
 public:
  // Stores the settings and, when activate is true, activates; exceptions of Activate
  // leave the constructor.
  TVelFolderMonitor(std::string aName, std::string aFolder, TChangeTypes aMonitoredChanges,
                    bool aActivate);
  // Deactivates and waits for a report of this monitor still running (unless called from it).
  virtual ~TVelFolderMonitor();
  TVelFolderMonitor(const TVelFolderMonitor&) = delete;
  TVelFolderMonitor& operator=(const TVelFolderMonitor&) = delete;

  // Creates the folder with its missing parents (each with the owner, group and mode of the
  // nearest folder that existed) and starts watching it; does nothing when active. Raises
  // vel::Exception "TVelFolderMonitor.Activate: ..." when no change kind or no folder is set,
  // when the folder cannot be created because a part of its path is a file, or when the system
  // refuses another watch. A folder that cannot be made or opened otherwise is reported gone
  // (OnFolderGone) and watched once it is there.
  void Activate();
  // Lets the worker go and returns at once: no report starts after it returns, also not one
  // that was waiting for its turn under NeedSynchronize (a handler call already running may
  // still finish). Does nothing when inactive.
  void Deactivate();

  // Free label (the service passes the application's name).
  const std::string& Name() const { return FName; }
  void SetName(std::string v) { FName = std::move(v); }

  std::string Folder() const;
  // A path equal to the current one apart from the letter case of ASCII letters changes
  // nothing (the stored path keeps its letter case). Any other change restarts an active
  // monitor on the new value.
  void SetFolder(const std::string& value);

  bool IsActive() const;
  void SetIsActive(bool value);

  TChangeTypes MonitoredChanges() const;
  void SetMonitoredChanges(TChangeTypes value);

  bool MonitorSubFolders() const;
  void SetMonitorSubFolders(bool value);

  TFolderChangeEvent OnFolderChange() const;
  void SetOnFolderChange(TFolderChangeEvent handler);
  // Called on the caller's thread after Activate / Deactivate changed the state.
  TFolderNotifyEvent OnActivated() const;
  void SetOnActivated(TFolderNotifyEvent handler);
  TFolderNotifyEvent OnDeactivated() const;
  void SetOnDeactivated(TFolderNotifyEvent handler);
  // Called on the watch's thread when the watched folder was deleted or moved away, or could
  // not be opened at Activate.
  TFolderNotifyEvent OnFolderGone() const;
  void SetOnFolderGone(TFolderNotifyEvent handler);

  // There is no main-thread message loop to hand events to; the change handlers of all
  // monitors run one at a time on the watch's thread whether set or not.
  bool NeedSynchronize() const;
  void SetNeedSynchronize(bool value);

 private:
  friend class TVelFolderMonitorWorker;

  template <typename Store>
  void RestartWithChange(Store store);
  void ReapFinishedWorkers();

  std::string FName;
  mutable std::mutex FLock;  // guards the fields below against the worker's reads
  std::string FFolder;
  TChangeTypes FMonitoredChanges;
  bool FMonitorSubFolders = false;
  bool FNeedSynchronize = false;
  TFolderChangeEvent FOnFolderChange;
  TFolderNotifyEvent FOnDeactivated;
  TFolderNotifyEvent FOnActivated;
  TFolderNotifyEvent FOnFolderGone;
  std::shared_ptr<TVelFolderMonitorWorker> FWorker;
  // Workers let go by Deactivate whose report may still run; waited for in the destructor.
  std::vector<std::shared_ptr<TVelFolderMonitorWorker>> FRetiredWorkers;
};

}  // namespace vel
