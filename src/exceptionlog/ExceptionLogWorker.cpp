#include "exceptionlog/ExceptionLogWorker.h"

#include <atomic>
#include <cstdio>

#include "applog/AppLog.h"
#include "common/AppInfo.h"
#include "common/Utf.h"
#include "exceptionlog/ExceptionLogPlatform.h"

namespace vel {

namespace detail = exceptionlog_detail;

namespace {

constexpr size_t kLabelWidth = 19;

const char* const kRestartHint =
    "Depending on the error condition, it might be possible to restart the application.";
const char* const kDetailsDisabled = "[Error details are disabled in server configuration]";

// Numbers the files of this process, so that two written in the same millisecond differ.
std::atomic<uint64_t> gFileCounter{0};

std::string TwoDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

std::string ThreeDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%03d", v);
  return buf;
}

std::string DatePart(const std::tm& tm) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

// "yyyy-mm-dd hh:mm:ss.zzz" with the locale's time separator in place of the colons.
std::string FormatDateTime(TVelExceptionLogger::TClock::time_point t) {
  const detail::LocalTime lt = detail::ToLocalTime(t);
  const std::string sep = detail::LocaleTimeSeparator();
  return DatePart(lt.tm) + " " + TwoDigits(lt.tm.tm_hour) + sep + TwoDigits(lt.tm.tm_min) + sep +
         TwoDigits(lt.tm.tm_sec) + "." + ThreeDigits(lt.millisecond);
}

// "yyyy-mm-dd hh-mm-ss.zzz", fixed whatever the locale: the name must sort and parse alike
// on every machine.
std::string FileTimestamp(TVelExceptionLogger::TClock::time_point t) {
  const detail::LocalTime lt = detail::ToLocalTime(t);
  return DatePart(lt.tm) + " " + TwoDigits(lt.tm.tm_hour) + "-" + TwoDigits(lt.tm.tm_min) + "-" +
         TwoDigits(lt.tm.tm_sec) + "." + ThreeDigits(lt.millisecond);
}

std::string HexAddress(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

std::string CompilerVersion() {
#if defined(__clang__)
  return std::to_string(__clang_major__) + std::to_string(__clang_minor__) +
         std::to_string(__clang_patchlevel__);
#elif defined(__GNUC__)
  return std::to_string(__GNUC__) + std::to_string(__GNUC_MINOR__) +
         std::to_string(__GNUC_PATCHLEVEL__);
#else
  return "0";
#endif
}

std::string BoolText(bool v) {
  return v ? "True" : "False";
}

std::string FormText(const TVelFormRef& form) {
  if (!form.Assigned) return "[unassigned]";
  if (form.Name.empty()) return form.ClassName;
  return form.Name + " (" + form.ClassName + ")";
}

std::string WithLeadingSlash(const std::string& params) {
  if (params.empty()) return {};
  return "/" + params;
}

// The base URL and the script name joined by one "/", ending in "/".
std::string JoinUrl(const std::string& base, const std::string& script) {
  if (base.empty() && script.empty()) return {};
  std::string url = base;
  if (!script.empty()) {
    if (!url.empty() && url.back() == '/' && script.front() == '/') url.pop_back();
    if (!url.empty() && url.back() != '/' && script.front() != '/') url += '/';
    url += script;
  }
  if (url.empty() || url.back() != '/') url += '/';
  return url;
}

// The service reads the files as strict UTF-8 and skips a file it cannot decode, so a
// message holding stray bytes (a legacy-encoded name, binary data) would never alert.
// Ill-formed parts become U+FFFD instead.
std::string AsWellFormedUtf8(std::string text) {
  if (IsValidUtf8(text)) return text;
  return Utf16ToUtf8(Utf8ToUtf16(text));
}

// Values come from exception messages and request data, which a stranger can choose. The
// service takes a label only at the start of a line, so every line a value brings along is
// indented to the value column: no value can start a line of its own and pass for a label.
void IndentContinuationLines(std::vector<std::string>& report) {
  static const std::string kIndent(kLabelWidth + 2, ' ');
  std::vector<std::string> result;
  result.reserve(report.size());
  for (const std::string& line : report) {
    size_t start = 0;
    for (bool first = true;; first = false) {
      const size_t end = line.find_first_of("\r\n", start);
      std::string part = line.substr(start, end == std::string::npos ? end : end - start);
      result.push_back(first ? std::move(part) : kIndent + part);
      if (end == std::string::npos) break;
      // CR LF is one line break; a lone CR or LF is one as well.
      start = end + ((line[end] == '\r' && end + 1 < line.size() && line[end + 1] == '\n') ? 2 : 1);
    }
  }
  report.swap(result);
}

}  // namespace

const std::string& TVelExceptionLogWorker::SeparatorLine() {
  static const std::string line(120, '-');
  return line;
}

std::string TVelExceptionLogWorker::FieldLine(const std::string& label, const std::string& value) {
  std::string line = label;
  if (line.size() < kLabelWidth) line.append(kLabelWidth - line.size(), ' ');
  line += ": ";
  line += value;
  return line;
}

std::string TVelExceptionLogWorker::JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

TVelExceptionLogWorker::TVelExceptionLogWorker(const TVelExceptionLogger& owner,
                                               const std::exception& e,
                                               const IVelHttpRequest* request,
                                               const void* exceptAddr, bool takeStackTrace)
    : FException(e), FRequest(request), FOwner(owner), FExceptAddr(exceptAddr) {
  if (!takeStackTrace) return;
  try {
    FStackTrace = detail::CaptureStackTrace();
  } catch (const std::exception& err) {
    FStackTrace = {"Error getting StackTrace: " + std::string(err.what())};
  }
}

void TVelExceptionLogWorker::AddField(const std::string& label, const std::string& value) {
  FReport.push_back(FieldLine(label, value));
}

void TVelExceptionLogWorker::CollectDetails(bool showSecurityDetails) {
  FShowSecurityDetails = showSecurityDetails;
  FFacts = {};
  FAddr.clear();
  FAppID.clear();
  FRunParams.clear();
  FExceptionSpecific.clear();
  try {
    if (FOwner.FHost != nullptr) {
      FFacts = FOwner.FHost->DescribeException(FException, FRequest);
      FAddr = JoinUrl(FOwner.FHost->BaseURL(), FRequest ? FRequest->ScriptName() : std::string());
    } else if (FRequest != nullptr) {
      FAddr = JoinUrl({}, FRequest->ScriptName());
    }
    FAppID = FFacts.SessionID;
    FExceptionSpecific = FFacts.ExceptionSpecific;
    // Any error met while a request was being handled may go away with a fresh session.
    if (FExceptionSpecific.empty() && FRequest != nullptr) FExceptionSpecific = kRestartHint;
    FRunParams = WithLeadingSlash(FFacts.RunParams);
    FContent = (FFacts.IsSecurityException && !FShowSecurityDetails) ? kDetailsDisabled
                                                                     : FException.what();
  } catch (const std::exception&) {
    FContent = FException.what();
  }
}

void TVelExceptionLogWorker::AddExceptionInfo() {
  try {
    const bool messageShown = !(FFacts.IsSecurityException && !FShowSecurityDetails);
    AddField("Exception message", FContent);
    if (!FExceptionSpecific.empty() && messageShown) FReport.push_back(FExceptionSpecific);
    AddField("Exception class", detail::ReadableTypeName(typeid(FException)));
    if (!FAppID.empty()) AddField("Session ID", FAppID);
    if (!FRunParams.empty()) AddField("Runtime parameters", FRunParams);
    if (FFacts.IsFrameworkException && !FFacts.Details.empty() &&
        (!FFacts.IsSecurityException || FShowSecurityDetails)) {
      AddField("Exception details", FFacts.Details);
    }
    if (FExceptAddr != nullptr) AddField("Exception address", HexAddress(FExceptAddr));
    AddField("Exception Time", FormatDateTime(FOwner.Now()));
  } catch (const std::exception& err) {
    FReport.push_back("Error getting Exception information: " + std::string(err.what()));
  }
}

void TVelExceptionLogWorker::AddAppInfo() {
  try {
    const auto now = FOwner.Now();
    AddField("Application Name", TVelAppInfo::GetAppFileName());
    std::string version = FOwner.FAppVersion;
    if (version.empty() && FOwner.FHost != nullptr) version = FOwner.FHost->ApplicationVersion();
    AddField("Application Version", version);
    AddField("Started at", FormatDateTime(FOwner.FStartTime));
    AddField("Running for", TVelExceptionLogger::FormatRunningTime(FOwner.FStartTime, now));
    AddField("Computer Name", FOwner.FComputerName);
    AddField("Compiler Version", CompilerVersion());
  } catch (const std::exception& err) {
    FReport.push_back("Error getting Application information: " + std::string(err.what()));
  }
}

void TVelExceptionLogWorker::AddFormList(const std::string& label,
                                         const std::vector<TVelFormRef>& forms) {
  std::string first = label;
  if (first.size() < kLabelWidth) first.append(kLabelWidth - first.size(), ' ');
  first += ":";
  for (size_t i = 0; i < forms.size(); ++i) {
    const std::string entry = "[" + std::to_string(i + 1) + "] " + FormText(forms[i]);
    if (i == 0) {
      first += " " + entry;
      FReport.push_back(first);
    } else {
      FReport.push_back(std::string(kLabelWidth + 2, ' ') + entry);
    }
  }
  if (forms.empty()) FReport.push_back(first);
}

void TVelExceptionLogWorker::AddVelAppInfo() {
  try {
    TVelFrameworkInfo info;
    if (FOwner.FHost != nullptr) FOwner.FHost->GetFrameworkInfo(info, FRequest);
    if (info.VelmoraVersion) AddField("Velmora Version", *info.VelmoraVersion);
    if (info.MultiSession) AddField("Multi-session", BoolText(*info.MultiSession));
    if (info.ContentPath) AddField("Content Path", *info.ContentPath);
    if (info.SessionCount) AddField("Session count", std::to_string(*info.SessionCount));
    AddField("Current Thread ID", std::to_string(detail::CurrentThreadId()));
    if (info.ApplicationPath) AddField("Application Path", *info.ApplicationPath);
    if (info.ActiveForm) AddField("Active Form", FormText(*info.ActiveForm));
    if (info.ActiveFormList) AddFormList("Active Form list", *info.ActiveFormList);
    if (info.FormList) AddFormList("Form list", *info.FormList);
    if (info.BrowserName) AddField("Browser Name", *info.BrowserName);
    if (info.BrowserUserAgent) AddField("Browser UserAgent", *info.BrowserUserAgent);
    if (info.SessionID) AddField("Session ID", *info.SessionID);
    if (info.LastAccess) AddField("Last Access", FormatDateTime(*info.LastAccess));
    if (info.Callback) {
      AddField("Callback", BoolText(*info.Callback));
      if (*info.Callback && info.CallbackName) AddField("Callback name", *info.CallbackName);
    }
    if (info.RuntimeParameters) AddField("Runtime parameters", *info.RuntimeParameters);
  } catch (const std::exception& err) {
    FReport.push_back("Error getting Velmora information: " + std::string(err.what()));
  }
}

void TVelExceptionLogWorker::AddRequestInfo() {
  try {
    if (FFacts.IsSessionException && !FFacts.SessionID.empty())
      AddField("Session ID", FFacts.SessionID);
    if (FRequest != nullptr) {
      const std::string forwarded = FRequest->ForwardedFor();
      AddField("Client IP address", forwarded.empty() ? FRequest->RemoteAddr() : forwarded);
      AddField("Request PathInfo", FRequest->PathInfo());
      AddField("Request Method", FRequest->Method());
      AddField("Request User Agent", FRequest->UserAgent());
      AddField("Cookies Count", std::to_string(FRequest->CookiesCount()));
    }
  } catch (const std::exception& err) {
    FReport.push_back("Error getting Request information: " + std::string(err.what()));
  }
}

void TVelExceptionLogWorker::AddStackTrace() {
  try {
    if (FStackTrace.empty()) {
      FReport.push_back("[Stack trace is empty]");
    } else {
      FReport.insert(FReport.end(), FStackTrace.begin(), FStackTrace.end());
    }
  } catch (const std::exception& err) {
    FReport.push_back("Error getting StackTrace: " + std::string(err.what()));
  }
}

void TVelExceptionLogWorker::AddSections(TReportInfos infos) {
  // The order of the file, which is not the order of the ordinals.
  struct Section {
    TReportInfo info;
    void (TVelExceptionLogWorker::*add)();
  };
  static constexpr Section kSections[] = {
      {riExceptionInfo, &TVelExceptionLogWorker::AddExceptionInfo},
      {riAppInfo, &TVelExceptionLogWorker::AddAppInfo},
      {riVelAppInfo, &TVelExceptionLogWorker::AddVelAppInfo},
      {riRequestInfo, &TVelExceptionLogWorker::AddRequestInfo},
      {riStackTrace, &TVelExceptionLogWorker::AddStackTrace},
  };
  for (const Section& s : kSections) {
    if (!infos.Contains(s.info)) continue;
    FReport.push_back(SeparatorLine());
    (this->*s.add)();
  }
}

void TVelExceptionLogWorker::BuildReport() {
  FReport.clear();
  CollectDetails(true);
  AddSections(FOwner.FReportInfos);
  FReport.push_back(SeparatorLine());
}

bool TVelExceptionLogWorker::WriteFile() {
  const std::string folder = FOwner.LogFolder();
  if (!detail::CreateFolders(folder)) return false;
  const uint64_t number = ++gFileCounter;
  const std::string name = folder + FOwner.LogBaseName() + "@" + FileTimestamp(FOwner.Now()) +
                           std::to_string(number) + ".Log";
  if (!detail::WriteWholeFile(name, AsWellFormedUtf8(JoinLines(FReport)))) return false;
  FWrittenFileName = name;
  return true;
}

bool TVelExceptionLogWorker::WriteReport() {
  IndentContinuationLines(FReport);
  if (FOwner.FHost != nullptr && FOwner.FHost->OnLogException(FReport)) return true;
  bool written = false;
  if (FOwner.FLogType == ltFile) {
    try {
      written = WriteFile();
    } catch (const std::exception&) {
      written = false;
    }
  }
  if (written) return true;
  try {
    std::string text;
    for (const std::string& line : FReport) {
      if (!text.empty()) text += '\n';
      text += line;
    }
    // A report the event log refused went to the last resort: not written.
    return LogToEventLog(AsWellFormedUtf8(std::move(text)));
  } catch (const std::exception&) {
    return false;
  }
}

bool TVelExceptionLogWorker::Log() {
  FWrittenFileName.clear();
  try {
    BuildReport();
  } catch (const std::exception&) {
    // A half-built report is still worth writing.
  }
  return WriteReport();
}

std::string TVelExceptionLogWorker::GetExceptionDetail() {
  FReport.clear();
  bool show = false;
  try {
    show = FOwner.FHost != nullptr && FOwner.FHost->ShowSecurityDetails();
  } catch (const std::exception&) {
    show = false;
  }
  CollectDetails(show);
  AddSections(FOwner.FHtmlReportInfos);
  IndentContinuationLines(FReport);
  FDetail = JoinLines(FReport);
  return FDetail;
}

TVelExceptionInfo TVelExceptionLogWorker::GetErrorInfo() {
  TVelExceptionInfo info;
  info.Detail = GetExceptionDetail();
  info.Addr = FAddr;
  info.AppID = FAppID;
  info.Content = FContent;
  info.RunParams = FRunParams;
  info.ExceptionSpecific = FExceptionSpecific;
  return info;
}

}  // namespace vel
