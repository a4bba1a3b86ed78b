// Missing folders are made one level at a time below the nearest folder that exists, each
// through a descriptor of the folder above it, so that a name swapped for a symbolic link
// meanwhile is neither followed nor handed to another owner. Each new folder gets the owner,
// group and mode of that nearest existing folder: the service runs as root, but the
// applications that write their logs there usually do not.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "folderwatch/FolderWatcher.h"

namespace vel {

namespace {

class TDirFd {
 public:
  explicit TDirFd(int fd = -1) : FFd(fd) {}
  ~TDirFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TDirFd(const TDirFd&) = delete;
  TDirFd& operator=(const TDirFd&) = delete;
  void Reset(int fd) {
    if (FFd >= 0) ::close(FFd);
    FFd = fd;
  }
  int Get() const { return FFd; }

 private:
  int FFd;
};

}  // namespace

bool CreateFolderTree(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (folder.empty()) return false;
  if (fs::is_directory(folder, ec)) return true;

  // The names to make, from the top down, and the nearest folder that exists.
  fs::path existing = fs::path(folder).lexically_normal();
  if (!existing.has_filename()) existing = existing.parent_path();  // a trailing "/"
  std::vector<std::string> missing;
  while (!existing.empty() && !fs::exists(existing, ec)) {
    if (existing.filename() == "..") return false;
    if (existing.filename() != ".") missing.insert(missing.begin(), existing.filename().string());
    const fs::path up = existing.parent_path();
    if (up == existing) break;
    existing = up;
  }
  if (existing.empty()) existing = ".";

  TDirFd dir(::open(existing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat parent;
  if (dir.Get() < 0 || ::fstat(dir.Get(), &parent) != 0) return false;
  for (const std::string& name : missing) {
    const bool made = ::mkdirat(dir.Get(), name.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) return false;
    const int next =
        ::openat(dir.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return false;
    dir.Reset(next);
    if (made) {
      // Handing the folder to another owner needs root; anyone else keeps it as their own.
      if (::fchown(dir.Get(), parent.st_uid, parent.st_gid) != 0 && errno != EPERM) return false;
      if (::fchmod(dir.Get(), parent.st_mode & 07777) != 0) return false;
    }
  }
  return fs::is_directory(folder, ec);
}

}  // namespace vel
