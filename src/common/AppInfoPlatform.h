#pragma once

// Between the application information (AppInfo.cpp) and its per-system side
// (AppInfo_linux.cpp, AppInfo_win32.cpp). Internal.

#include <string>
#include <string_view>

namespace vel::appinfo_detail {

// What the process learns about itself once, at start-up.
struct TStartupValues {
  std::string fullFileName, fileName, appName, logFileName, appPath, systemPath, tempPath,
      computerName, version;
  bool win64 = false;
};

// Per system: every value, the names and paths by SplitExecutableName.
TStartupValues ComputeStartupValues();

// The values, worked out on first use and read-only afterwards (a function-local static is
// initialised exactly once even when threads race for it).
const TStartupValues& StartupValues();

// path with a trailing delimiter: delimiters are the characters that end a folder name, the
// first of them the one added when the path ends in none.
std::string WithTrailingDelimiter(std::string path, std::string_view delimiters);

// fileName, appPath, appName and logFileName from a non-empty fullFileName.
void SplitExecutableName(TStartupValues& v, std::string_view delimiters);

}  // namespace vel::appinfo_detail
