// The folder watch on ReadDirectoryChangesW.
//
// Change kinds and the filter flags that stand for them:
//   ctFileName        FILE_NOTIFY_CHANGE_FILE_NAME    ctLastWriteTime FILE_NOTIFY_CHANGE_LAST_WRITE
//   ctDirName         FILE_NOTIFY_CHANGE_DIR_NAME     ctLastAccessTime
//   FILE_NOTIFY_CHANGE_LAST_ACCESS ctAttr            FILE_NOTIFY_CHANGE_ATTRIBUTES   ctCreationTime
//   FILE_NOTIFY_CHANGE_CREATION ctSize            FILE_NOTIFY_CHANGE_SIZE         ctSecurityAttr
//   FILE_NOTIFY_CHANGE_SECURITY
//
// Each change record becomes one item, in the order the system wrote them, its action taken
// from the record's action code (added, removed, modified, renamed old name, renamed new
// name). The system itself pairs a rename inside the watched tree and reports a move in as
// added and a move out as removed.
//
// The read is overlapped, so the worker waits on the read's event and on a wake-up event at
// once; a read still pending when the watch ends is cancelled and waited for before its
// buffer goes away. An overflow (an empty result or ERROR_NOTIFY_ENUM_DIR) loses that batch.
// A watched folder that is deleted is not made again here: an operator must be able to remove
// a retired application's folder. When a read fails and the folder is no longer there, the
// watcher says so once (FolderGone) and looks for the path every second; when a folder is
// there again it is watched, and the entries in it written since the last read before the
// loss are reported as new (a folder of old logs put back does not report them again). A read
// that fails while the folder is still there is issued again, after a pause when it failed
// at once before. (A folder moved away keeps its handle, so the watch follows it.)

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/Exception.h"
#include "common/WinApi_win32.h"
#include "folderwatch/FolderWatcher.h"

namespace vel {

namespace {

constexpr DWORD kBufferSize = 32768;
// Pause before trying again when the folder cannot be opened or read, and how often a
// vanished folder is looked for.
constexpr DWORD kRetryMs = 1000;
// File times may lie a little before the moment they were set; entries this much older than
// the last read before a loss still count as new.
constexpr auto kFileTimeSlack = std::chrono::seconds(1);

using win::Narrow;
using win::SystemMessage;
using win::Wide;

DWORD FilterOf(TChangeTypes changes) {
  static constexpr DWORD kFlags[8] = {
      FILE_NOTIFY_CHANGE_FILE_NAME, FILE_NOTIFY_CHANGE_DIR_NAME,   FILE_NOTIFY_CHANGE_ATTRIBUTES,
      FILE_NOTIFY_CHANGE_SIZE,      FILE_NOTIFY_CHANGE_LAST_WRITE, FILE_NOTIFY_CHANGE_LAST_ACCESS,
      FILE_NOTIFY_CHANGE_CREATION,  FILE_NOTIFY_CHANGE_SECURITY,
  };
  DWORD filter = 0;
  for (int kind = 0; kind < 8; ++kind)
    if (changes.Contains(static_cast<TChangeType>(kind))) filter |= kFlags[kind];
  return filter;
}

class TEvent {
 public:
  TEvent() : FHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (FHandle == nullptr) throw Exception(SystemMessage(GetLastError()));
  }
  ~TEvent() { CloseHandle(FHandle); }
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  HANDLE Get() const { return FHandle; }

 private:
  HANDLE FHandle;
};

}  // namespace

const char TFolderWatcher::PathDelimiter = '\\';

struct TFolderWatcher::Impl {
  const std::wstring Folder;
  const DWORD Filter;
  const bool SubFolders;
  TEvent IoEvent;
  TEvent WakeEvent;
  HANDLE Dir = INVALID_HANDLE_VALUE;
  OVERLAPPED Overlapped{};
  bool Pending = false;
  // Set when the folder was opened again; cleared by the first completed read.
  bool JustRestored = false;
  // The loss of the folder is still to be told (FolderGone).
  bool GoneUntold = false;
  // When the latest read completed: entries of a folder opened again count as new when
  // written after it.
  std::filesystem::file_time_type LatestReadAt = std::filesystem::file_time_type::clock::now();
  // DWORD elements keep the records aligned as the system writes them.
  std::vector<DWORD> Buffer;

  Impl(const std::string& folder, TChangeTypes changes, bool subFolders)
      : Folder(Wide(folder)),
        Filter(FilterOf(changes)),
        SubFolders(subFolders),
        Buffer(kBufferSize / sizeof(DWORD)) {
    DWORD error = OpenDir();
    if (error == 0 && !IssueRead()) {
      error = GetLastError();
      CloseDir();
    }
    if (error != 0) throw Exception(SystemMessage(error));
  }

  ~Impl() { CloseDir(); }

  // 0, or the error of the failed open.
  DWORD OpenDir() {
    Dir = CreateFileW(Folder.c_str(), FILE_LIST_DIRECTORY,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    return Dir == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  }

  // Releases the folder; a pending read is cancelled and waited for, since the system
  // writes into Buffer and Overlapped until it completes.
  void CloseDir() {
    if (Dir == INVALID_HANDLE_VALUE) return;
    if (Pending) {
      CancelIoEx(Dir, &Overlapped);
      DWORD ignored = 0;
      GetOverlappedResult(Dir, &Overlapped, &ignored, TRUE);
      Pending = false;
    }
    CloseHandle(Dir);
    Dir = INVALID_HANDLE_VALUE;
  }

  bool IssueRead() {
    ResetEvent(IoEvent.Get());
    Overlapped = OVERLAPPED{};
    Overlapped.hEvent = IoEvent.Get();
    if (!ReadDirectoryChangesW(Dir, Buffer.data(), kBufferSize, SubFolders ? TRUE : FALSE, Filter,
                               nullptr, &Overlapped, nullptr)) {
      return false;
    }
    Pending = true;
    return true;
  }

  void Parse(DWORD length, std::vector<TFolderItemInfo>& batch) const {
    const auto* base = reinterpret_cast<const unsigned char*>(Buffer.data());
    size_t pos = 0;
    while (pos + offsetof(FILE_NOTIFY_INFORMATION, FileName) <= length) {
      const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + pos);
      const size_t nameBytes = record->FileNameLength;
      if (pos + offsetof(FILE_NOTIFY_INFORMATION, FileName) + nameBytes > length) break;
      TFolderAction action;
      bool known = true;
      switch (record->Action) {
        case FILE_ACTION_ADDED:
          action = faNew;
          break;
        case FILE_ACTION_REMOVED:
          action = faRemoved;
          break;
        case FILE_ACTION_MODIFIED:
          action = faModified;
          break;
        case FILE_ACTION_RENAMED_OLD_NAME:
          action = faRenamedOld;
          break;
        case FILE_ACTION_RENAMED_NEW_NAME:
          action = faRenamedNew;
          break;
        default:
          known = false;
          action = faModified;
          break;
      }
      if (known) {
        const std::wstring name(record->FileName, nameBytes / sizeof(wchar_t));
        batch.push_back({Narrow(name), action});
      }
      if (record->NextEntryOffset == 0) break;
      pos += record->NextEntryOffset;
    }
  }

  // Waits up to timeoutMs for the wake-up; true when woken.
  bool Pause(DWORD timeoutMs) const {
    return WaitForSingleObject(WakeEvent.Get(), timeoutMs) == WAIT_OBJECT_0;
  }

  // Watches the folder again when it is there; what was written in it since the last read
  // is reported as new. False when it cannot be watched yet.
  bool Restore(std::vector<TFolderItemInfo>& batch) {
    if (OpenDir() != 0) return false;
    if (!IssueRead()) {
      CloseDir();
      return false;
    }
    ListTree(std::filesystem::path(Folder), std::wstring(), LatestReadAt - kFileTimeSlack, batch);
    LatestReadAt = std::filesystem::file_time_type::clock::now();
    JustRestored = true;
    return true;
  }

  void ListTree(const std::filesystem::path& dir, const std::wstring& rel,
                std::filesystem::file_time_type since, std::vector<TFolderItemInfo>& out) const {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      const std::wstring childRel = rel.empty() ? it->path().filename().wstring()
                                                : rel + L"\\" + it->path().filename().wstring();
      std::error_code sec;
      const bool isDir = it->is_directory(sec);
      const bool recent = it->last_write_time(sec) >= since && !sec;
      if (recent && (Filter & (isDir ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME)))
        out.push_back({Narrow(childRel), faNew});
      if (isDir && SubFolders) ListTree(it->path(), childRel, since, out);
    }
  }

  bool FolderExists() const {
    const DWORD attributes = GetFileAttributesW(Folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  TWaitResult Wait(std::vector<TFolderItemInfo>& batch) {
    batch.clear();
    for (;;) {
      if (GoneUntold) {
        GoneUntold = false;
        return TWaitResult::FolderGone;
      }
      if (Dir == INVALID_HANDLE_VALUE) {
        if (!Restore(batch)) {
          if (Pause(kRetryMs)) return TWaitResult::Woken;
          continue;
        }
        if (!batch.empty()) return TWaitResult::Changes;
      }
      if (!Pending && !IssueRead()) {
        CloseDir();
        if (Pause(kRetryMs)) return TWaitResult::Woken;
        continue;
      }
      const HANDLE handles[2] = {WakeEvent.Get(), IoEvent.Get()};
      const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0) return TWaitResult::Woken;
      if (woke != WAIT_OBJECT_0 + 1) {
        if (Pause(kRetryMs)) return TWaitResult::Woken;
        continue;
      }
      DWORD length = 0;
      const BOOL ok = GetOverlappedResult(Dir, &Overlapped, &length, FALSE);
      const DWORD error = ok ? 0 : GetLastError();
      if (!ok && error == ERROR_IO_INCOMPLETE) continue;
      Pending = false;
      const bool restored = JustRestored;
      JustRestored = false;
      if (ok) LatestReadAt = std::filesystem::file_time_type::clock::now();
      if (ok && length > 0) {
        Parse(length, batch);
        // The next read goes out at once; a failure of it is dealt with on the next wait.
        IssueRead();
        return TWaitResult::Changes;
      }
      if (ok || error == ERROR_NOTIFY_ENUM_DIR) {
        IssueRead();
        return TWaitResult::Lost;
      }
      // The folder went away (ERROR_ACCESS_DENIED once it is being deleted) or cannot be
      // read any more: let it go, so that a deletion can complete. Gone: told, and looked
      // for from now on. Still there: watched again, after a pause when it failed at once.
      CloseDir();
      if (!FolderExists())
        GoneUntold = true;
      else if (restored && Pause(kRetryMs))
        return TWaitResult::Woken;
    }
  }

  // The wake-up is never reset: a woken watcher stays woken, as it is only woken to end.
  void Wake() { SetEvent(WakeEvent.Get()); }
};

TFolderWatcher::TFolderWatcher(const std::string& folder, TChangeTypes changes, bool subFolders)
    : FImpl(std::make_unique<Impl>(folder, changes, subFolders)) {}

TFolderWatcher::~TFolderWatcher() = default;

TFolderWatcher::TWaitResult TFolderWatcher::WaitForChanges(std::vector<TFolderItemInfo>& batch) {
  return FImpl->Wait(batch);
}

void TFolderWatcher::Wake() {
  FImpl->Wake();
}

}  // namespace vel
