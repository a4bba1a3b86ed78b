#pragma once

// The operating-system side of the diagnostic log (AppLog_linux.cpp). Internal to the log.

#include <ctime>
#include <string>

namespace vel::applog_detail {

// Local date and time of now, split as the log line needs it.
struct LocalNow {
  std::tm tm;
  int millisecond;
};
LocalNow GetLocalNow();

// Appends the bytes to the file, creating it with mode 0640 when it is missing; one open and
// one close. False on any failure.
bool AppendBytesToFile(const std::string& fileName, const std::string& bytes);

// One LOG_ERR entry in the system log under the given ident.
void WriteSystemLog(const std::string& ident, const std::string& text);

}  // namespace vel::applog_detail
