// The temporary-file part of THsmStream: a file made with mkstemp in the temp folder and
// accessed by offset, so that the stream keeps its own position.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/Exception.h"
#include "http/HsmStreamFile.h"

namespace vel {

namespace {

[[noreturn]] void RaiseFileError(const std::string& what, const std::string& path, int err) {
  throw Exception("THsmStream: " + what + " \"" + path + "\" failed: " + std::strerror(err));
}

std::string TempFolder() {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = (dir && *dir) ? dir : "/tmp";
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

int Fd(TOsHandle handle) {
  return static_cast<int>(OsHandleValue(handle));
}

}  // namespace

THsmStream::TFileStore::TFileStore(bool transient) : FTransient(transient) {
  std::string pattern = TempFolder() + "/velhsm-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) RaiseFileError("creating the temporary file", pattern, errno);
  FHandle = MakeOsHandle(fd);
  FPath = name.data();
}

THsmStream::TFileStore::~TFileStore() {
  ::close(Fd(FHandle));
  if (FTransient) ::unlink(FPath.c_str());
}

void THsmStream::TFileStore::WriteAt(std::int64_t offset, const char* data, std::size_t count) {
  while (count > 0) {
    ssize_t n = ::pwrite(Fd(FHandle), data, count, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError("writing", FPath, errno);
    }
    data += n;
    count -= static_cast<std::size_t>(n);
    offset += n;
  }
}

std::size_t THsmStream::TFileStore::ReadAt(std::int64_t offset, char* data, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(Fd(FHandle), data + done, count - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError("reading", FPath, errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::int64_t THsmStream::TFileStore::Size() const {
  struct stat st {};
  if (::fstat(Fd(FHandle), &st) != 0) RaiseFileError("reading the size of", FPath, errno);
  return st.st_size;
}

void THsmStream::TFileStore::Resize(std::int64_t size) {
  while (::ftruncate(Fd(FHandle), size) != 0) {
    if (errno != EINTR) RaiseFileError("resizing", FPath, errno);
  }
}

}  // namespace vel
