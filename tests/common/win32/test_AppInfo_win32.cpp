// What the process knows about itself, from the Windows calls (the Linux means are tested in
// ../test_AppInfo.cpp).

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "VelVersion.h"
#include "common/AppInfo.h"
#include "common/WinApi_win32.h"
#include "support/TestSupport.h"

using namespace vel;

namespace {
std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
}  // namespace

TEST(AppInfoWin32, NamesPathsAndMachineComeFromTheSystem) {
  const std::string exe = vel::test::ExecutablePath().string();
  EXPECT_EQ(TVelAppInfo::GetAppFullFileName(), exe);
  EXPECT_EQ(TVelAppInfo::GetAppFileName(), "common_test_AppInfo_win32.exe");
  EXPECT_EQ(TVelAppInfo::GetAppName(), "common_test_AppInfo_win32");
  const std::string path = TVelAppInfo::GetAppPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.back(), '\\');
  EXPECT_EQ(path + TVelAppInfo::GetAppFileName(), exe);
  EXPECT_EQ(TVelAppInfo::GetAppLogFileName(), path + "common_test_AppInfo_win32.log");
  EXPECT_EQ(Lower(TVelAppInfo::GetSystemPath()).substr(1), ":\\windows\\system32\\");
  EXPECT_EQ(TVelAppInfo::GetTempPath().back(), '\\');
  EXPECT_FALSE(TVelAppInfo::IsWin64());  // a 64-bit process runs under no emulation layer

  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(::GetComputerNameW(name, &size));
  EXPECT_EQ(TVelAppInfo::GetComputerName(), win::Narrow(std::wstring_view(name, size)));
  EXPECT_FALSE(TVelAppInfo::GetComputerName().empty());
}

TEST(AppInfoWin32, VersionComesFromTheEmbeddedResource) {
  const std::string exe = TVelAppInfo::GetAppFullFileName();
  EXPECT_EQ(TVelAppInfo::GetAppVersion(), kVersion);
  EXPECT_EQ(TVelAppInfo::GetFileInfo(exe, fiFileVersion), kVersion);
  EXPECT_EQ(TVelAppInfo::GetFileInfo(exe, fiProductVersion), kVersion);
  EXPECT_EQ(TVelAppInfo::GetFileInfo(exe, fiCompanyName), "VelServerMonitor developers");
  EXPECT_EQ(TVelAppInfo::GetFileInfo(exe, fiComments), "");  // not in the resource

  vel::test::TempDir dir;
  const std::string plain = dir.file("plain.txt");
  vel::test::WriteFile(plain, "no resource here");
  EXPECT_EQ(TVelAppInfo::GetFileInfo(plain, fiFileVersion), "");
  EXPECT_EQ(TVelAppInfo::GetFileInfo(dir.file("missing.exe"), fiFileVersion), "");
}

TEST(AppInfoWin32, MemoryFiguresAreNonZeroAndFollowUse) {
  const TVelMemInfo before = TVelAppInfo::GetMemoryInfo();
  EXPECT_GT(before.WorkingSetSize, 0);
  EXPECT_GE(before.PeakWorkingSetSize, before.WorkingSetSize);
  EXPECT_GT(before.PagefileUsage, 0);
  EXPECT_GE(before.PeakPagefileUsage, before.PagefileUsage);

  constexpr std::size_t kBlock = 64u << 20;
  std::vector<char> block(kBlock);
  std::memset(block.data(), 1, block.size());  // touched, so resident
  const TVelMemInfo during = TVelAppInfo::GetMemoryInfo();
  EXPECT_GE(during.WorkingSetSize - before.WorkingSetSize, static_cast<std::int64_t>(kBlock / 2));
  EXPECT_GE(during.PeakWorkingSetSize, during.WorkingSetSize);
  EXPECT_EQ(block[kBlock - 1], 1);
}

TEST(AppInfoWin32, HandleCountIsTheSystemsAndFollowsOpenHandles) {
  DWORD system = 0;
  const bool known = ::GetProcessHandleCount(::GetCurrentProcess(), &system) != 0;
  const std::uint32_t before = TVelAppInfo::GetHandleCount();
  EXPECT_EQ(before, known ? system : 0u);
  // Wine 8 answers 0 for every process; the rest needs a system that counts.
  if (before == 0) GTEST_SKIP() << "the system reports no handle count";
  std::vector<HANDLE> events;
  for (int i = 0; i < 10; ++i) events.push_back(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(TVelAppInfo::GetHandleCount(), before + 10);
  for (HANDLE h : events) ::CloseHandle(h);
  EXPECT_EQ(TVelAppInfo::GetHandleCount(), before);
}

TEST(AppInfoWin32, CurrentFolderPastTheOldPathLimitIsNamedWhole) {
  test::TempDir dir;
  std::filesystem::path deep = dir.path();
  while (deep.wstring().size() <= MAX_PATH) deep /= std::string(40, 'd');
  std::filesystem::create_directories(deep);
  const std::wstring before = win::GrownText(
      [](wchar_t* buffer, DWORD size) { return ::GetCurrentDirectoryW(size, buffer); });
  if (!::SetCurrentDirectoryW(deep.wstring().c_str()))
    GTEST_SKIP() << "the system refuses a current folder this long (error " << ::GetLastError()
                 << "): long paths are not enabled here";
  const std::string current = TVelAppInfo::GetCurrentPath();
  ::SetCurrentDirectoryW(before.c_str());
  EXPECT_EQ(current, deep.string() + "\\");
}
