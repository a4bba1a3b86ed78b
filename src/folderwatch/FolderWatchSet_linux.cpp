// The folder watches on one inotify instance.
//
// Change kinds and the inotify events that stand for them:
//   ctFileName        IN_CREATE, IN_DELETE, IN_MOVED_FROM, IN_MOVED_TO of non-directories
//   ctDirName         the same events of directories
//   ctAttr            IN_ATTRIB (permissions, owner, link count, extended attributes, times
//                     set explicitly)
//   ctSize            IN_MODIFY (inotify has no event for a size change alone)
//   ctLastWriteTime   IN_MODIFY
//   ctLastAccessTime  IN_ACCESS
//   ctCreationTime    none: Linux file systems keep no settable creation time, so there is
//                     no change of it to report
//   ctSecurityAttr    IN_ATTRIB (permissions, owner and ACLs all surface as attribute changes)
//
// Actions: a create or a move in from outside the watched tree is faNew; a delete or a move
// out is faRemoved; IN_MODIFY, IN_ATTRIB and IN_ACCESS are faModified; a move whose two
// halves (IN_MOVED_FROM, IN_MOVED_TO with the same cookie) both fall inside the watched tree
// is faRenamedOld followed by faRenamedNew.
//
// One instance holds the watches of every folder. inotify gives one watch descriptor per
// inode and instance, so two monitors of one folder (or a monitor's subfolder that is another
// monitor's folder) share it: each descriptor knows the watches that use it, its mask is the
// union of theirs, and each watch filters for itself.
//
// A folder's watch only exists once the folder does, so entries made in a new subfolder
// before its watch is in place are found by listing the folder and reported as new. An entry
// made in that short moment between the watch and the listing is reported twice.
//
// The instance's queue is shared too, so an overflow no longer tells which folder lost
// events: every folder's listing is read and the entries written since the read before the
// overflow are reported as new.
//
// A watched folder that is deleted or moved away (or missing when its watch began) is not
// made here: the watch says so once (FolderGone) and looks for the path every
// kReappearPollMs. When a folder is there again it is watched, and the entries in it written
// since the last read before the loss are reported as new (a folder of old logs put back does
// not report them again).
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "common/Exception.h"
#include "folderwatch/FolderWatcher.h"
#include "folderwatch/WatchShared.h"

namespace vel {

namespace {

using TClock = std::chrono::system_clock;

constexpr size_t kBufferSize = 65536;
// How long to wait for the second half of a move whose first half ended a read.
constexpr int kMovePairWaitMs = 10;
// How often a vanished watched folder is looked for.
constexpr int kReappearPollMs = 1000;
// File times come from a coarse clock, so they may lie a little before the moment they
// were set; entries this much older than the last read before a loss still count as new.
constexpr auto kFileTimeSlack = std::chrono::seconds(1);

std::string ErrnoText(int err) {
  return std::error_code(err, std::generic_category()).message();
}

// inotify answers ENOSPC when the user's watches are used up; the limit is a sysctl.
std::string AddWatchError(int err) {
  if (err != ENOSPC) return ErrnoText(err);
  std::string limit = "?";
  std::ifstream("/proc/sys/fs/inotify/max_user_watches") >> limit;
  return "the system's limit of inotify watches per user is reached (fs.inotify.max_user_watches"
         " = " +
         limit + "); raise it with sysctl";
}

class TFd {
 public:
  explicit TFd(int fd = -1) : FFd(fd) {}
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }

 private:
  int FFd;
};

std::string JoinRelative(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

bool IsUnder(const std::string& path, const std::string& dir) {
  return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                         path[dir.size()] == '/');
}

TClock::time_point TimeOf(const timespec& t) {
  return TClock::time_point(std::chrono::duration_cast<TClock::duration>(
      std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
}

struct TWatch;

// The watch descriptors of the instance and the watches that use each.
class TDescriptors {
 public:
  explicit TDescriptors(int inotify) : FInotify(inotify) {}

  // The descriptor of path for watch w (its mask added to the descriptor's); -1 with errno.
  int Add(TWatch* w, const std::string& path, uint32_t mask) {
    const int wd = ::inotify_add_watch(FInotify, path.c_str(), mask | IN_MASK_ADD);
    if (wd < 0) return -1;
    auto& users = FUsers[wd];
    if (std::find(users.begin(), users.end(), w) == users.end()) users.push_back(w);
    return wd;
  }

  // w no longer uses wd; the last user gives it back. Its mask stays as wide as it was: the
  // extra events are filtered out by each watch.
  void Drop(TWatch* w, int wd) {
    auto it = FUsers.find(wd);
    if (it == FUsers.end()) return;
    std::erase(it->second, w);
    if (it->second.empty()) {
      ::inotify_rm_watch(FInotify, wd);
      FUsers.erase(it);
    }
  }

  // The system gave wd up (IN_IGNORED).
  void Forget(int wd) { FUsers.erase(wd); }

  std::vector<TWatch*> UsersOf(int wd) const {
    auto it = FUsers.find(wd);
    return it == FUsers.end() ? std::vector<TWatch*>{} : it->second;
  }

 private:
  int FInotify;
  std::unordered_map<int, std::vector<TWatch*>> FUsers;
};

// One watched folder (and its subtree when asked).
struct TWatch {
  TDescriptors& Descriptors;
  std::string Folder;
  TChangeTypes Changes;
  bool SubFolders;
  uint32_t Mask = 0;
  std::map<int, std::string> Watches;  // watch descriptor -> folder relative to the root
  int RootWd = -1;
  bool RootLost = false;
  bool GoneUntold = false;  // the loss of the root is still to be told
  TClock::time_point LostSince;
  std::vector<TFolderItemInfo> Batch;
  TRecentNames<TClock::time_point> RecentNew;

  struct TPendingMove {
    uint32_t Cookie;
    size_t Index;  // position of the record in the batch, or SIZE_MAX when not reported
    std::string Path;
    bool IsDir;
  };
  std::vector<TPendingMove> PendingMoves;

  TWatch(TDescriptors& descriptors, const std::string& folder, TChangeTypes changes,
         bool subFolders)
      : Descriptors(descriptors), Folder(folder), Changes(changes), SubFolders(subFolders) {
    Mask = IN_ONLYDIR | IN_EXCL_UNLINK | IN_DELETE_SELF | IN_MOVE_SELF;
    if (Changes.Contains(ctFileName) || Changes.Contains(ctDirName) || SubFolders)
      Mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    if (Changes.Contains(ctAttr) || Changes.Contains(ctSecurityAttr)) Mask |= IN_ATTRIB;
    if (Changes.Contains(ctSize) || Changes.Contains(ctLastWriteTime)) Mask |= IN_MODIFY;
    if (Changes.Contains(ctLastAccessTime)) Mask |= IN_ACCESS;
  }

  ~TWatch() { DropAll(); }
  TWatch(const TWatch&) = delete;
  TWatch& operator=(const TWatch&) = delete;

  bool Wanted(bool isDir) const { return Changes.Contains(isDir ? ctDirName : ctFileName); }
  bool WantModify() const { return Changes.Contains(ctSize) || Changes.Contains(ctLastWriteTime); }
  bool WantAttr() const { return Changes.Contains(ctAttr) || Changes.Contains(ctSecurityAttr); }

  std::string FullPath(const std::string& rel) const {
    if (rel.empty()) return Folder;
    return (Folder.back() == '/' ? Folder : Folder + "/") + rel;
  }

  // Returns 0 or the errno of the failed watch.
  int AddRoot() {
    const int wd = Descriptors.Add(this, Folder, Mask);
    if (wd < 0) return errno;
    RootWd = wd;
    Watches[wd] = "";
    RootLost = false;
    if (SubFolders) AddSubTree("", nullptr);
    return 0;
  }

  bool AddFolder(const std::string& rel) {
    const int wd = Descriptors.Add(this, FullPath(rel), Mask);
    if (wd < 0 || wd == RootWd) return false;
    Watches[wd] = rel;
    return true;
  }

  // Watches every folder below rel. When found is given, the entries met on the way are
  // appended to it as new: they appeared before their folder's watch existed.
  void AddSubTree(const std::string& rel, std::vector<TFolderItemInfo>* found) {
    std::error_code ec;
    std::filesystem::directory_iterator it(FullPath(rel), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      const std::string childRel = JoinRelative(rel, it->path().filename().string());
      std::error_code sec;
      const bool isDir = it->is_directory(sec) && !it->is_symlink(sec);
      if (found != nullptr && Wanted(isDir)) found->push_back({childRel, faNew});
      if (isDir && SubFolders && AddFolder(childRel)) AddSubTree(childRel, found);
    }
  }

  void RemoveSubTree(const std::string& rel) {
    for (auto it = Watches.begin(); it != Watches.end();) {
      if (it->first != RootWd && IsUnder(it->second, rel)) {
        Descriptors.Drop(this, it->first);
        it = Watches.erase(it);
      } else {
        ++it;
      }
    }
  }

  void RenameSubTree(const std::string& from, const std::string& to) {
    for (auto& [wd, path] : Watches)
      if (wd != RootWd && IsUnder(path, from)) path = to + path.substr(from.size());
  }

  void DropAll() {
    for (auto& [wd, path] : Watches) Descriptors.Drop(this, wd);
    Watches.clear();
    RootWd = -1;
  }

  void LoseRoot(TClock::time_point since) {
    DropAll();
    RootLost = true;
    GoneUntold = true;
    LostSince = since;
  }

  // Watches the folder again once it exists; the entries written in it since the loss are
  // reported as new. Nothing happens while it is still missing.
  void TryResumeRoot() {
    if (AddRoot() != 0) return;
    ListTree("", LostSince - kFileTimeSlack, Batch);
  }

  void ListTree(const std::string& rel, TClock::time_point since,
                std::vector<TFolderItemInfo>& out) const {
    std::error_code ec;
    std::filesystem::directory_iterator it(FullPath(rel), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      const std::string childRel = JoinRelative(rel, it->path().filename().string());
      struct stat st;
      if (::lstat(FullPath(childRel).c_str(), &st) != 0) continue;
      const bool isDir = S_ISDIR(st.st_mode);
      if (Wanted(isDir) && TimeOf(st.st_mtim) >= since) out.push_back({childRel, faNew});
      if (isDir && SubFolders) ListTree(childRel, since, out);
    }
  }

  // After an overflow: what was written since is reported as new, unless reported already.
  void FindLost(TClock::time_point since) {
    if (RootLost) return;
    if (SubFolders) AddSubTree("", nullptr);  // subfolders made meanwhile
    std::vector<TFolderItemInfo> listed;
    ListTree("", since - kFileTimeSlack, listed);
    RecentNew.AppendUnreported(listed, Batch);
  }

  // One event of a descriptor this watch uses.
  void Take(const inotify_event& ev, TClock::time_point lostSince) {
    if (RootLost) return;  // what follows is about a folder no longer ours
    auto w = Watches.find(ev.wd);
    if (w == Watches.end()) return;
    const bool isRoot = ev.wd == RootWd;
    if (ev.mask & IN_IGNORED) {
      Watches.erase(w);
      if (isRoot) LoseRoot(lostSince);
      return;
    }
    if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
      // A moved folder keeps its watch; the path we watch is gone all the same.
      if (isRoot) LoseRoot(lostSince);
      return;
    }
    if (ev.len == 0) return;  // an event about the watched folder itself
    const std::string rel = JoinRelative(w->second, ev.name);
    const bool isDir = (ev.mask & IN_ISDIR) != 0;

    if (ev.mask & IN_CREATE) {
      if (Wanted(isDir)) Batch.push_back({rel, faNew});
      if (isDir && SubFolders && AddFolder(rel))
        AddSubTree(rel, &Batch);  // entries made before the watch existed
    } else if (ev.mask & IN_DELETE) {
      if (Wanted(isDir)) Batch.push_back({rel, faRemoved});
    } else if (ev.mask & IN_MOVED_FROM) {
      size_t index = SIZE_MAX;
      if (Wanted(isDir)) {
        index = Batch.size();
        Batch.push_back({rel, faRemoved});  // becomes faRenamedOld if the pair turns up
      }
      PendingMoves.push_back({ev.cookie, index, rel, isDir});
    } else if (ev.mask & IN_MOVED_TO) {
      auto p = std::find_if(PendingMoves.begin(), PendingMoves.end(),
                            [&](const TPendingMove& m) { return m.Cookie == ev.cookie; });
      if (p != PendingMoves.end()) {
        if (p->Index != SIZE_MAX) Batch[p->Index].Action = faRenamedOld;
        if (Wanted(isDir)) Batch.push_back({rel, faRenamedNew});
        if (isDir && SubFolders) RenameSubTree(p->Path, rel);
        PendingMoves.erase(p);
      } else {
        if (Wanted(isDir)) Batch.push_back({rel, faNew});
        if (isDir && SubFolders && AddFolder(rel)) AddSubTree(rel, nullptr);
      }
    } else if (ev.mask & IN_MODIFY) {
      if (WantModify()) Batch.push_back({rel, faModified});
    } else if (ev.mask & IN_ATTRIB) {
      if (WantAttr()) Batch.push_back({rel, faModified});
    } else if (ev.mask & IN_ACCESS) {
      if (Changes.Contains(ctLastAccessTime)) Batch.push_back({rel, faModified});
    }
  }

  // Moves whose second half never came left the watched tree.
  void SettlePendingMoves() {
    for (const TPendingMove& p : PendingMoves)
      if (p.IsDir && SubFolders) RemoveSubTree(p.Path);
    PendingMoves.clear();
  }
};

}  // namespace

const char TFolderWatchSet::PathDelimiter = '/';

struct TFolderWatchSet::Impl {
  TFd Inotify{::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)};
  TFd WakeFd{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::vector<char> Buffer = std::vector<char>(kBufferSize);
  // Guards what follows: Add and Remove come from other threads than Wait. Not held while
  // Wait blocks.
  std::mutex Lock;
  TDescriptors Descriptors{Inotify.Get()};
  std::map<TWatchId, std::unique_ptr<TWatch>> Watches;
  // When the latest and the one before the latest read of events returned; entries written
  // after the read before a loss count as new.
  TClock::time_point LatestReadAt = TClock::now();
  TClock::time_point PreviousReadAt = LatestReadAt;
  // The latest moment the queue was seen empty (a read that took less than a full buffer):
  // an overflow lost only events queued after it.
  TClock::time_point QueueEmptyAt = LatestReadAt;
  // Lost folders are looked for at most this often, however busy the other folders are.
  std::chrono::steady_clock::time_point NextLookAt;

  Impl() {
    if (Inotify.Get() < 0) throw Exception(ErrnoText(errno));
    if (WakeFd.Get() < 0) throw Exception(ErrnoText(errno));
  }

  enum class TReadResult { Read, Empty, Failed };

  // Reads what is waiting into the buffer; length receives the byte count.
  TReadResult ReadEvents(size_t& length) {
    for (;;) {
      const TClock::time_point before = TClock::now();
      const ssize_t n = ::read(Inotify.Get(), Buffer.data(), Buffer.size());
      if (n > 0) {
        length = static_cast<size_t>(n);
        PreviousReadAt = LatestReadAt;
        LatestReadAt = TClock::now();
        // Room left for the longest event: the read took all there was.
        if (length + sizeof(inotify_event) + NAME_MAX + 1 <= Buffer.size()) QueueEmptyAt = before;
        return TReadResult::Read;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return TReadResult::Empty;
      return TReadResult::Failed;
    }
  }

  // Hands each event of the buffer to the watches of its descriptor. False on an overflow.
  bool Parse(size_t length) {
    bool overflow = false;
    for (size_t pos = 0; pos + sizeof(inotify_event) <= length;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(Buffer.data() + pos);
      pos += sizeof(inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) {
        overflow = true;
        continue;
      }
      // The loss came after the read before the one that brought it.
      for (TWatch* w : Descriptors.UsersOf(ev->wd)) w->Take(*ev, PreviousReadAt);
      if (ev->mask & IN_IGNORED) Descriptors.Forget(ev->wd);
    }
    return !overflow;
  }

  bool LastEventIsMoveFrom(size_t length) const {
    const inotify_event* last = nullptr;
    for (size_t pos = 0; pos + sizeof(inotify_event) <= length;) {
      last = reinterpret_cast<const inotify_event*>(Buffer.data() + pos);
      pos += sizeof(inotify_event) + last->len;
    }
    return last != nullptr && (last->mask & IN_MOVED_FROM);
  }

  // 1: inotify readable, 0: timed out, -1: woken (the wake-up is consumed).
  int WaitReadable(int timeoutMs) {
    pollfd fds[2] = {{Inotify.Get(), POLLIN, 0}, {WakeFd.Get(), POLLIN, 0}};
    for (;;) {
      const int r = ::poll(fds, 2, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return 0;
      if (fds[1].revents != 0) {
        uint64_t count;
        while (::read(WakeFd.Get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
        return -1;
      }
      return r > 0 ? 1 : 0;
    }
  }

  // Reads the waiting events into the watches' batches. Holds Lock.
  void ReadAll() {
    size_t length = 0;
    // Taken before the read: the read that brings an overflow empties the queue itself.
    const TClock::time_point emptyBefore = QueueEmptyAt;
    if (ReadEvents(length) != TReadResult::Read) return;
    bool complete = Parse(length);
    bool overflow = !complete;
    // The halves of one move are queued together but may straddle two reads.
    while (complete && LastEventIsMoveFrom(length) && WaitReadable(kMovePairWaitMs) == 1 &&
           ReadEvents(length) == TReadResult::Read) {
      complete = Parse(length);
      overflow = overflow || !complete;
    }
    for (auto& [id, w] : Watches) {
      w->SettlePendingMoves();
      // The shared queue does not tell whose events were lost.
      if (overflow) w->FindLost(emptyBefore);
      w->RecentNew.Note(w->Batch, LatestReadAt,
                        std::min(QueueEmptyAt, PreviousReadAt) - 2 * kFileTimeSlack);
    }
  }

  void Wait(std::vector<TBatch>& out) {
    out.clear();
    int timeoutMs = -1;
    {
      std::lock_guard lock(Lock);
      const auto now = std::chrono::steady_clock::now();
      const bool look = now >= NextLookAt;
      bool anyLost = false;
      for (auto& [id, w] : Watches) {
        if (!w->RootLost || w->GoneUntold) continue;
        if (look) w->TryResumeRoot();
        anyLost = anyLost || w->RootLost;
      }
      if (look) NextLookAt = now + std::chrono::milliseconds(kReappearPollMs);
      if (anyLost)
        timeoutMs = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(
                std::max(NextLookAt - now, std::chrono::steady_clock::duration::zero()))
                .count());
      CollectBatches(Watches, out);
      if (!out.empty()) return;
    }
    if (WaitReadable(timeoutMs) != 1) return;
    std::lock_guard lock(Lock);
    ReadAll();
    CollectBatches(Watches, out);
  }

  void Wake() {
    const uint64_t one = 1;
    ssize_t n;
    do {
      n = ::write(WakeFd.Get(), &one, sizeof one);
    } while (n < 0 && errno == EINTR);
  }
};

TFolderWatchSet::TFolderWatchSet() : FImpl(std::make_unique<Impl>()) {}

TFolderWatchSet::~TFolderWatchSet() = default;

void TFolderWatchSet::Add(TWatchId id, const std::string& folder, TChangeTypes changes,
                          bool subFolders) {
  bool gone = false;
  {
    std::lock_guard lock(FImpl->Lock);
    auto watch = std::make_unique<TWatch>(FImpl->Descriptors, folder, changes, subFolders);
    const int err = watch->AddRoot();
    if (err == ENOSPC || err == ENOMEM) throw Exception(AddWatchError(err));
    if (err != 0) {
      // Written since now counts as new once the folder is there.
      watch->LoseRoot(TClock::now());
      gone = true;
    }
    FImpl->Watches.emplace(id, std::move(watch));
  }
  if (gone) Wake();  // to be told, and looked for
}

void TFolderWatchSet::Remove(TWatchId id) {
  std::lock_guard lock(FImpl->Lock);
  FImpl->Watches.erase(id);
}

void TFolderWatchSet::Wait(std::vector<TBatch>& out) {
  FImpl->Wait(out);
}

void TFolderWatchSet::Wake() {
  FImpl->Wake();
}

}  // namespace vel
