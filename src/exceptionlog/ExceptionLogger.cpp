#include "exceptionlog/ExceptionLogger.h"

#include <algorithm>
#include <cctype>

#include "applog/AppLog.h"
#include "common/AppInfo.h"
#include "common/Exception.h"
#include "exceptionlog/ExceptionLogPlatform.h"
#include "exceptionlog/ExceptionLogWorker.h"

namespace vel {

namespace detail = exceptionlog_detail;

namespace {

// The throw site when it was recorded, else the caller of the writer (the catch handler).
const void* ExceptionAddress(const std::exception& e, const void* given, const void* caller) {
  if (given != nullptr) return given;
  if (const void* site = detail::ThrowSiteOf(dynamic_cast<const void*>(&e))) return site;
  return caller;
}

std::string Trimmed(const std::string& s) {
  const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  const auto first = std::find_if(s.begin(), s.end(), notSpace);
  const auto last = std::find_if(s.rbegin(), s.rend(), notSpace).base();
  return first < last ? std::string(first, last) : std::string();
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// An exception log of this application: the base, "@", anything, then ".log", in any letter
// case. The "@" keeps another application whose name merely begins with the base ("Shop" and
// "Shopping@...") and the diagnostic log ("Shop.log") out.
bool MatchesLogFile(const std::string& name, const std::string& base) {
  const std::string lowerName = Lower(name);
  const std::string lowerBase = Lower(base) + "@";
  const std::string ext = ".log";
  return lowerName.size() >= lowerBase.size() + ext.size() &&
         lowerName.compare(0, lowerBase.size(), lowerBase) == 0 &&
         lowerName.compare(lowerName.size() - ext.size(), ext.size(), ext) == 0;
}

// Folders a purge must never sweep: a slip in the settings would delete the logs of
// every application on the machine, or worse.
bool IsDangerousFolder(const std::string& folder) {
  if (folder.empty()) return true;
  std::string bare = folder;
  while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
  if (bare == "/" || bare == "." || bare == ".." || bare == "\\" || bare == "\\\\") return true;
  return detail::IsFileSystemRoot(folder);
}

std::string Unit(int64_t n, const char* name) {
  std::string text = std::to_string(n) + " " + name;
  if (n > 1) text += "s";
  return text;
}

}  // namespace

TVelExceptionLogger::TVelExceptionLogger()
    : FComputerName(TVelAppInfo::GetComputerName()), FStartTime(detail::ProcessStartTime()) {}

TVelExceptionLogger::~TVelExceptionLogger() {
  if (!FEnabled) return;
  try {
    PurgeFiles();
  } catch (const std::exception& e) {
    // A destructor that throws ends the process; the refusal is worth a trace, not that.
    LogToEventLog(e.what());
  }
}

void TVelExceptionLogger::Assign(const TVelExceptionLogger& source) {
  if (&source == this) return;
  FFilePath = source.FFilePath;
  FFileName = source.FFileName;
  FReportInfos = source.FReportInfos;
  FLogType = source.FLogType;
  FEnabled = source.FEnabled;
}

void TVelExceptionLogger::RegisterIgnoreException(std::type_index exceptionClass) {
  if (std::find(FIgnoreList.begin(), FIgnoreList.end(), exceptionClass) == FIgnoreList.end()) {
    FIgnoreList.push_back(exceptionClass);
  }
}

bool TVelExceptionLogger::IsIgnored(const std::exception& e) const {
  const std::type_index type(typeid(e));
  return std::find(FIgnoreList.begin(), FIgnoreList.end(), type) != FIgnoreList.end();
}

bool TVelExceptionLogger::LogException(const std::exception& e, const IVelHttpRequest* request,
                                       const void* exceptAddr) {
  if (!FEnabled || IsIgnored(e)) return false;
  exceptAddr = ExceptionAddress(e, exceptAddr, __builtin_return_address(0));
  TVelExceptionLogWorker worker(*this, e, request, exceptAddr, FReportInfos.Contains(riStackTrace));
  return worker.Log();
}

std::string TVelExceptionLogger::GetExceptionDetail(const std::exception& e,
                                                    const IVelHttpRequest* request,
                                                    const void* exceptAddr) {
  exceptAddr = ExceptionAddress(e, exceptAddr, __builtin_return_address(0));
  TVelExceptionLogWorker worker(*this, e, request, exceptAddr,
                                FHtmlReportInfos.Contains(riStackTrace));
  return worker.GetExceptionDetail();
}

TVelExceptionInfo TVelExceptionLogger::GetErrorInfo(const std::exception& e,
                                                    const IVelHttpRequest* request,
                                                    const void* exceptAddr) {
  exceptAddr = ExceptionAddress(e, exceptAddr, __builtin_return_address(0));
  TVelExceptionLogWorker worker(*this, e, request, exceptAddr,
                                FHtmlReportInfos.Contains(riStackTrace));
  return worker.GetErrorInfo();
}

std::string TVelExceptionLogger::LogFolder() const {
  std::string folder = Trimmed(FFilePath);
  if (folder.empty()) folder = TVelAppInfo::GetAppPath() + "ErrorLog";
  const std::string_view delimiters = detail::FolderDelimiters();
  if (delimiters.find(folder.back()) == std::string_view::npos) folder += delimiters.front();
  return folder;
}

std::string TVelExceptionLogger::LogBaseName() const {
  std::string base = Trimmed(FFileName);
  if (base.empty()) base = TVelAppInfo::GetAppName();
  return base;
}

void TVelExceptionLogger::PurgeFiles() {
  if (FPurgeAfterDays <= 0) return;
  const std::string folder = LogFolder();
  const std::string base = LogBaseName();
  if (IsDangerousFolder(folder)) {
    throw Exception("Assertion failed: TVelExceptionLogger.PurgeFiles attempts to delete \"" +
                    folder + "\"");
  }
  const TClock::time_point cutOff = Now() - std::chrono::hours(24) * FPurgeAfterDays;
  for (const detail::FolderFile& file : detail::ListFiles(folder)) {
    if (!MatchesLogFile(file.Name, base) || file.LastWrite > cutOff) continue;
    if (detail::DeleteFileNamed(folder + file.Name)) detail::PauseBriefly();
  }
}

std::string TVelExceptionLogger::FormatRunningTime(TClock::time_point start,
                                                   TClock::time_point now) {
  using namespace std::chrono;
  if (now <= start) return {};
  const int64_t total = duration_cast<seconds>(now - start).count();
  const int64_t days = total / 86400;
  const int64_t rest = total % 86400;
  const int64_t hours = rest / 3600;
  const int64_t minutes = rest % 3600 / 60;
  const int64_t secs = rest % 60;
  std::string text;
  if (days > 0) text = Unit(days, "day");
  if (hours > 0) text += " " + Unit(hours, "hour");
  if (minutes > 0) text += " " + Unit(minutes, "minute");
  if (secs > 0) text += " " + Unit(secs, "second");
  return text;
}

}  // namespace vel
