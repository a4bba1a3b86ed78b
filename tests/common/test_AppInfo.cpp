#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "VelVersion.h"
#include "common/AppInfo.h"
#include "support/TestSupport.h"

using namespace vel;

// First in this file: the start-up values are worked out once, on first use.
TEST(AppInfo, TempPathIsTmpdirAtStartUpWithATrailingSlash) {
  const char* saved = std::getenv("TMPDIR");
  const std::string previous = saved != nullptr ? saved : "";
  std::string expected = previous.empty() ? "/tmp" : previous;
  if (expected.back() != '/') expected += '/';
  EXPECT_EQ(TVelAppInfo::GetTempPath(), expected);
  // Worked out at start-up: a later change of the environment does not move it.
  ::setenv("TMPDIR", "/var/tmp/elsewhere", 1);
  EXPECT_EQ(TVelAppInfo::GetTempPath(), expected);
  if (saved != nullptr)
    ::setenv("TMPDIR", previous.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
}

TEST(AppInfo, NamesAndPathsComeFromTheRunningExecutable) {
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(TVelAppInfo::GetAppFullFileName(), exe);
  EXPECT_EQ(TVelAppInfo::GetAppFileName(), "common_test_AppInfo");
  EXPECT_EQ(TVelAppInfo::GetAppName(), "common_test_AppInfo");
  const std::string path = TVelAppInfo::GetAppPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.back(), '/');
  EXPECT_EQ(path + TVelAppInfo::GetAppFileName(), exe);
  EXPECT_EQ(TVelAppInfo::GetAppLogFileName(), path + "common_test_AppInfo.log");
  EXPECT_EQ(TVelAppInfo::GetSystemPath().back(), '/');
  EXPECT_FALSE(TVelAppInfo::IsWin64());

  char host[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(TVelAppInfo::GetComputerName(), host);
}

TEST(AppInfo, CurrentPathIsAskedAtEachCall) {
  vel::test::TempDir dir;
  const auto before = std::filesystem::current_path();
  EXPECT_EQ(TVelAppInfo::GetCurrentPath(), before.string() + "/");
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(TVelAppInfo::GetCurrentPath(), std::filesystem::current_path().string() + "/");
  std::filesystem::current_path(before);
}

TEST(AppInfo, VersionBelongsToTheRunningExecutableOnly) {
  EXPECT_EQ(TVelAppInfo::GetAppVersion(), kVersion);
  EXPECT_EQ(TVelAppInfo::GetFileInfo(TVelAppInfo::GetAppFullFileName(), fiFileVersion),
            TVelAppInfo::GetAppVersion());
  EXPECT_EQ(TVelAppInfo::GetFileInfo(TVelAppInfo::GetAppFullFileName(), fiProductVersion),
            kVersion);
  EXPECT_EQ(TVelAppInfo::GetFileInfo(TVelAppInfo::GetAppFullFileName(), fiProductName), "");
  EXPECT_EQ(TVelAppInfo::GetFileInfo("/bin/sh", fiFileVersion), "");
  EXPECT_EQ(TVelAppInfo::GetFileInfo("/no/such/file", fiFileVersion), "");
  EXPECT_EQ(TVelAppInfo::GetFileInfo("", fiFileVersion), "");
}

TEST(AppInfo, MemoryFiguresFollowUse) {
  const TVelMemInfo before = TVelAppInfo::GetMemoryInfo();
  EXPECT_GT(before.WorkingSetSize, 0);
  EXPECT_GE(before.PeakWorkingSetSize, before.WorkingSetSize);
  EXPECT_GT(before.PagefileUsage, 0);
  EXPECT_GE(before.PeakPagefileUsage, before.PagefileUsage);
  EXPECT_EQ(before.WorkingSetSize % 1024, 0);  // kB turned into bytes

  constexpr std::size_t kBlock = 64u << 20;
  std::vector<char> block(kBlock);
  std::memset(block.data(), 1, block.size());  // touched, so resident
  const TVelMemInfo during = TVelAppInfo::GetMemoryInfo();
  EXPECT_GE(during.WorkingSetSize - before.WorkingSetSize, static_cast<std::int64_t>(kBlock / 2));
  EXPECT_GE(during.PagefileUsage - before.PagefileUsage, static_cast<std::int64_t>(kBlock / 2));
  EXPECT_GE(during.PeakWorkingSetSize, during.WorkingSetSize);
  EXPECT_EQ(block[kBlock - 1], 1);
}

TEST(AppInfo, HandleCountCountsOpenDescriptors) {
  const std::uint32_t before = TVelAppInfo::GetHandleCount();
  EXPECT_GE(before, 3u);  // at least the standard three
  std::vector<int> fds;
  for (int i = 0; i < 10; ++i) fds.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(TVelAppInfo::GetHandleCount(), before + 10);
  for (int fd : fds) ::close(fd);
  EXPECT_EQ(TVelAppInfo::GetHandleCount(), before);
}
