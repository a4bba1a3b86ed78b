// The folder watch on inotify.
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
// A folder's watch only exists once the folder does, so entries made in a new subfolder (or
// in a watched folder made again after it vanished) before its watch is in place are found
// by listing the folder and reported as new. An entry made in that short moment between the
// watch and the listing is reported twice.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "common/Exception.h"
#include "folderwatch/FolderWatcher.h"

namespace vel {

namespace {

constexpr size_t kBufferSize = 32768;
// How long to wait for the second half of a move whose first half ended a read.
constexpr int kMovePairWaitMs = 10;
// Retry interval while a vanished folder cannot be created again.
constexpr int kRecreateRetryMs = 1000;

std::string ErrnoText(int err) {
  return std::error_code(err, std::generic_category()).message();
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

}  // namespace

const char TFolderWatcher::PathDelimiter = '/';

struct TFolderWatcher::Impl {
  std::string Folder;
  TChangeTypes Changes;
  bool SubFolders;
  uint32_t Mask = 0;
  TFd Inotify;
  TFd WakeFd;
  std::map<int, std::string> Watches;  // watch descriptor -> folder relative to the root
  int RootWd = -1;
  bool RootLost = false;
  std::vector<char> Buffer;

  struct TPendingMove {
    uint32_t Cookie;
    size_t Index;  // position of the record in the batch, or SIZE_MAX when not reported
    std::string Path;
    bool IsDir;
  };
  std::vector<TPendingMove> PendingMoves;

  Impl(const std::string& folder, TChangeTypes changes, bool subFolders)
      : Folder(folder),
        Changes(changes),
        SubFolders(subFolders),
        Inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)),
        WakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        Buffer(kBufferSize) {
    if (Inotify.Get() < 0) throw Exception(ErrnoText(errno));
    if (WakeFd.Get() < 0) throw Exception(ErrnoText(errno));
    BuildMask();
    int err = AddRoot();
    if (err != 0) throw Exception(ErrnoText(err));
  }

  void BuildMask() {
    Mask = IN_ONLYDIR | IN_EXCL_UNLINK | IN_DELETE_SELF | IN_MOVE_SELF;
    if (Changes.Contains(ctFileName) || Changes.Contains(ctDirName) || SubFolders)
      Mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    if (Changes.Contains(ctAttr) || Changes.Contains(ctSecurityAttr)) Mask |= IN_ATTRIB;
    if (Changes.Contains(ctSize) || Changes.Contains(ctLastWriteTime)) Mask |= IN_MODIFY;
    if (Changes.Contains(ctLastAccessTime)) Mask |= IN_ACCESS;
  }

  bool Wanted(bool isDir) const { return Changes.Contains(isDir ? ctDirName : ctFileName); }
  bool WantModify() const { return Changes.Contains(ctSize) || Changes.Contains(ctLastWriteTime); }
  bool WantAttr() const { return Changes.Contains(ctAttr) || Changes.Contains(ctSecurityAttr); }

  std::string FullPath(const std::string& rel) const {
    if (rel.empty()) return Folder;
    return (Folder.back() == '/' ? Folder : Folder + "/") + rel;
  }

  // Returns 0 or the errno of the failed watch.
  int AddRoot() {
    int wd = ::inotify_add_watch(Inotify.Get(), Folder.c_str(), Mask);
    if (wd < 0) return errno;
    RootWd = wd;
    Watches[wd] = "";
    RootLost = false;
    if (SubFolders) AddSubTree("", nullptr);
    return 0;
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
      if (isDir && SubFolders) {
        int wd = ::inotify_add_watch(Inotify.Get(), FullPath(childRel).c_str(), Mask);
        if (wd >= 0) {
          Watches[wd] = childRel;
          AddSubTree(childRel, found);
        }
      }
    }
  }

  void RemoveSubTree(const std::string& rel) {
    for (auto it = Watches.begin(); it != Watches.end();) {
      if (it->first != RootWd && IsUnder(it->second, rel)) {
        ::inotify_rm_watch(Inotify.Get(), it->first);
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

  void LoseRoot() {
    for (auto& [wd, path] : Watches) ::inotify_rm_watch(Inotify.Get(), wd);
    Watches.clear();
    RootWd = -1;
    RootLost = true;
  }

  // The watched folder went away: make it again, as activation would, and watch it anew.
  // What is found in it then was made after it vanished and is reported as new.
  void TryRestoreRoot(std::vector<TFolderItemInfo>& batch) {
    std::error_code ec;
    std::filesystem::create_directories(Folder, ec);
    if (AddRoot() != 0) {
      RootLost = true;
      return;
    }
    ListTree("", batch);
  }

  void ListTree(const std::string& rel, std::vector<TFolderItemInfo>& out) {
    std::error_code ec;
    std::filesystem::directory_iterator it(FullPath(rel), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      const std::string childRel = JoinRelative(rel, it->path().filename().string());
      std::error_code sec;
      const bool isDir = it->is_directory(sec) && !it->is_symlink(sec);
      if (Wanted(isDir)) out.push_back({childRel, faNew});
      if (isDir && SubFolders) ListTree(childRel, out);
    }
  }

  enum class TReadResult { Read, Empty, Failed };

  // Reads what is waiting into the buffer; length receives the byte count.
  TReadResult ReadEvents(size_t& length) {
    for (;;) {
      ssize_t n = ::read(Inotify.Get(), Buffer.data(), Buffer.size());
      if (n > 0) {
        length = static_cast<size_t>(n);
        return TReadResult::Read;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return TReadResult::Empty;
      return TReadResult::Failed;
    }
  }

  // Turns the events in the buffer into records. Returns false on a queue overflow.
  bool Parse(size_t length, std::vector<TFolderItemInfo>& batch) {
    bool overflow = false;
    for (size_t pos = 0; pos + sizeof(inotify_event) <= length;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(Buffer.data() + pos);
      pos += sizeof(inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) {
        overflow = true;
        continue;
      }
      // Once the watched folder is gone, what follows is about a folder no longer ours.
      if (RootLost) continue;
      auto w = Watches.find(ev->wd);
      if (w == Watches.end()) continue;  // a watch already given up
      const bool isRoot = ev->wd == RootWd;
      if (ev->mask & IN_IGNORED) {
        Watches.erase(w);
        if (isRoot) LoseRoot();
        continue;
      }
      if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        // A moved folder keeps its watch; the path we watch is gone all the same.
        if (isRoot) LoseRoot();
        continue;
      }
      if (ev->len == 0) continue;  // an event about the watched folder itself
      const std::string rel = JoinRelative(w->second, ev->name);
      const bool isDir = (ev->mask & IN_ISDIR) != 0;

      if (ev->mask & IN_CREATE) {
        if (Wanted(isDir)) batch.push_back({rel, faNew});
        if (isDir && SubFolders) {
          int wd = ::inotify_add_watch(Inotify.Get(), FullPath(rel).c_str(), Mask);
          if (wd >= 0) {
            Watches[wd] = rel;
            AddSubTree(rel, &batch);  // entries made before the watch existed
          }
        }
      } else if (ev->mask & IN_DELETE) {
        if (Wanted(isDir)) batch.push_back({rel, faRemoved});
      } else if (ev->mask & IN_MOVED_FROM) {
        size_t index = SIZE_MAX;
        if (Wanted(isDir)) {
          index = batch.size();
          batch.push_back({rel, faRemoved});  // becomes faRenamedOld if the pair turns up
        }
        PendingMoves.push_back({ev->cookie, index, rel, isDir});
      } else if (ev->mask & IN_MOVED_TO) {
        auto p = PendingMoves.begin();
        while (p != PendingMoves.end() && p->Cookie != ev->cookie) ++p;
        if (p != PendingMoves.end()) {
          if (p->Index != SIZE_MAX) batch[p->Index].Action = faRenamedOld;
          if (Wanted(isDir)) batch.push_back({rel, faRenamedNew});
          if (isDir && SubFolders) RenameSubTree(p->Path, rel);
          PendingMoves.erase(p);
        } else {
          if (Wanted(isDir)) batch.push_back({rel, faNew});
          if (isDir && SubFolders) {
            int wd = ::inotify_add_watch(Inotify.Get(), FullPath(rel).c_str(), Mask);
            if (wd >= 0) {
              Watches[wd] = rel;
              AddSubTree(rel, nullptr);
            }
          }
        }
      } else if (ev->mask & IN_MODIFY) {
        if (WantModify()) batch.push_back({rel, faModified});
      } else if (ev->mask & IN_ATTRIB) {
        if (WantAttr()) batch.push_back({rel, faModified});
      } else if (ev->mask & IN_ACCESS) {
        if (Changes.Contains(ctLastAccessTime)) batch.push_back({rel, faModified});
      }
    }
    return !overflow;
  }

  // Moves whose second half never came left the watched tree.
  void SettlePendingMoves() {
    for (const TPendingMove& p : PendingMoves)
      if (p.IsDir && SubFolders) RemoveSubTree(p.Path);
    PendingMoves.clear();
  }

  bool LastEventIsMoveFrom(size_t length) const {
    const inotify_event* last = nullptr;
    for (size_t pos = 0; pos + sizeof(inotify_event) <= length;) {
      last = reinterpret_cast<const inotify_event*>(Buffer.data() + pos);
      pos += sizeof(inotify_event) + last->len;
    }
    return last != nullptr && (last->mask & IN_MOVED_FROM);
  }

  // 1: inotify readable, 0: timed out, -1: woken.
  int WaitReadable(int timeoutMs) {
    pollfd fds[2] = {{Inotify.Get(), POLLIN, 0}, {WakeFd.Get(), POLLIN, 0}};
    for (;;) {
      int r = ::poll(fds, 2, timeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return 0;
      if (fds[1].revents != 0) return -1;
      return r > 0 ? 1 : 0;
    }
  }

  TWaitResult Wait(std::vector<TFolderItemInfo>& batch) {
    batch.clear();
    for (;;) {
      if (RootLost) {
        TryRestoreRoot(batch);
        if (!batch.empty()) return TWaitResult::Changes;
      }
      const int ready = WaitReadable(RootLost ? kRecreateRetryMs : -1);
      if (ready < 0) return TWaitResult::Woken;
      if (ready == 0) continue;
      size_t length = 0;
      TReadResult r = ReadEvents(length);
      if (r != TReadResult::Read) continue;
      bool complete = Parse(length, batch);
      // The halves of one move are queued together but may straddle two reads.
      while (complete && LastEventIsMoveFrom(length) && WaitReadable(kMovePairWaitMs) == 1 &&
             ReadEvents(length) == TReadResult::Read) {
        complete = Parse(length, batch);
      }
      SettlePendingMoves();
      if (!complete) {
        batch.clear();
        if (SubFolders && !RootLost) AddSubTree("", nullptr);  // creations may have been lost
        return TWaitResult::Lost;
      }
      if (RootLost) TryRestoreRoot(batch);
      return TWaitResult::Changes;
    }
  }

  // The wake-up is never consumed: a woken watcher stays woken, as it is only woken to end.
  void Wake() {
    const uint64_t one = 1;
    ssize_t n;
    do {
      n = ::write(WakeFd.Get(), &one, sizeof one);
    } while (n < 0 && errno == EINTR);
  }
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
