#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>

#include "exceptionlog/ExceptionLogPlatform.h"

// GCC ships libbacktrace, which reads the DWARF line tables and gives function, file and
// line for each frame. Without it (another compiler's include path), glibc's backtrace()
// with dladdr() still names the frames of exported functions.
#if __has_include(<backtrace.h>)
#include <backtrace.h>
#define VEL_HAVE_LIBBACKTRACE 1
#else
#define VEL_HAVE_LIBBACKTRACE 0
#endif

namespace vel::exceptionlog_detail {

namespace {

namespace fs = std::filesystem;

// Taken when the library is loaded: the fallback for the process start time.
const TClock::time_point kLoadTime = TClock::now();

std::string HexAddress(uintptr_t pc) {
  char buf[2 + 2 * sizeof(uintptr_t) + 1];
  std::snprintf(buf, sizeof buf, "0x%0*llX", static_cast<int>(2 * sizeof(uintptr_t)),
                static_cast<unsigned long long>(pc));
  return buf;
}

// Frames of the writer itself are left out of the trace: the reader wants to see where the
// application was, not how the report was made.
bool IsWriterFrame(const std::string& function) {
  return function.find("vel::exceptionlog_detail::") != std::string::npos ||
         function.find("vel::TVelExceptionLog") != std::string::npos;
}

struct TraceCollector {
  std::vector<std::string> lines;
  bool inApplication = false;  // true once the first frame outside the writer has been seen

  void Add(uintptr_t pc, const std::string& function, const char* file, int line) {
    if (!inApplication && IsWriterFrame(function)) return;
    inApplication = true;
    std::string text = HexAddress(pc) + " " + (function.empty() ? "??" : function);
    if (file != nullptr && *file != '\0') {
      text += " at ";
      text += file;
      text += ":" + std::to_string(line);
    }
    lines.push_back(std::move(text));
  }
};

#if VEL_HAVE_LIBBACKTRACE
void IgnoreError(void*, const char*, int) {}

backtrace_state* State() {
  // One state per process, safe for concurrent use; libbacktrace never frees it.
  static backtrace_state* state = backtrace_create_state(nullptr, 1, IgnoreError, nullptr);
  return state;
}

struct SymInfo {
  std::string name;
};

void OnSymInfo(void* data, uintptr_t, const char* symname, uintptr_t, uintptr_t) {
  if (symname != nullptr) static_cast<SymInfo*>(data)->name = symname;
}

int OnFrame(void* data, uintptr_t pc, const char* file, int line, const char* function) {
  auto* collector = static_cast<TraceCollector*>(data);
  if (pc == 0 || pc == static_cast<uintptr_t>(-1)) return 0;
  // The line tables often hold only the bare name of a member function ("TestBody"); the
  // symbol table has the qualified one. For an inlined frame the symbol is the function it
  // was inlined into, so the bare name is kept when the symbol does not contain it.
  SymInfo info;
  backtrace_syminfo(State(), pc, OnSymInfo, IgnoreError, &info);
  const std::string symbol = Demangle(info.name.empty() ? nullptr : info.name.c_str());
  std::string name = Demangle(function);
  if (name.empty() || (!symbol.empty() && symbol.find(name) != std::string::npos)) name = symbol;
  collector->Add(pc, name, file, line);
  return 0;
}
#endif

}  // namespace

std::tm LocalCalendarTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::string LocaleTimeSeparator() {
  const char* format = nl_langinfo(T_FMT);
  return TimeSeparatorOf(format == nullptr ? std::string() : std::string(format));
}

TClock::time_point ProcessStartTime() {
  // Field 22 of /proc/self/stat is the start in clock ticks after boot; btime in /proc/stat
  // is the boot time in seconds since the epoch.
  std::ifstream statFile("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');  // the command name may hold spaces and parentheses
  if (close == std::string::npos) return kLoadTime;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long startTicks = 0;
  // After the name, the state is field 3; starttime is field 22.
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) startTicks = std::strtoull(field.c_str(), nullptr, 10);
  }
  std::ifstream procStat("/proc/stat");
  std::string key;
  long long bootTime = -1;
  while (procStat >> key) {
    if (key == "btime") {
      procStat >> bootTime;
      break;
    }
    procStat.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (startTicks == 0 || bootTime < 0 || ticksPerSecond <= 0) return kLoadTime;
  const auto sinceBoot = std::chrono::milliseconds(startTicks * 1000 / ticksPerSecond);
  const auto start = TClock::time_point(std::chrono::seconds(bootTime)) +
                     std::chrono::duration_cast<TClock::duration>(sinceBoot);
  // A clock that was set back since boot would put the start after now.
  return start <= kLoadTime ? start : kLoadTime;
}

uint64_t CurrentThreadId() {
  return static_cast<uint64_t>(syscall(SYS_gettid));
}

std::vector<std::string> CaptureStackTrace() {
  TraceCollector collector;
#if VEL_HAVE_LIBBACKTRACE
  if (backtrace_state* state = State()) {
    backtrace_full(state, 0, OnFrame, IgnoreError, &collector);
    if (!collector.lines.empty()) return collector.lines;
  }
#endif
  void* frames[128];
  const int count = backtrace(frames, 128);
  for (int i = 0; i < count; ++i) {
    Dl_info info{};
    std::string name;
    if (dladdr(frames[i], &info) != 0 && info.dli_sname != nullptr) name = Demangle(info.dli_sname);
    collector.Add(reinterpret_cast<uintptr_t>(frames[i]), name, nullptr, 0);
  }
  return collector.lines;
}

std::string_view FolderDelimiters() {
  return "/";
}

bool CreateFolders(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(fs::path(folder), ec);
  return fs::is_directory(fs::path(folder), ec);
}

bool WriteWholeFile(const std::string& fileName, const std::string& bytes) {
  int fd;
  do {
    fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // The mode given to open() passes through the umask; the service's group must be able to
  // read the file whatever the application's umask is, and other users never. File systems
  // without Unix modes (vfat, CIFS, some FUSE mounts) refuse fchmod: the report still
  // counts more than its mode there, so the file is written all the same.
  (void)::fchmod(fd, 0640);
  bool ok = true;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  if (::close(fd) != 0 && errno != EINTR) ok = false;
  if (!ok) ::unlink(fileName.c_str());
  return ok;
}

bool IsFileSystemRoot(const std::string& folder) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(fs::path(folder), ec);
  if (ec) return false;
  const fs::path resolved = fs::weakly_canonical(absolute, ec);
  const fs::path normal = (ec ? absolute : resolved).lexically_normal();
  return normal == normal.root_path();
}

std::vector<FolderFile> ListFiles(const std::string& folder) {
  std::vector<FolderFile> files;
  std::error_code ec;
  fs::directory_iterator it(fs::path(folder), ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code entryEc;
    if (it->is_directory(entryEc)) continue;
    struct stat st {};
    if (::stat(it->path().c_str(), &st) != 0) continue;
    const auto lastWrite = TClock::time_point(std::chrono::duration_cast<TClock::duration>(
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    files.push_back({it->path().filename().string(), lastWrite});
  }
  return files;
}

bool DeleteFileNamed(const std::string& fileName) {
  return ::unlink(fileName.c_str()) == 0;
}

void PauseBriefly() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace vel::exceptionlog_detail
