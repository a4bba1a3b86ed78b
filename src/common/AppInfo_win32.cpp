#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/AppInfo.h"
#include "common/AppInfoPlatform.h"
#include "common/WinApi_win32.h"

namespace vel {
namespace {

std::string WithTrailingDelimiter(std::string path) {
  return appinfo_detail::WithTrailingDelimiter(std::move(path), "\\/");
}

// The process's executable, without the long-path prefix. Not the module that holds this code:
// inside velclient.dll that would name the DLL, and every report of the application linking it
// would say "velclient".
std::wstring ExecutableFileName() {
  std::wstring name = win::ModuleFileName(nullptr);
  if (name.rfind(L"\\\\?\\", 0) != 0) return name;
  // \\?\UNC\server\share\... is \\server\share\...; \\?\C:\... is C:\...
  if (name.size() >= 8 &&
      ::CompareStringOrdinal(name.c_str() + 4, 4, L"UNC\\", 4, TRUE) == CSTR_EQUAL)
    return L"\\\\" + name.substr(8);
  return name.substr(4);
}

// A folder the system names, however long, with its trailing delimiter; "" when it cannot.
std::string PathFrom(DWORD (*ask)(wchar_t*, DWORD)) {
  const std::wstring path = win::GrownText(ask);
  return path.empty() ? std::string() : WithTrailingDelimiter(win::Narrow(path));
}

DWORD AskSystemDirectory(wchar_t* buffer, DWORD size) {
  return ::GetSystemDirectoryW(buffer, size);
}
DWORD AskTempPath(wchar_t* buffer, DWORD size) {
  return ::GetTempPathW(size, buffer);
}
DWORD AskCurrentDirectory(wchar_t* buffer, DWORD size) {
  return ::GetCurrentDirectoryW(size, buffer);
}

std::string ReadComputerName() {
  wchar_t buffer[257];
  DWORD size = 257;
  if (!::GetComputerNameW(buffer, &size)) return {};
  return win::Narrow(std::wstring_view(buffer, size));
}

bool ReadIsWow64() {
  using Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32");
  if (!kernel) return false;
  const auto fn = reinterpret_cast<Fn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "IsWow64Process")));
  BOOL wow64 = FALSE;
  return fn && fn(::GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace

namespace appinfo_detail {

TStartupValues ComputeStartupValues() {
  TStartupValues v;
  v.systemPath = PathFrom(AskSystemDirectory);
  v.tempPath = PathFrom(AskTempPath);
  v.computerName = ReadComputerName();
  v.win64 = ReadIsWow64();
  v.fullFileName = win::Narrow(ExecutableFileName());
  if (v.fullFileName.empty()) return v;
  SplitExecutableName(v, "\\/");
  v.version = TVelAppInfo::GetFileInfo(v.fullFileName, fiFileVersion);
  return v;
}

}  // namespace appinfo_detail

namespace {

const wchar_t* const kFileInfoKeys[] = {
    L"CompanyName",    L"FileDescription", L"FileVersion",      L"InternalName",
    L"LegalCopyright", L"LegalTrademarks", L"OriginalFilename",
    L"Productname",  // with a lower-case n, as the lookup has always been written
    L"ProductVersion", L"Comments"};

}  // namespace

std::string TVelAppInfo::GetCurrentPath() {
  return PathFrom(AskCurrentDirectory);
}

std::string TVelAppInfo::GetFileInfo(const std::string& fileName, TFileInfo fileInfo) {
  if (fileInfo < fiCompanyName || fileInfo > fiComments) return {};
  const std::wstring name = win::Wide(fileName);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(name.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<unsigned char> block(size);
  if (!::GetFileVersionInfoW(name.c_str(), 0, size, block.data())) return {};
  struct Translation {
    WORD language;
    WORD codePage;
  };
  Translation* translation = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
      translation == nullptr || length < sizeof(Translation))
    return {};
  wchar_t subBlock[128];
  std::swprintf(subBlock, 128, L"\\StringFileInfo\\%04X%04X\\%ls", translation->language,
                translation->codePage, kFileInfoKeys[fileInfo]);
  wchar_t* value = nullptr;
  if (!::VerQueryValueW(block.data(), subBlock, reinterpret_cast<void**>(&value), &length) ||
      value == nullptr)
    return {};
  return win::Narrow(std::wstring_view(value));  // up to its terminator
}

// The process-status library is loaded on first use; all four figures stay 0 when it or the
// call fails.
TVelMemInfo TVelAppInfo::GetMemoryInfo() {
  TVelMemInfo info;
  struct Counters {  // PROCESS_MEMORY_COUNTERS
    DWORD cb;
    DWORD PageFaultCount;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage;
    SIZE_T QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
  };
  using Fn = BOOL(WINAPI*)(HANDLE, Counters*, DWORD);
  static const Fn fn = [] {
    const HMODULE psapi = ::LoadLibraryW(L"psapi.dll");
    return psapi ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
                       ::GetProcAddress(psapi, "GetProcessMemoryInfo")))
                 : nullptr;
  }();
  if (!fn) return info;
  Counters c{};
  c.cb = sizeof c;
  if (!fn(::GetCurrentProcess(), &c, sizeof c)) return info;
  info.WorkingSetSize = static_cast<std::int64_t>(c.WorkingSetSize);
  info.PeakWorkingSetSize = static_cast<std::int64_t>(c.PeakWorkingSetSize);
  info.PagefileUsage = static_cast<std::int64_t>(c.PagefileUsage);
  info.PeakPagefileUsage = static_cast<std::int64_t>(c.PeakPagefileUsage);
  return info;
}

std::uint32_t TVelAppInfo::GetHandleCount() {
  DWORD count = 0;
  return ::GetProcessHandleCount(::GetCurrentProcess(), &count) ? count : 0;
}

}  // namespace vel
