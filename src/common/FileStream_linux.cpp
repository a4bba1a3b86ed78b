#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "common/FileStream.h"
#include "common/FileStreamPlatform.h"
#include "common/Paths.h"

namespace vel {

namespace detail {

std::string ExpandFileName(const std::string& fileName) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(PathFromUtf8(fileName), ec);
  if (ec) return fileName;
  return PathToUtf8(full.lexically_normal());
}

void CloseFileHandle(TOsHandle handle) {
  // close is not retried on EINTR: the descriptor is gone either way on Linux.
  ::close(static_cast<int>(OsHandleValue(handle)));
}

}  // namespace detail

namespace {

constexpr const char* kSharingViolation =
    "The process cannot access the file because it is being used by another process.";

std::string SystemMessage(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);  // GNU form: returns the text
}

// Share modes between this system's streams, kept with open-file-description locks on bytes
// far beyond any real file content. A stream holds a shared lock on the "access" byte of
// each right it uses (read, write) and on the "deny" byte of each right it refuses others;
// shared locks never block each other, so taking them cannot fail. Then it looks for a
// conflicting holder: someone denying a right it uses, or using a right it denies. Two
// streams that open at the very same moment may both see each other and both fail, but
// never both succeed against each other's modes.
constexpr off_t kLockBase = LLONG_MAX - 16;
enum LockByte : off_t { kAccessRead = 0, kAccessWrite = 1, kDenyRead = 2, kDenyWrite = 3 };

enum class ShareResult { kOk, kViolation, kUnsupported };

bool LockShared(int fd, off_t which) {
  struct flock fl {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLockBase + which;
  fl.l_len = 1;
  int rc;
  do rc = ::fcntl(fd, F_OFD_SETLK, &fl);
  while (rc == -1 && errno == EINTR);
  return rc == 0;
}

// True when another open file holds a lock on that byte; false when none, or on error.
bool HeldByOther(int fd, off_t which, bool& error) {
  struct flock fl {};
  fl.l_type = F_WRLCK;  // conflicts with any lock another open file holds there
  fl.l_whence = SEEK_SET;
  fl.l_start = kLockBase + which;
  fl.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) {
    error = true;
    return false;
  }
  return fl.l_type != F_UNLCK;
}

ShareResult ApplyShareMode(int fd, bool accessRead, bool accessWrite, bool denyRead,
                           bool denyWrite) {
  const struct {
    bool on;
    off_t mine;
    off_t conflicting;
  } rights[] = {{accessRead, kAccessRead, kDenyRead},
                {accessWrite, kAccessWrite, kDenyWrite},
                {denyRead, kDenyRead, kAccessRead},
                {denyWrite, kDenyWrite, kAccessWrite}};
  for (const auto& r : rights) {
    if (r.on && !LockShared(fd, r.mine)) return ShareResult::kUnsupported;
  }
  bool error = false;
  for (const auto& r : rights) {
    if (r.on && HeldByOther(fd, r.conflicting, error)) return ShareResult::kViolation;
  }
  return error ? ShareResult::kUnsupported : ShareResult::kOk;
}

}  // namespace

namespace detail {

TOsHandle OpenFileByMode(const std::string& fileName, std::uint16_t mode) {
  const auto [create, createNew, access, share, valid] = DecodeFileMode(mode);
  if (!valid) FailToOpen(create, fileName, SystemMessage(EINVAL));

  int flags = O_CLOEXEC;
  flags |= access == fmOpenRead ? O_RDONLY : access == fmOpenWrite ? O_WRONLY : O_RDWR;
  if (create) flags |= O_CREAT | (createNew ? O_EXCL : 0);
  int fd;
  do fd = ::open(fileName.c_str(), flags, 0666);
  while (fd == -1 && errno == EINTR);
  if (fd == -1) FailToOpen(create, fileName, SystemMessage(errno));

  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    FailToOpen(create, fileName, SystemMessage(EISDIR));
  }

  const bool accessRead = access != fmOpenWrite;
  const bool accessWrite = access != fmOpenRead;
  const bool denyRead = share == 0x00 || share == fmShareExclusive || share == fmShareDenyRead;
  const bool denyWrite = share == 0x00 || share == fmShareExclusive || share == fmShareDenyWrite;
  // On file systems without such locks the share mode cannot be kept; the open goes on.
  if (ApplyShareMode(fd, accessRead, accessWrite, denyRead, denyWrite) == ShareResult::kViolation) {
    ::close(fd);
    FailToOpen(create, fileName, kSharingViolation);
  }

  // Replace the content only once the share modes allow us in.
  if (create && !createNew && st.st_size > 0) {
    int rc;
    do rc = ::ftruncate(fd, 0);
    while (rc == -1 && errno == EINTR);
    if (rc == -1) {
      const int error = errno;
      ::close(fd);
      FailToOpen(create, fileName, SystemMessage(error));
    }
  }
  return MakeOsHandle(fd);
}

}  // namespace detail

namespace {
int Fd(TOsHandle handle) {
  return static_cast<int>(OsHandleValue(handle));
}
}  // namespace

// ---- THandleStream ----

std::int32_t THandleStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do n = ::read(Fd(handle_), buffer, static_cast<std::size_t>(count));
  while (n == -1 && errno == EINTR);
  return static_cast<std::int32_t>(n);
}

std::int32_t THandleStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do n = ::write(Fd(handle_), buffer, static_cast<std::size_t>(count));
  while (n == -1 && errno == EINTR);
  return static_cast<std::int32_t>(n);
}

std::int64_t THandleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                     : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                        : SEEK_END;
  return ::lseek(Fd(handle_), static_cast<off_t>(offset), whence);
}

}  // namespace vel
