// Purging old log files, and the folders a purge must never touch.

#include <gtest/gtest.h>

#include "ExceptionLogTestUtil.h"
#include "applog/AppLog.h"
#include "common/Exception.h"
#include "exceptionlog/ExceptionLogger.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

void Age(const fs::path& p, std::chrono::hours age) {
  fs::last_write_time(p, fs::file_time_type::clock::now() - age);
}

std::string PurgeMessage(TVelExceptionLogger& logger) {
  try {
    logger.PurgeFiles();
  } catch (const Exception& e) {
    return e.what();
  }
  return "<no exception>";
}

TEST(ExceptionLogPurge, RefusesDangerousFolders) {
  TVelExceptionLogger logger;
  logger.SetPurgeAfterDays(7);
  for (const std::string folder : {"/", ".", "..", "//", "./", "../", "/..", "/tmp/..", "\\"}) {
    SCOPED_TRACE(folder);
    logger.SetFilePath(folder);
    EXPECT_EQ(PurgeMessage(logger),
              "Assertion failed: TVelExceptionLogger.PurgeFiles attempts to delete \"" +
                  logger.LogFolder() + "\"");
  }
  // A link to the root is the root.
  test::TempDir dir;
  fs::create_directory_symlink("/", dir.path() / "root");
  logger.SetFilePath((dir.path() / "root").string());
  EXPECT_NE(PurgeMessage(logger).find("attempts to delete"), std::string::npos);

  // Nothing is purged, and so nothing refused, while PurgeAfterDays is 0 or less.
  logger.SetFilePath("/");
  logger.SetPurgeAfterDays(0);
  EXPECT_NO_THROW(logger.PurgeFiles());
  logger.SetPurgeAfterDays(-1);
  EXPECT_NO_THROW(logger.PurgeFiles());
}

TEST(ExceptionLogPurge, DeletesOnlyOldFilesOfThisApplication) {
  test::TempDir dir;
  const fs::path d = dir.path();
  struct Entry {
    std::string name;
    int ageDays;
    bool kept;
  };
  const std::vector<Entry> entries = {
      {"Shop@2020-01-01 10-00-00.0001.Log", 10, false},
      {"shop@2020-01-01 10-00-00.0002.LOG", 8, false},  // letter case ignored
      {"Shop.log", 30, false},
      {"Shop@new.Log", 6, true},
      {"Cart@2020-01-01 10-00-00.0001.Log", 10, true},  // another application
      {"Shop@2020-01-01.txt", 10, true},
      {"Shop@2020-01-01.Log.bak", 10, true},
  };
  for (const auto& e : entries) {
    test::WriteFile(d / e.name, "x");
    Age(d / e.name, std::chrono::hours(24 * e.ageDays));
  }
  fs::create_directory(d / "Shop-folder.log");  // directories are never deleted
  Age(d / "Shop-folder.log", std::chrono::hours(24 * 30));

  TVelExceptionLogger logger;
  logger.SetFilePath(d.string());
  logger.SetFileName("Shop");
  logger.SetPurgeAfterDays(7);
  logger.PurgeFiles();

  for (const auto& e : entries) EXPECT_EQ(fs::exists(d / e.name), e.kept) << e.name;
  EXPECT_TRUE(fs::is_directory(d / "Shop-folder.log"));
}

TEST(ExceptionLogPurge, DestructorPurgesWhenEnabledAndReportsARefusalInsteadOfThrowing) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "App@old.Log", "x");
  Age(dir.path() / "App@old.Log", std::chrono::hours(24 * 3));
  {
    TVelExceptionLogger logger;
    logger.SetFilePath(dir.path().string());
    logger.SetFileName("App");
    logger.SetPurgeAfterDays(2);
    // Disabled: left alone.
  }
  EXPECT_TRUE(fs::exists(dir.path() / "App@old.Log"));
  {
    TVelExceptionLogger logger;
    logger.SetFilePath(dir.path().string());
    logger.SetFileName("App");
    logger.SetPurgeAfterDays(2);
    logger.SetEnabled(true);
  }
  EXPECT_FALSE(fs::exists(dir.path() / "App@old.Log"));

  std::vector<std::string> events;
  SetEventLogSink([&](const std::string& text) { events.push_back(text); });
  {
    TVelExceptionLogger logger;
    logger.SetFilePath("/");
    logger.SetPurgeAfterDays(2);
    logger.SetEnabled(true);
  }
  SetEventLogSink({});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], "Assertion failed: TVelExceptionLogger.PurgeFiles attempts to delete \"/\"");
}

}  // namespace
}  // namespace vel
