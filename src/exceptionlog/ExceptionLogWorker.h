#pragma once

// One report about one error: collects what is known about the exception, its request and
// the process, and writes it. Made per logged error and dropped after use.

#include <exception>
#include <string>
#include <vector>

#include "exceptionlog/ExceptionLogger.h"

namespace vel {

class IVelExceptionLogWorker {
 public:
  virtual ~IVelExceptionLogWorker() = default;
  virtual bool Log() = 0;
  virtual std::string GetExceptionDetail() = 0;
  virtual TVelExceptionInfo GetErrorInfo() = 0;
};

class TVelExceptionLogWorker : public IVelExceptionLogWorker {
 public:
  // Takes the stack trace now, so that it shows where the error was caught (unless the
  // report will not show it: takeStackTrace false). exceptAddr is what the report shows as
  // "Exception address" (null: not known).
  // Kept out of line: its frame is one of the writer's that the trace leaves out.
  [[gnu::noinline]] TVelExceptionLogWorker(const TVelExceptionLogger& owner,
                                           const std::exception& e, const IVelHttpRequest* request,
                                           const void* exceptAddr, bool takeStackTrace = true);

  // Builds the report with every section of the owner's ReportInfos and writes it: to the
  // host's hook, else to a file or the system log. Never throws, except what the host's
  // hook throws.
  bool Log() override;
  std::string GetExceptionDetail() override;
  TVelExceptionInfo GetErrorInfo() override;

  // The report lines of the last Log or GetExceptionDetail.
  const std::vector<std::string>& Report() const { return FReport; }
  // The file the last Log wrote ("" when it wrote none).
  const std::string& WrittenFileName() const { return FWrittenFileName; }

  // The full text of the lines, each ended by CR LF.
  static std::string JoinLines(const std::vector<std::string>& lines);
  // label padded to 19 characters, ": " and the value.
  static std::string FieldLine(const std::string& label, const std::string& value);
  static const std::string& SeparatorLine();

 private:
  void CollectDetails(bool showSecurityDetails);
  void AddSections(TReportInfos infos);
  void BuildReport();
  bool WriteReport();
  bool WriteFile();

  void AddExceptionInfo();
  void AddAppInfo();
  void AddVelAppInfo();
  void AddRequestInfo();
  void AddStackTrace();

  void AddField(const std::string& label, const std::string& value);
  void AddFormList(const std::string& label, const std::vector<TVelFormRef>& forms);

  std::vector<std::string> FReport;
  std::vector<std::string> FStackTrace;
  const std::exception& FException;
  const IVelHttpRequest* FRequest;
  const TVelExceptionLogger& FOwner;
  const void* FExceptAddr;
  TVelExceptionFacts FFacts;
  std::string FAddr;
  std::string FAppID;
  std::string FContent;
  std::string FRunParams;
  std::string FExceptionSpecific;
  std::string FDetail;
  bool FShowSecurityDetails = true;
  std::string FWrittenFileName;
};

}  // namespace vel
