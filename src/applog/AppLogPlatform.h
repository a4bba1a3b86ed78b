#pragma once

// The operating-system side of the diagnostic log (AppLog_linux.cpp). Internal to the log.

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

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

// One error entry in the system log under the given ident (a text too long for one entry
// goes into several, in order). False when the system refused it.
bool WriteSystemLog(const std::string& ident, const std::string& text);

// Where a text goes that the system log refused: standard error, and on Windows the
// debugger's output as well.
void WriteLastResort(const std::string& text);

// The most UTF-16 code units one event-log insertion string may hold (ReportEventW).
inline constexpr std::size_t kMaxEventLogText = 31839;

// text cut into pieces of at most limit code units, never inside a surrogate pair; when it
// takes more than one, each piece starts with "(part i of n) ".
std::vector<std::u16string> SplitForEventLog(std::u16string_view text, std::size_t limit);

}  // namespace vel::applog_detail
