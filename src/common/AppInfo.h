#pragma once

// What the process knows about itself and its machine. The names and paths are worked out
// once, at start-up, and never change afterwards; any thread may ask anything.

#include <cstdint>
#include <string>

namespace vel {

// Bytes. On Windows the process memory counters; see AppInfo_linux.cpp for the Linux figures.
struct TVelMemInfo {
  std::int64_t WorkingSetSize = 0;
  std::int64_t PeakWorkingSetSize = 0;
  std::int64_t PagefileUsage = 0;
  std::int64_t PeakPagefileUsage = 0;
};

enum TFileInfo {
  fiCompanyName,
  fiFileDescription,
  fiFileVersion,
  fiIntName,
  fiLegalCopyright,
  fiLegalTradmark,
  fiOrigFilename,
  fiProductName,
  fiProductVersion,
  fiComments
};

class TVelAppInfo {
 public:
  TVelAppInfo() = delete;

  // The process's executable, also when asked from inside the client library (an application
  // linking velclient.dll is named by its own .exe): /opt/vel/velservermonitor,
  // C:\Vel\velservermonitor.exe
  static std::string GetAppFullFileName();
  // velservermonitor, velservermonitor.exe
  static std::string GetAppFileName();
  // The file name without its extension.
  static std::string GetAppName();
  // The full file name with its extension replaced by ".log" (added when there is none).
  static std::string GetAppLogFileName();
  // /opt/vel/ (always with a trailing path delimiter, "/" or "\\")
  static std::string GetAppPath();
  // The folder of the system's programs (/usr/bin/, C:\Windows\system32\).
  static std::string GetSystemPath();
  // TMPDIR or /tmp/; on Windows GetTempPathW. With a trailing delimiter.
  static std::string GetTempPath();
  // The host name, the NetBIOS computer name on Windows ("" when it cannot be read).
  static std::string GetComputerName();
  // On Windows the FileVersion of the executable's version resource (empty for an application
  // without one); on Linux the version of this build. The exception-log writer shows neither:
  // it takes the application's version from the application.
  static std::string GetAppVersion();
  // A 32-bit process under the 64-bit emulation layer of Windows; false otherwise.
  static bool IsWin64();
  // The current directory, with a trailing delimiter; asked at each call.
  static std::string GetCurrentPath();
  // A string of a file's version resource on Windows. On Linux: for the running executable,
  // the version strings this build carries (file and product version); empty for any other
  // file and for the other fields.
  static std::string GetFileInfo(const std::string& fileName, TFileInfo fileInfo);
  // Asked at each call; all zero when the figures cannot be read.
  static TVelMemInfo GetMemoryInfo();
  // Open descriptors (Windows: handles) of the process; 0 when they cannot be counted.
  static std::uint32_t GetHandleCount();
};

}  // namespace vel
