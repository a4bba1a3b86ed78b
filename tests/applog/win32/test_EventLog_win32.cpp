// The diagnostic log's fallback into the Windows event log. Wine's event log stores nothing;
// with WINEDEBUG=err+eventlog it prints each reported text on standard error, which the CTest
// entry applog.EventLogFallbackSeenByWine checks (tests/CMakeLists.txt).

#include <gtest/gtest.h>

#include <filesystem>

#include "applog/AppLog.h"
#include "common/WinApi_win32.h"
#include "support/TestSupport.h"

TEST(EventLogWin32, UnwritableLogSendsTheWholeLineToTheEventLog) {
  vel::test::TempDir dir;
  const std::string folder = dir.path().string() + "\\missing\\";
  vel::SetLogFolder(folder);
  vel::AppendAppLog("Error: event-log fallback caf\xC3\xA9");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

TEST(EventLogWin32, Utf8LogFolderIsCreatedUnderItsOwnName) {
  vel::test::TempDir dir;
  const std::wstring wideFolder = dir.path().wstring() + L"\\\u65E5\u5FD7";
  ASSERT_TRUE(::CreateDirectoryW(wideFolder.c_str(), nullptr));
  vel::SetLogFolder(vel::win::Narrow(wideFolder) + "\\");
  vel::AppendAppLog("Error: in a folder named in Chinese");
  const std::filesystem::path file =
      std::filesystem::path(wideFolder) / (vel::ApplicationName() + ".log");
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_GT(std::filesystem::file_size(file), 0u);
}
