#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first
#include <dbghelp.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

#include "common/WinApi_win32.h"
#include "exceptionlog/ExceptionLogPlatform.h"
#include "exceptionlog/SymbolMap_win32.h"

namespace vel::exceptionlog_detail {

namespace {

namespace fs = std::filesystem;
using win::Wide;

// Taken when the library is loaded: the fallback for the process start time.
const TClock::time_point kLoadTime = TClock::now();

std::string Hex(uint64_t value, int digits) {
  char buf[2 + 16 + 1];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buf;
}

TClock::time_point FromFileTime(const FILETIME& ft) {
  // 100-ns ticks since 1601-01-01; the Unix epoch is 11644473600 s later.
  const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const auto sinceUnix = std::chrono::duration<int64_t, std::ratio<1, 10000000>>(ticks) -
                         std::chrono::seconds(11644473600LL);
  return TClock::time_point(std::chrono::duration_cast<TClock::duration>(sinceUnix));
}

// Frames of the writer itself, left out of the trace (the reader wants to see where the
// application was, not how the report was made): CaptureStackTrace, the report's constructor
// and the logger's entry point. Each is kept out of line, so the count holds at any
// optimisation; names would not do, since a frame without a name cannot be told apart.
constexpr ULONG kWriterFrames = 3;

// DbgHelp, for the frames of modules without a symbol map (the system's, an application's
// own). A session of its own, under a duplicate of the process handle: a host that initialised
// DbgHelp on the process first keeps its session, and this one still starts. When it cannot,
// the host's session on the process is asked. DbgHelp is single-threaded: every call goes
// through gSymbolsLock.
std::mutex gSymbolsLock;

class TDbgHelpSession {
 public:
  TDbgHelpSession() {
    ::SymSetOptions(::SymGetOptions() | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
    HANDLE own = nullptr;
    if (::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &own,
                          0, FALSE, DUPLICATE_SAME_ACCESS)) {
      if (::SymInitialize(own, nullptr, TRUE)) {
        FHandle = own;
        FOwn = true;
        return;
      }
      ::CloseHandle(own);
    }
    FHandle = ::GetCurrentProcess();
  }
  ~TDbgHelpSession() {
    if (!FOwn) return;
    ::SymCleanup(FHandle);
    ::CloseHandle(FHandle);
  }
  TDbgHelpSession(const TDbgHelpSession&) = delete;
  TDbgHelpSession& operator=(const TDbgHelpSession&) = delete;

  // "function at file:line", or "function" without a line; "" when DbgHelp has no name.
  std::string Describe(uintptr_t address) const {
    alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + 512];
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = 511;
    DWORD64 displacement = 0;
    if (!::SymFromAddr(FHandle, address, &displacement, symbol) || symbol->Name[0] == '\0' ||
        std::string(symbol->Name) == "?")
      return {};
    std::string text = Demangle(symbol->Name);
    IMAGEHLP_LINE64 line{};
    line.SizeOfStruct = sizeof line;
    DWORD column = 0;
    if (::SymGetLineFromAddr64(FHandle, address, &column, &line) && line.FileName != nullptr)
      text += std::string(" at ") + line.FileName + ":" + std::to_string(line.LineNumber);
    return text;
  }

 private:
  HANDLE FHandle = nullptr;
  bool FOwn = false;
};

const TDbgHelpSession& DbgHelp() {
  static const TDbgHelpSession session;
  return session;
}

// "velclient.dll+0x1A2B": the module that holds the address and the offset into it.
std::string ModuleOffset(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module))
    return "??";
  const std::wstring path = win::ModuleFileName(module);
  std::string name = path.empty() ? "??" : win::Narrow(path);
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  const uint64_t offset =
      reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(module);
  return name + "+" + Hex(offset, 1);
}

}  // namespace

std::tm LocalCalendarTime(std::time_t t) {
  std::tm tm{};
  localtime_s(&tm, &t);
  return tm;
}

std::string LocaleTimeSeparator() {
  // The user's time format ("HH:mm:ss", "H.mm.ss"): the character after the hours.
  wchar_t format[80];
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STIMEFORMAT, format, 80) <= 0) return ":";
  std::wstring f(format);
  size_t hour = f.find_first_of(L"Hh");
  if (hour == std::wstring::npos) return ":";
  size_t after = f.find_first_not_of(L"Hh", hour);
  if (after == std::wstring::npos || after + 1 >= f.size() || f[after + 1] != L'm' ||
      !iswpunct(f[after]))
    return ":";
  return win::Narrow(f.substr(after, 1));
}

TClock::time_point ProcessStartTime() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return kLoadTime;
  const TClock::time_point start = FromFileTime(created);
  return start <= kLoadTime ? start : kLoadTime;
}

uint64_t CurrentThreadId() {
  return GetCurrentThreadId();
}

std::vector<std::string> CaptureStackTrace() {
  void* frames[62];  // the most CaptureStackBackTrace takes before Windows Server 2003
  const USHORT count = CaptureStackBackTrace(kWriterFrames, 62, frames, nullptr);
  std::vector<std::string> lines;
  for (USHORT i = 0; i < count; ++i) {
    const auto pc = reinterpret_cast<uintptr_t>(frames[i]);
    if (pc == 0) break;  // the bottom of the stack: what follows is not a frame
    // The return address points after the call: the caller is the byte before it.
    const void* call = reinterpret_cast<const void*>(pc - 1);
    std::string text = SymbolMapName(call);
    if (!text.empty()) {
      text += " (" + ModuleOffset(frames[i]) + ")";
    } else {
      std::lock_guard guard(gSymbolsLock);
      text = DbgHelp().Describe(pc - 1);
    }
    lines.push_back(Hex(pc, 16) + " " + (text.empty() ? ModuleOffset(frames[i]) : text));
  }
  return lines;
}

std::string_view FolderDelimiters() {
  return "\\/";
}

bool CreateFolders(const std::string& folder) {
  std::error_code ec;
  const fs::path path(Wide(folder));
  fs::create_directories(path, ec);
  return fs::is_directory(path, ec);
}

bool WriteWholeFile(const std::string& fileName, const std::string& bytes) {
  const std::wstring name = Wide(fileName);
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) != FALSE && written > 0;
    done += written;
  }
  if (!CloseHandle(file)) ok = false;
  if (!ok) DeleteFileW(name.c_str());
  return ok;
}

bool IsFileSystemRoot(const std::string& folder) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(fs::path(Wide(folder)), ec);
  if (ec) return false;
  const fs::path resolved = fs::weakly_canonical(absolute, ec);
  const fs::path normal = (ec ? absolute : resolved).lexically_normal();
  return normal == normal.root_path() || normal.relative_path().empty();
}

std::vector<FolderFile> ListFiles(const std::string& folder) {
  std::vector<FolderFile> files;
  std::wstring pattern = Wide(folder);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data;
  HANDLE find =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    files.push_back({win::Narrow(data.cFileName), FromFileTime(data.ftLastWriteTime)});
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return files;
}

bool DeleteFileNamed(const std::string& fileName) {
  return DeleteFileW(Wide(fileName).c_str()) != FALSE;
}

void PauseBriefly() {
  Sleep(1);
}

}  // namespace vel::exceptionlog_detail
