#pragma once

// Reading an exception report by its structure. Writers of the field do not indent the further
// lines of a value, so a message taken from a request can hold lines that begin with a label
// ("Exception class : EIgnored", "Application Name : x"). The writer puts every label of the
// exception block after the message and the application block after the block's closing
// separator line, so the real lines are the last ones before the application block, and the
// application block is the last one that follows a separator line.

#include <cstddef>
#include <string>
#include <string_view>

namespace vel {

// Offset of the line that begins the application block: the last line beginning with the
// "Application Name" label right after a separator line; without one, the last line beginning
// with that label. npos when there is none.
std::size_t ApplicationBlockStart(std::string_view report);

// The value of the "Exception class" line: the last line with that label and a ":" before the
// application block (anywhere when there is none), trimmed; "" when there is none.
std::string ReportExceptionClass(std::string_view report);

}  // namespace vel
