// The folder watches on ReadDirectoryChangesW, all on one I/O completion port.
//
// Change kinds and the filter flags that stand for them:
//   ctFileName       FILE_NOTIFY_CHANGE_FILE_NAME    ctLastWriteTime  FILE_NOTIFY_CHANGE_LAST_WRITE
//   ctDirName        FILE_NOTIFY_CHANGE_DIR_NAME     ctLastAccessTime
//   FILE_NOTIFY_CHANGE_LAST_ACCESS ctAttr           FILE_NOTIFY_CHANGE_ATTRIBUTES   ctCreationTime
//   FILE_NOTIFY_CHANGE_CREATION ctSize           FILE_NOTIFY_CHANGE_SIZE         ctSecurityAttr
//   FILE_NOTIFY_CHANGE_SECURITY
//
// Each change record becomes one item, in the order the system wrote them, its action taken
// from the record's action code (added, removed, modified, renamed old name, renamed new
// name). The system itself pairs a rename inside the watched tree and reports a move in as
// added and a move out as removed.
//
// Every folder's handle is opened for overlapped reads and tied to the one completion port;
// the waiting thread takes the completions of all of them. Every read is issued by that
// thread, so that no read is tied to a thread that may end before it. A completed read is
// parsed and issued again before its records are handed on. A watch that ends has its read
// cancelled; its buffer is freed only once that read has come back.
//
// An overflow (a read that completes with no records, or ERROR_NOTIFY_ENUM_DIR) loses the
// system's records, so the folder's listing stands in for them: the entries written since the
// read before are reported as new, apart from those reported already.
//
// A watched folder that is deleted is not made again here: an operator must be able to remove
// a retired application's folder. When a read fails and the folder is no longer there (or it
// could not be opened when its watch began), the watch says so once (FolderGone) and looks
// for the path every second; when a folder is there again it is watched, and the entries in it
// written since the last read before the loss are reported as new (a folder of old logs put
// back does not report them again). A read that fails while the folder is still there is tried
// again a second later. (A folder moved away keeps its handle, so the watch follows it.)

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "common/Exception.h"
#include "common/WinApi_win32.h"
#include "folderwatch/FolderWatcher.h"
#include "folderwatch/WatchShared.h"

namespace vel {

namespace {

using TFileTime = std::filesystem::file_time_type;

constexpr DWORD kBufferSize = 32768;
// How often folders that are gone or could not be read are looked for.
constexpr DWORD kRetryMs = 1000;
// File times may lie a little before the moment they were set; entries this much older than
// the last read before a loss still count as new.
constexpr auto kFileTimeSlack = std::chrono::seconds(1);
// Completions taken in one wait before the batches are handed on.
constexpr int kCompletionsPerWait = 64;

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

// Failures of opening a folder that say the system is out of something, not the folder.
bool IsResourceError(DWORD error) {
  return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY ||
         error == ERROR_NO_SYSTEM_RESOURCES || error == ERROR_OUTOFMEMORY;
}

// One watched folder. Its OVERLAPPED and buffer belong to the system while Pending.
struct TWatch {
  OVERLAPPED Overlapped{};
  const std::wstring Folder;
  const DWORD Filter;
  const bool SubFolders;
  HANDLE Dir = INVALID_HANDLE_VALUE;
  bool Pending = false;
  bool Started = false;     // its first read was tried
  bool Removed = false;     // ended; freed once its read is back
  bool GoneUntold = false;  // the loss of the folder is still to be told
  // The folder is not open (gone, or its read failed): looked for now and then.
  bool Closed = false;
  TFileTime LostSince;
  // When the pending read was issued, and the one before it. A change the system could not
  // hand to a read happened after the one before was issued.
  TFileTime IssuedAt = TFileTime::clock::now();
  TFileTime IssuedBefore = IssuedAt;
  std::vector<DWORD> Buffer;  // DWORD elements keep the records aligned as the system writes them
  std::vector<TFolderItemInfo> Batch;
  TRecentNames<TFileTime> RecentNew;

  TWatch(const std::string& folder, TChangeTypes changes, bool subFolders)
      : Folder(Wide(folder)),
        Filter(FilterOf(changes)),
        SubFolders(subFolders),
        Buffer(kBufferSize / sizeof(DWORD)) {}

  ~TWatch() {
    if (Dir != INVALID_HANDLE_VALUE) CloseHandle(Dir);
  }
  TWatch(const TWatch&) = delete;
  TWatch& operator=(const TWatch&) = delete;

  // Opens the folder and ties it to port; 0 or the error.
  DWORD Open(HANDLE port) {
    Dir = CreateFileW(Folder.c_str(), FILE_LIST_DIRECTORY,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (Dir == INVALID_HANDLE_VALUE) return GetLastError();
    if (CreateIoCompletionPort(Dir, port, reinterpret_cast<ULONG_PTR>(this), 0) == nullptr) {
      const DWORD error = GetLastError();
      Close();
      return error;
    }
    Closed = false;
    return 0;
  }

  void Close() {
    if (Dir != INVALID_HANDLE_VALUE) CloseHandle(Dir);
    Dir = INVALID_HANDLE_VALUE;
    Closed = true;
  }

  bool IssueRead() {
    IssuedBefore = IssuedAt;
    IssuedAt = TFileTime::clock::now();
    Overlapped = OVERLAPPED{};
    if (!ReadDirectoryChangesW(Dir, Buffer.data(), kBufferSize, SubFolders ? TRUE : FALSE, Filter,
                               nullptr, &Overlapped, nullptr))
      return false;
    Pending = true;
    return true;
  }

  // The read failed or could not be issued: the folder is let go, so that a deletion can
  // complete (ERROR_ACCESS_DENIED once it is being deleted). Gone: told, and looked for.
  // Still there: tried again a little later.
  void Fail() {
    Close();
    const DWORD attributes = GetFileAttributesW(Folder.c_str());
    GoneUntold =
        attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    LostSince = IssuedBefore;
  }

  void Parse(DWORD length) {
    const auto* base = reinterpret_cast<const unsigned char*>(Buffer.data());
    size_t pos = 0;
    while (pos + offsetof(FILE_NOTIFY_INFORMATION, FileName) <= length) {
      const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + pos);
      const size_t nameBytes = record->FileNameLength;
      if (pos + offsetof(FILE_NOTIFY_INFORMATION, FileName) + nameBytes > length) break;
      static constexpr TFolderAction kActions[] = {faNew, faRemoved, faModified, faRenamedOld,
                                                   faRenamedNew};
      if (record->Action >= FILE_ACTION_ADDED && record->Action <= FILE_ACTION_RENAMED_NEW_NAME) {
        const std::wstring name(record->FileName, nameBytes / sizeof(wchar_t));
        Batch.push_back({Narrow(name), kActions[record->Action - FILE_ACTION_ADDED]});
      }
      if (record->NextEntryOffset == 0) break;
      pos += record->NextEntryOffset;
    }
  }

  void ListTree(const std::filesystem::path& dir, const std::wstring& rel, TFileTime since,
                std::vector<TFolderItemInfo>& out) const {
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

  // The entries written since `since` that were not reported new already.
  void FindNew(TFileTime since) {
    std::vector<TFolderItemInfo> listed;
    ListTree(std::filesystem::path(Folder), std::wstring(), since - kFileTimeSlack, listed);
    RecentNew.AppendUnreported(listed, Batch);
  }

  // A read came back (the caller issues the next one).
  void Completed(bool ok, DWORD length, DWORD error) {
    Pending = false;
    const TFileTime since = IssuedBefore;
    if (ok && length > 0) {
      Parse(length);
      if (!IssueRead()) Fail();
    } else if (ok || error == ERROR_NOTIFY_ENUM_DIR) {
      // The system's buffer overflowed: the listing stands in for the lost records.
      if (!IssueRead()) Fail();
      FindNew(since);
    } else {
      Fail();
    }
    RecentNew.Note(Batch, TFileTime::clock::now(), since - 2 * kFileTimeSlack);
  }

  // Watches the folder again when it can be opened; what was written in it since the loss is
  // reported as new.
  void TryReopen(HANDLE port) {
    if (Open(port) != 0) return;
    if (!IssueRead()) {
      Close();
      return;
    }
    FindNew(LostSince);
  }
};

}  // namespace

const char TFolderWatchSet::PathDelimiter = '\\';

struct TFolderWatchSet::Impl {
  HANDLE Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  // Guards what follows: Add and Remove come from other threads than Wait. Not held while
  // Wait blocks.
  std::mutex Lock;
  std::condition_variable StartedCv;
  std::map<TWatchId, std::unique_ptr<TWatch>> Watches;
  // Ended watches whose cancelled read has not come back yet.
  std::list<std::unique_ptr<TWatch>> Ending;
  DWORD WaitingThread = 0;
  std::chrono::steady_clock::time_point NextLookAt;

  Impl() {
    if (Port == nullptr) throw Exception(SystemMessage(GetLastError()));
  }

  // Waits for the cancelled reads before their buffers go.
  ~Impl() {
    {
      std::lock_guard lock(Lock);
      for (auto& [id, w] : Watches) End(std::move(w));
      Watches.clear();
    }
    for (int i = 0; i < 100 && !Ending.empty(); ++i) {
      TakeCompletion(100);
    }
    CloseHandle(Port);
  }

  void End(std::unique_ptr<TWatch> w) {
    w->Removed = true;
    if (!w->Pending) return;  // freed here
    CancelIoEx(w->Dir, &w->Overlapped);
    Ending.push_back(std::move(w));
  }

  void Start(TWatch& w) {
    w.Started = true;
    if (!w.Closed && !w.IssueRead()) w.Fail();
  }

  // Takes one completion; false when none came within timeoutMs.
  bool TakeCompletion(DWORD timeoutMs) {
    DWORD length = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(Port, &length, &key, &overlapped, timeoutMs);
    const DWORD error = ok ? 0 : GetLastError();
    if (overlapped == nullptr && !ok) return false;  // timed out
    std::lock_guard lock(Lock);
    if (overlapped == nullptr) {
      // Woken (key 0), or asked by Add to issue the first read of the watch whose id is key.
      auto it = Watches.find(key);
      if (it != Watches.end() && !it->second->Started) Start(*it->second);
      StartedCv.notify_all();
      return true;
    }
    auto* w = reinterpret_cast<TWatch*>(key);
    if (w->Removed) {
      Ending.remove_if([w](const std::unique_ptr<TWatch>& e) { return e.get() == w; });
      return true;
    }
    w->Completed(ok != FALSE, length, error);
    return true;
  }

  void LookForClosed() {
    const auto now = std::chrono::steady_clock::now();
    if (now < NextLookAt) return;
    NextLookAt = now + std::chrono::milliseconds(kRetryMs);
    for (auto& [id, w] : Watches)
      if (w->Closed && w->Started && !w->GoneUntold) w->TryReopen(Port);
  }

  void Wait(std::vector<TBatch>& out) {
    out.clear();
    DWORD timeoutMs = INFINITE;
    {
      std::lock_guard lock(Lock);
      WaitingThread = GetCurrentThreadId();
      LookForClosed();
      CollectBatches(Watches, out);
      if (!out.empty()) return;
      for (auto& [id, w] : Watches)
        if (w->Closed) timeoutMs = kRetryMs;
    }
    if (!TakeCompletion(timeoutMs)) return;
    for (int i = 1; i < kCompletionsPerWait && TakeCompletion(0); ++i) {
    }
    std::lock_guard lock(Lock);
    CollectBatches(Watches, out);
  }
};

TFolderWatchSet::TFolderWatchSet() : FImpl(std::make_unique<Impl>()) {}

TFolderWatchSet::~TFolderWatchSet() = default;

void TFolderWatchSet::Add(TWatchId id, const std::string& folder, TChangeTypes changes,
                          bool subFolders) {
  auto watch = std::make_unique<TWatch>(folder, changes, subFolders);
  const DWORD error = watch->Open(FImpl->Port);
  if (IsResourceError(error)) throw Exception(SystemMessage(error));
  if (error != 0) {
    watch->Closed = true;
    watch->GoneUntold = true;
    watch->LostSince = TFileTime::clock::now();
  }
  TWatch* w = watch.get();
  std::unique_lock lock(FImpl->Lock);
  FImpl->Watches.emplace(id, std::move(watch));
  if (GetCurrentThreadId() == FImpl->WaitingThread) {
    FImpl->Start(*w);  // the waiting thread itself, from a handler
    return;
  }
  // The waiting thread issues the first read; the changes made after Add returns are seen.
  PostQueuedCompletionStatus(FImpl->Port, 0, static_cast<ULONG_PTR>(id), nullptr);
  FImpl->StartedCv.wait(lock, [&] {
    auto it = FImpl->Watches.find(id);
    return it == FImpl->Watches.end() || it->second->Started;
  });
}

void TFolderWatchSet::Remove(TWatchId id) {
  std::lock_guard lock(FImpl->Lock);
  auto it = FImpl->Watches.find(id);
  if (it == FImpl->Watches.end()) return;
  std::unique_ptr<TWatch> w = std::move(it->second);
  FImpl->Watches.erase(it);
  FImpl->End(std::move(w));
}

void TFolderWatchSet::Wait(std::vector<TBatch>& out) {
  FImpl->Wait(out);
}

void TFolderWatchSet::Wake() {
  PostQueuedCompletionStatus(FImpl->Port, 0, 0, nullptr);
}

}  // namespace vel
