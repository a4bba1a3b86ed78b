#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "VelVersion.h"
#include "common/AppInfo.h"
#include "common/AppInfoPlatform.h"

namespace vel {
namespace {

std::string WithTrailingSlash(std::string path) {
  return appinfo_detail::WithTrailingDelimiter(std::move(path), "/");
}

// The kernel names an executable that was removed or replaced since the start (a package
// upgrade) "<path> (deleted)". The values are taken at start-up, before that can happen; a
// library loaded later still gets the path, unless a file of that very name is the executable.
std::string WithoutDeletedMark(std::string path) {
  static const std::string kMark = " (deleted)";
  if (path.size() <= kMark.size() ||
      path.compare(path.size() - kMark.size(), kMark.size(), kMark) != 0)
    return path;
  struct stat self {
  }, named{};
  if (::stat("/proc/self/exe", &self) == 0 && ::stat(path.c_str(), &named) == 0 &&
      self.st_dev == named.st_dev && self.st_ino == named.st_ino)
    return path;
  path.resize(path.size() - kMark.size());
  return path;
}

std::string ReadExecutablePath() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size())
      return WithoutDeletedMark(std::string(buffer.data(), n));
    buffer.resize(buffer.size() * 2);  // the link may have been cut: ask again with more room
  }
}

std::string ReadHostName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return {};
  return buffer;
}

}  // namespace

namespace appinfo_detail {

TStartupValues ComputeStartupValues() {
  TStartupValues v;
  v.systemPath = "/usr/bin/";
  v.version = kVersion;
  const char* tmp = std::getenv("TMPDIR");
  v.tempPath = WithTrailingSlash(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  v.computerName = ReadHostName();
  v.fullFileName = ReadExecutablePath();
  if (v.fullFileName.empty()) return v;  // names and paths stay empty
  SplitExecutableName(v, "/");
  return v;
}

}  // namespace appinfo_detail

namespace {

// At start-up (program start, or when the client library is loaded), not on first use: by
// the time an application first logs an error its executable may have been replaced.
[[maybe_unused]] const appinfo_detail::TStartupValues& gTakenAtStartup =
    appinfo_detail::StartupValues();

}  // namespace

std::string TVelAppInfo::GetCurrentPath() {
  std::vector<char> buffer(PATH_MAX);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  return WithTrailingSlash(buffer.data());
}

std::string TVelAppInfo::GetFileInfo(const std::string& fileName, TFileInfo fileInfo) {
  // Executables here carry no version resource; the running one carries this build's
  // version, which is all the system asks for.
  if (fileInfo != fiFileVersion && fileInfo != fiProductVersion) return {};
  std::error_code ec;
  if (fileName.empty() || !std::filesystem::equivalent(fileName, GetAppFullFileName(), ec) || ec)
    return {};
  return kVersion;
}

// The four figures from /proc/self/status:
//   WorkingSetSize     = VmRSS   (resident set: the pages in memory now)
//   PeakWorkingSetSize = VmHWM   (peak resident set, "high water mark")
//   PagefileUsage      = VmSize  (virtual memory the process has mapped, the nearest figure
//                                 to memory it has committed)
//   PeakPagefileUsage  = VmPeak  (peak of VmSize)
// The file gives kB; the record holds bytes.
TVelMemInfo TVelAppInfo::GetMemoryInfo() {
  TVelMemInfo info;
  std::ifstream status("/proc/self/status");
  if (!status) return info;
  std::string line;
  while (std::getline(status, line)) {
    std::int64_t* field = nullptr;
    if (line.rfind("VmRSS:", 0) == 0)
      field = &info.WorkingSetSize;
    else if (line.rfind("VmHWM:", 0) == 0)
      field = &info.PeakWorkingSetSize;
    else if (line.rfind("VmSize:", 0) == 0)
      field = &info.PagefileUsage;
    else if (line.rfind("VmPeak:", 0) == 0)
      field = &info.PeakPagefileUsage;
    if (field == nullptr) continue;
    const char* p = line.c_str() + line.find(':') + 1;
    char* end = nullptr;
    const long long kb = std::strtoll(p, &end, 10);
    if (end != p && kb >= 0) *field = static_cast<std::int64_t>(kb) * 1024;
  }
  return info;
}

std::uint32_t TVelAppInfo::GetHandleCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  const int own = ::dirfd(dir);  // the listing's own descriptor does not count
  std::uint32_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] < '0' || name[0] > '9') continue;  // "." and ".."
    if (std::atoi(name) == own) continue;
    ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace vel
