#include "monitor/ReportHeader.h"

#include <vector>

#include "common/Strings.h"

namespace vel {

namespace {

constexpr std::string_view kClassLabel = "Exception class";
constexpr std::string_view kApplicationLabel = "Application Name";
const std::string kSeparator(120, '-');

struct TLine {
  std::size_t Offset;
  std::string_view Text;  // without its line break
};

// CR LF is one line break; a lone CR or LF is one as well.
std::vector<TLine> SplitLines(std::string_view text) {
  std::vector<TLine> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back({pos, text.substr(pos, end - pos)});
    if (end >= text.size()) break;
    pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

// Index of the application block's first line in lines, or lines.size().
std::size_t ApplicationLine(const std::vector<TLine>& lines) {
  std::size_t any = lines.size();
  for (std::size_t i = lines.size(); i-- > 0;) {
    if (!lines[i].Text.starts_with(kApplicationLabel)) continue;
    if (i > 0 && lines[i - 1].Text == kSeparator) return i;
    if (any == lines.size()) any = i;
  }
  return any;
}

}  // namespace

std::size_t ApplicationBlockStart(std::string_view report) {
  const auto lines = SplitLines(report);
  const std::size_t i = ApplicationLine(lines);
  return i < lines.size() ? lines[i].Offset : std::string_view::npos;
}

std::string ReportExceptionClass(std::string_view report) {
  const auto lines = SplitLines(report);
  for (std::size_t i = ApplicationLine(lines); i-- > 0;) {
    const std::string_view line = lines[i].Text;
    const std::size_t colon = line.find(':');
    if (!line.starts_with(kClassLabel) || colon == std::string_view::npos) continue;
    std::string value(line.substr(colon + 1));
    TrimInPlace(value);
    return value;
  }
  return {};
}

}  // namespace vel
