#pragma once

// The exception-log writer that a monitored application embeds: one text file per unhandled
// error in the application's log folder, which the monitor service watches and turns into
// alerts. The file's labels and separator lines are what the service looks for.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "exceptionlog/ExceptionLogHost.h"

namespace vel {

// The sections a report can hold.
enum TReportInfo : uint8_t {
  riAppInfo = 0,        // application information
  riExceptionInfo = 1,  // exception information
  riVelAppInfo = 2,     // framework and session information
  riStackTrace = 3,     // stack trace
  riRequestInfo = 4,    // HTTP request information
};

// A set of TReportInfo, one byte, bit n for ordinal n.
class TReportInfos {
 public:
  constexpr TReportInfos() = default;
  constexpr TReportInfos(std::initializer_list<TReportInfo> items) {
    for (TReportInfo i : items) FBits = static_cast<uint8_t>(FBits | Bit(i));
  }
  static constexpr TReportInfos FromBits(uint8_t bits) {
    TReportInfos r;
    r.FBits = static_cast<uint8_t>(bits & 0x1F);
    return r;
  }
  static constexpr TReportInfos All() { return FromBits(0x1F); }

  constexpr bool Contains(TReportInfo i) const { return (FBits & Bit(i)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr uint8_t Bits() const { return FBits; }
  constexpr TReportInfos& Include(TReportInfo i) {
    FBits = static_cast<uint8_t>(FBits | Bit(i));
    return *this;
  }
  constexpr TReportInfos& Exclude(TReportInfo i) {
    FBits = static_cast<uint8_t>(FBits & ~Bit(i));
    return *this;
  }
  friend constexpr bool operator==(TReportInfos a, TReportInfos b) = default;

 private:
  static constexpr uint8_t Bit(TReportInfo i) { return static_cast<uint8_t>(1u << i); }
  uint8_t FBits = 0;
};

// Where a report goes.
enum TLogType : uint8_t { ltFile = 0, ltEventLog = 1 };

// What the host's error page needs to know about one error.
struct TVelExceptionInfo {
  std::string ResourceName;
  std::string Addr;
  std::string AppID;
  std::string Content;
  std::string RunParams;
  std::string ExceptionSpecific;
  std::string Detail;
  std::string DefaultMessage;
};

class TVelExceptionLogWorker;

class TVelExceptionLogger {
 public:
  using TClock = std::chrono::system_clock;

  static constexpr TReportInfos DefaultReportInfos() { return TReportInfos::All(); }
  static constexpr TReportInfos DefaultHtmlReportInfos() {
    return {riExceptionInfo, riStackTrace, riRequestInfo};
  }

  // Takes the computer name; everything else starts at its default (disabled, to a file,
  // all sections).
  TVelExceptionLogger();
  // Purges old files when enabled. A refused purge (a dangerous folder) is reported to the
  // system log instead of leaving the destructor.
  ~TVelExceptionLogger();
  TVelExceptionLogger(const TVelExceptionLogger&) = delete;
  TVelExceptionLogger& operator=(const TVelExceptionLogger&) = delete;

  // Copies FilePath, FileName, ReportInfos, LogType and Enabled from another logger.
  void Assign(const TVelExceptionLogger& source);

  // Exceptions whose dynamic type is exactly this type are never logged; a class derived
  // from it still is.
  void RegisterIgnoreException(std::type_index exceptionClass);
  template <typename E>
  void RegisterIgnoreException() {
    RegisterIgnoreException(std::type_index(typeid(E)));
  }
  bool IsIgnored(const std::exception& e) const;

  // Writes one report for e when enabled and e's type is not ignored. True when the host's
  // hook took the report, the file was written or the system log took it. The address
  // reported as "Exception address" is exceptAddr, or, when null, the throw site recorded
  // for e on this thread (upper-case hexadecimal, two digits per byte of a pointer: 16 on a
  // 64-bit process), or else the caller's (the catch site). Never throws, except what the
  // host's report hook throws.
  [[gnu::noinline]] bool LogException(const std::exception& e,
                                      const IVelHttpRequest* request = nullptr,
                                      const void* exceptAddr = nullptr);

  // The detail text for the host's error page: the HtmlReportInfos sections, each after a
  // separator line, CR LF line ends, no closing separator.
  [[gnu::noinline]] std::string GetExceptionDetail(const std::exception& e,
                                                   const IVelHttpRequest* request = nullptr,
                                                   const void* exceptAddr = nullptr);
  // The detail text and the collected values; ResourceName and DefaultMessage stay empty.
  [[gnu::noinline]] TVelExceptionInfo GetErrorInfo(const std::exception& e,
                                                   const IVelHttpRequest* request = nullptr,
                                                   const void* exceptAddr = nullptr);

  // Deletes this application's exception logs (LogBaseName() + "@" ... ".log", letter case
  // ignored) older than PurgeAfterDays days (nothing when it is 0 or less); other files, such
  // as another application's logs or a diagnostic log beside them, stay. Throws vel::Exception
  // "Assertion failed: TVelExceptionLogger.PurgeFiles attempts to delete "<folder>"" for a folder
  // that is empty, "/", ".", ".." or the root of the file system.
  void PurgeFiles();

  // The folder the files go to ("<application path>ErrorLog/" when FilePath is empty), with
  // a trailing delimiter ("\\" on Windows, where "/" also ends a folder name), and the first
  // part of the file names.
  std::string LogFolder() const;
  std::string LogBaseName() const;

  // The running-time text: "<days> day", then " <n> hour(s)", " <n> minute(s)",
  // " <n> second(s)" for each unit above zero, "s" above 1 (days always written when the
  // run has lasted a day or more; "" under one second).
  static std::string FormatRunningTime(TClock::time_point start, TClock::time_point now);

  // Settings; set them before logging starts (they are read without a lock).
  TReportInfos ReportInfos() const { return FReportInfos; }
  void SetReportInfos(TReportInfos v) { FReportInfos = v; }
  TReportInfos HtmlReportInfos() const { return FHtmlReportInfos; }
  void SetHtmlReportInfos(TReportInfos v) { FHtmlReportInfos = v; }
  // Whether the host must store a section set with its settings (only when not the default).
  bool IsReportInfosStored() const { return FReportInfos != DefaultReportInfos(); }
  bool IsHtmlReportInfosStored() const { return FHtmlReportInfos != DefaultHtmlReportInfos(); }
  TLogType LogType() const { return FLogType; }
  void SetLogType(TLogType v) { FLogType = v; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool v) { FEnabled = v; }
  const std::string& FilePath() const { return FFilePath; }
  void SetFilePath(std::string v) { FFilePath = std::move(v); }
  const std::string& FileName() const { return FFileName; }
  void SetFileName(std::string v) { FFileName = std::move(v); }
  int32_t PurgeAfterDays() const { return FPurgeAfterDays; }
  void SetPurgeAfterDays(int32_t v) { FPurgeAfterDays = v; }
  const std::string& ComputerName() const { return FComputerName; }
  // The application's version for "Application Version". Empty (the default): the host's
  // ApplicationVersion(), else an empty value. This library's own version is never shown:
  // it says nothing about the application that failed.
  const std::string& AppVersion() const { return FAppVersion; }
  void SetAppVersion(std::string v) { FAppVersion = std::move(v); }

  // The host that supplies the framework and request sections and the report hook; not
  // owned, may be null (the default).
  IVelExceptionLogHost* Host() const { return FHost; }
  void SetHost(IVelExceptionLogHost* host) { FHost = host; }

  // The time the process started, as "Started at" and "Running for" show it. Defaults to
  // the process's real start time; tests and hosts that restart in-process may set it.
  TClock::time_point StartTime() const { return FStartTime; }
  void SetStartTime(TClock::time_point v) { FStartTime = v; }

  // The clock the writer reads for file names, "Exception Time" and the running time: the
  // system clock unless replaced (tests fix it; an empty function restores the system clock).
  using TNowFunc = std::function<TClock::time_point()>;
  void SetClock(TNowFunc now) { FNow = std::move(now); }
  TClock::time_point Now() const { return FNow ? FNow() : TClock::now(); }

 private:
  friend class TVelExceptionLogWorker;

  std::vector<std::type_index> FIgnoreList;
  TReportInfos FReportInfos = DefaultReportInfos();
  TReportInfos FHtmlReportInfos = DefaultHtmlReportInfos();
  TLogType FLogType = ltFile;
  std::string FComputerName;
  bool FEnabled = false;
  std::string FFilePath;
  std::string FFileName;
  int32_t FPurgeAfterDays = 0;
  std::string FAppVersion;
  IVelExceptionLogHost* FHost = nullptr;
  TClock::time_point FStartTime;
  TNowFunc FNow;
};

}  // namespace vel
