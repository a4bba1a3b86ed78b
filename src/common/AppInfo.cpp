#include "common/AppInfo.h"

#include "common/AppInfoPlatform.h"

namespace vel {

namespace appinfo_detail {

const TStartupValues& StartupValues() {
  static const TStartupValues values = ComputeStartupValues();
  return values;
}

std::string WithTrailingDelimiter(std::string path, std::string_view delimiters) {
  if (path.empty() || delimiters.find(path.back()) == std::string_view::npos)
    path += delimiters.front();
  return path;
}

void SplitExecutableName(TStartupValues& v, std::string_view delimiters) {
  const std::size_t slash = v.fullFileName.find_last_of(delimiters);
  v.fileName = slash == std::string::npos ? v.fullFileName : v.fullFileName.substr(slash + 1);
  v.appPath = WithTrailingDelimiter(
      slash == std::string::npos ? std::string() : v.fullFileName.substr(0, slash), delimiters);
  // The extension is what follows the last dot of the file name part.
  const std::size_t dot = v.fileName.rfind('.');
  v.appName = dot == std::string::npos ? v.fileName : v.fileName.substr(0, dot);
  v.logFileName = v.appPath + v.appName + ".log";
}

}  // namespace appinfo_detail

using appinfo_detail::StartupValues;

std::string TVelAppInfo::GetAppFullFileName() {
  return StartupValues().fullFileName;
}
std::string TVelAppInfo::GetAppFileName() {
  return StartupValues().fileName;
}
std::string TVelAppInfo::GetAppName() {
  return StartupValues().appName;
}
std::string TVelAppInfo::GetAppLogFileName() {
  return StartupValues().logFileName;
}
std::string TVelAppInfo::GetAppPath() {
  return StartupValues().appPath;
}
std::string TVelAppInfo::GetSystemPath() {
  return StartupValues().systemPath;
}
std::string TVelAppInfo::GetTempPath() {
  return StartupValues().tempPath;
}
std::string TVelAppInfo::GetComputerName() {
  return StartupValues().computerName;
}
std::string TVelAppInfo::GetAppVersion() {
  return StartupValues().version;
}
bool TVelAppInfo::IsWin64() {
  return StartupValues().win64;
}

}  // namespace vel
