#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "VelVersion.h"
#include "common/AppInfo.h"

namespace vel {
namespace {

std::string WithTrailingSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
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

struct StartupValues {
  std::string fullFileName, fileName, appName, logFileName, appPath, tempPath, computerName;
};

StartupValues Compute() {
  StartupValues v;
  const char* tmp = std::getenv("TMPDIR");
  v.tempPath = WithTrailingSlash(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  v.computerName = ReadHostName();
  v.fullFileName = ReadExecutablePath();
  if (v.fullFileName.empty()) return v;  // names and paths stay empty
  const std::size_t slash = v.fullFileName.rfind('/');
  v.fileName = slash == std::string::npos ? v.fullFileName : v.fullFileName.substr(slash + 1);
  v.appPath = WithTrailingSlash(slash == std::string::npos ? std::string()
                                                           : v.fullFileName.substr(0, slash));
  // The extension is what follows the last dot of the file name part.
  const std::size_t dot = v.fileName.rfind('.');
  v.appName = dot == std::string::npos ? v.fileName : v.fileName.substr(0, dot);
  v.logFileName = v.appPath + v.appName + ".log";
  return v;
}

// Worked out once, read-only afterwards (a function-local static is initialised exactly
// once even when threads race for it).
const StartupValues& Values() {
  static const StartupValues values = Compute();
  return values;
}

// At start-up (program start, or when the client library is loaded), not on first use: by
// the time an application first logs an error its executable may have been replaced.
[[maybe_unused]] const StartupValues& gTakenAtStartup = Values();

}  // namespace

std::string TVelAppInfo::GetAppFullFileName() {
  return Values().fullFileName;
}
std::string TVelAppInfo::GetAppFileName() {
  return Values().fileName;
}
std::string TVelAppInfo::GetAppName() {
  return Values().appName;
}
std::string TVelAppInfo::GetAppLogFileName() {
  return Values().logFileName;
}
std::string TVelAppInfo::GetAppPath() {
  return Values().appPath;
}
std::string TVelAppInfo::GetSystemPath() {
  return "/usr/bin/";
}
std::string TVelAppInfo::GetTempPath() {
  return Values().tempPath;
}
std::string TVelAppInfo::GetComputerName() {
  return Values().computerName;
}
std::string TVelAppInfo::GetAppVersion() {
  return kVersion;
}
bool TVelAppInfo::IsWin64() {
  return false;
}

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
