// The exception-log writer on Windows: the file the service reads, the throw site recorded
// through the wrapped __cxa_throw, and a stack trace from CaptureStackBackTrace.
#include <gtest/gtest.h>

#include "common/WinApi_win32.h"
// windows.h first
#include <dbghelp.h>

#include <regex>
#include <stdexcept>

#include "exceptionlog/ExceptionLogTestUtil.h"
#include "exceptionlog/ExceptionLogger.h"
#include "exceptionlog/SymbolMap_win32.h"

namespace shop {
class EOrderFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
}  // namespace shop

namespace vel {
namespace {

using test::CrLfLines;
using test::FilesIn;
using test::Separator;

std::string ValueOf(const std::vector<std::string>& lines, const std::string& label) {
  std::string prefix = label;
  prefix.resize(19, ' ');
  prefix += ": ";
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) return l.substr(prefix.size());
  return "<missing " + label + ">";
}

[[gnu::noinline]] void ThrowOrderFailed() {
  throw shop::EOrderFailed("Bestellung fehlgeschlagen: Größe");
}

bool IsInside(uintptr_t address, void (*function)()) {
  const auto start = reinterpret_cast<uintptr_t>(function);
  return address > start && address < start + 512;
}

TEST(ExceptionLogFileWin32, FileInAUtf8FolderWithThrowSiteAndStack) {
  test::TempDir dir;
  // A folder name outside the ANSI code page reaches the file system intact.
  const std::string folder = dir.path().string() + "\\Caf\xC3\xA9 \xE2\x82\xAC";
  TVelExceptionLogger logger;
  logger.SetFilePath(folder);
  logger.SetEnabled(true);
  try {
    ThrowOrderFailed();
  } catch (const std::exception& e) {
    ASSERT_TRUE(logger.LogException(e));
  }
  const auto files = FilesIn(std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(folder.data()), folder.size())));
  ASSERT_EQ(files.size(), 1u) << folder;
  const std::string text = test::ReadFile(files[0]);
  const auto lines = CrLfLines(text);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], Separator());
  EXPECT_EQ(lines.back(), Separator());
  for (const auto& l : lines) EXPECT_EQ(l.find("<no CR LF>"), std::string::npos) << l;
  EXPECT_EQ(ValueOf(lines, "Exception message"), "Bestellung fehlgeschlagen: Größe");
  EXPECT_EQ(ValueOf(lines, "Exception class"), "shop::EOrderFailed");
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "Current Thread ID"), std::regex(R"([1-9]\d*)")));

  // The address is where the exception was thrown, not where it was caught.
  const std::string address = ValueOf(lines, "Exception address");
  ASSERT_TRUE(std::regex_match(address, std::regex("[0-9A-F]{16}"))) << address;
  EXPECT_TRUE(IsInside(std::stoull(address, nullptr, 16), &ThrowOrderFailed)) << address;

  // The stack trace is the last section: each frame named by DbgHelp (with -gdwarf-4 under
  // Wine) or given as module + offset; the writer's own frames are left out.
  size_t last = text.rfind(Separator() + "\r\n", text.size() - Separator().size() - 3);
  ASSERT_NE(last, std::string::npos);
  const auto frames = CrLfLines(text.substr(last + Separator().size() + 2));
  ASSERT_GE(frames.size(), 3u);  // at least two frames and the closing separator
  const std::regex frame(R"(0x[0-9A-F]{16} (.+\.(exe|dll)\+0x[0-9A-F]+|\S.*))");
  for (size_t i = 0; i + 1 < frames.size(); ++i)
    EXPECT_TRUE(std::regex_match(frames[i], frame)) << frames[i];
  EXPECT_EQ(text.find("TVelExceptionLog"), std::string::npos) << text;
  EXPECT_NE(text.find("FileInAUtf8FolderWithThrowSiteAndStack"), std::string::npos) << text;
}

// Frames are named from the symbol map the build wrote beside the program, not by DbgHelp
// (Windows' reads no DWARF; under Wine a DbgHelp name would carry " at file:line"), also when
// the host initialised DbgHelp on the process first. The trace starts at the writer's caller:
// its own three frames are skipped by count.
TEST(ExceptionLogFileWin32, FramesNamedFromTheSymbolMapAfterTheHostsDbgHelp) {
  ASSERT_TRUE(::SymInitialize(::GetCurrentProcess(), nullptr, TRUE));  // the host's session
  EXPECT_EQ(
      exceptionlog_detail::SymbolMapName(reinterpret_cast<const char*>(&ThrowOrderFailed) + 1),
      "vel::(anonymous namespace)::ThrowOrderFailed()");
  TVelExceptionLogger logger;
  std::string detail;
  try {
    ThrowOrderFailed();
  } catch (const std::exception& e) {
    detail = logger.GetExceptionDetail(e);
  }
  ::SymCleanup(::GetCurrentProcess());
  const size_t stack = detail.rfind(Separator() + "\r\n");
  ASSERT_NE(stack, std::string::npos) << detail;
  const auto frames = CrLfLines(detail.substr(stack + Separator().size() + 2));
  ASSERT_GE(frames.size(), 2u) << detail;
  const std::regex named(R"(0x[0-9A-F]{16} vel::\(anonymous namespace\)::ExceptionLogFileWin32_)"
                         R"(FramesNamedFromTheSymbolMapAfterTheHostsDbgHelp_Test::TestBody\(\) )"
                         R"(\(exceptionlog_test_ExceptionLogFile_win32\.exe\+0x[0-9A-F]+\))");
  EXPECT_TRUE(std::regex_match(frames[0], named)) << frames[0];
}

}  // namespace
}  // namespace vel
