// The log file as the monitor service reads it: folder, name, encoding, layout.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "ExceptionLogTestUtil.h"
#include "applog/AppLog.h"
#include "common/AppInfo.h"
#include "common/Utf.h"
#include "exceptionlog/ExceptionLogPlatform.h"
#include "exceptionlog/ExceptionLogger.h"

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

// Captures what would go to the system log for the life of the object.
class EventLogCapture {
 public:
  EventLogCapture() {
    SetEventLogSink([this](const std::string& text) {
      std::lock_guard lock(mutex_);
      entries_.push_back(text);
    });
  }
  ~EventLogCapture() { SetEventLogSink({}); }
  std::vector<std::string> Entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

class ExceptionLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    logger.SetFilePath(dir.path().string());
    logger.SetEnabled(true);
  }
  std::string OnlyFileText() {
    auto files = FilesIn(dir.path());
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::string() : test::ReadFile(files[0]);
  }

  test::TempDir dir;
  TVelExceptionLogger logger;
};

std::string Field(const std::string& label, const std::string& value) {
  std::string line = label;
  line.resize(19, ' ');
  return line + ": " + value;
}

std::string ValueOf(const std::vector<std::string>& lines, const std::string& label) {
  std::string prefix = label;
  prefix.resize(19, ' ');
  prefix += ": ";
  for (const auto& l : lines) {
    if (l.rfind(prefix, 0) == 0) return l.substr(prefix.size());
  }
  return "<missing " + label + ">";
}

TEST_F(ExceptionLogFile, NameLayoutAndKeysTheServiceLooksFor) {
  logger.SetFilePath("  " + dir.path().string() + "  ");  // surrounding spaces are dropped
  ASSERT_TRUE(logger.LogException(std::runtime_error("Bestellung fehlgeschlagen: Größe")));

  auto files = FilesIn(dir.path());
  ASSERT_EQ(files.size(), 1u);
  const std::string name = files[0].filename().string();
  const std::regex pattern("^" + TVelAppInfo::GetAppName() +
                           R"(@\d{4}-\d\d-\d\d \d\d-\d\d-\d\d\.\d{3}\d+\.Log$)");
  EXPECT_TRUE(std::regex_match(name, pattern)) << name;

  struct stat st {};
  ASSERT_EQ(::stat(files[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  const std::string text = test::ReadFile(files[0]);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 122), Separator() + "\r\n");
  const auto lines = CrLfLines(text);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], Separator());
  // UTF-8 bytes as given, no byte-order mark.
  EXPECT_EQ(lines[1], Field("Exception message", "Bestellung fehlgeschlagen: Größe"));
  for (const auto& l : lines) EXPECT_EQ(l.find("<no CR LF>"), std::string::npos) << l;

  EXPECT_EQ(ValueOf(lines, "Exception class"), "std::runtime_error");
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "Exception address"), std::regex("[0-9A-F]{16}")))
      << ValueOf(lines, "Exception address");
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "Exception Time"),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})")));
  EXPECT_EQ(ValueOf(lines, "Application Name"), TVelAppInfo::GetAppFileName());
  EXPECT_EQ(ValueOf(lines, "Computer Name"), TVelAppInfo::GetComputerName());
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "Compiler Version"), std::regex(R"(\d+)")));
  EXPECT_TRUE(std::regex_match(ValueOf(lines, "Current Thread ID"), std::regex(R"([1-9]\d*)")));

  // Sections in file order, each after a separator, and nothing of a request without one.
  std::vector<size_t> separators;
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == Separator()) separators.push_back(i);
  ASSERT_EQ(separators.size(), 6u);  // five sections and the closing one
  EXPECT_EQ(lines[separators[1] + 1].rfind("Application Name", 0), 0u);
  // Without a host, the framework section holds the thread alone.
  EXPECT_EQ(separators[3] - separators[2], 2u);
  EXPECT_EQ(lines[separators[2] + 1].rfind("Current Thread ID", 0), 0u);
  // No request: an empty request section, then the stack trace.
  EXPECT_EQ(separators[4] - separators[3], 1u);
  EXPECT_GT(separators[5] - separators[4], 1u);
  EXPECT_EQ(text.find("Client IP address"), std::string::npos);
}

TEST_F(ExceptionLogFile, StrayBytesBecomeReplacementCharactersSoTheFileStaysUtf8) {
  logger.SetReportInfos({riExceptionInfo});
  ASSERT_TRUE(logger.LogException(std::runtime_error("caf\xE9 \xC3\xA9 end")));
  const std::string text = OnlyFileText();
  EXPECT_TRUE(IsValidUtf8(text));
  EXPECT_EQ(CrLfLines(text)[1], Field("Exception message", "caf\xEF\xBF\xBD \xC3\xA9 end"));
}

TEST_F(ExceptionLogFile, EmptySectionsGiveOnlyTheClosingSeparator) {
  logger.SetReportInfos({});
  ASSERT_TRUE(logger.LogException(std::runtime_error("x")));
  EXPECT_EQ(OnlyFileText(), Separator() + "\r\n");
}

TEST_F(ExceptionLogFile, DisabledWritesNothing) {
  EventLogCapture events;
  logger.SetEnabled(false);
  EXPECT_FALSE(logger.LogException(std::runtime_error("x")));
  EXPECT_TRUE(FilesIn(dir.path()).empty());
  EXPECT_TRUE(events.Entries().empty());
}

TEST_F(ExceptionLogFile, FilesOfOneMillisecondDifferOnlyInTheCounter) {
  // 8 December 2026, 10:15:30.123 local time, for every error.
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 8;
  tm.tm_hour = 10;
  tm.tm_min = 15;
  tm.tm_sec = 30;
  tm.tm_isdst = -1;
  const auto fixed =
      TVelExceptionLogger::TClock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(123);
  logger.SetClock([fixed] { return fixed; });
  logger.SetFileName("Shop");

  ASSERT_TRUE(logger.LogException(std::runtime_error("first")));
  ASSERT_TRUE(logger.LogException(std::runtime_error("second")));
  const auto files = FilesIn(dir.path());
  ASSERT_EQ(files.size(), 2u);
  const std::regex pattern(R"(^Shop@2026-12-08 10-15-30\.123(\d+)\.Log$)");
  std::smatch a, b;
  const std::string na = files[0].filename().string(), nb = files[1].filename().string();
  ASSERT_TRUE(std::regex_match(na, a, pattern)) << na;
  ASSERT_TRUE(std::regex_match(nb, b, pattern)) << nb;
  const auto ca = std::stoull(a[1].str()), cb = std::stoull(b[1].str());
  EXPECT_EQ(std::max(ca, cb) - std::min(ca, cb), 1u);
  // The second file holds the second error: nothing was replaced.
  const std::string later = ca > cb ? na : nb;
  EXPECT_EQ(CrLfLines(test::ReadFile(dir.path() / later))[1], Field("Exception message", "second"));
  EXPECT_EQ(ValueOf(CrLfLines(test::ReadFile(dir.path() / later)), "Exception Time"),
            "2026-12-08 10:15:30.123");
}

TEST_F(ExceptionLogFile, ConcurrentErrorsEachGetAFileOfTheirOwn) {
  logger.SetReportInfos({riExceptionInfo});
  constexpr int kThreads = 4, kEach = 10;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i)
          logger.LogException(
              std::runtime_error("t" + std::to_string(t) + "-" + std::to_string(i)));
      });
    }
  }
  auto files = FilesIn(dir.path());
  ASSERT_EQ(files.size(), static_cast<size_t>(kThreads * kEach));
  std::set<std::string> messages;
  for (const auto& f : files) messages.insert(CrLfLines(test::ReadFile(f)).at(1));
  EXPECT_EQ(messages.size(), static_cast<size_t>(kThreads * kEach));
}

TEST_F(ExceptionLogFile, IgnoreListMatchesTheExactTypeOnly) {
  logger.RegisterIgnoreException<std::runtime_error>();
  EXPECT_FALSE(logger.LogException(std::runtime_error("ignored")));
  EXPECT_TRUE(FilesIn(dir.path()).empty());

  ASSERT_TRUE(logger.LogException(shop::EOrderFailed("derived")));
  const auto lines = CrLfLines(OnlyFileText());
  EXPECT_EQ(ValueOf(lines, "Exception class"), "shop::EOrderFailed");

  // Seen through a base-class reference, the dynamic type still decides.
  logger.RegisterIgnoreException(std::type_index(typeid(shop::EOrderFailed)));
  const std::exception& asBase = shop::EOrderFailed("again");
  EXPECT_FALSE(logger.LogException(asBase));
  EXPECT_EQ(FilesIn(dir.path()).size(), 1u);
}

TEST_F(ExceptionLogFile, EventLogTypeWritesNoFileAndOneEntry) {
  EventLogCapture events;
  logger.SetLogType(ltEventLog);
  ASSERT_TRUE(logger.LogException(std::runtime_error("to the system log")));
  EXPECT_TRUE(FilesIn(dir.path()).empty());
  const auto entries = events.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].find(Field("Exception message", "to the system log")), std::string::npos);
  EXPECT_NE(entries[0].find("Exception address"), std::string::npos);
  EXPECT_NE(entries[0].find("Application Name"), std::string::npos);
  EXPECT_EQ(entries[0].rfind(Separator(), 0), 0u);
}

TEST_F(ExceptionLogFile, FolderThatCannotBeCreatedFallsBackToTheEventLog) {
  EventLogCapture events;
  test::WriteFile(dir.path() / "blocker", "a file, not a folder");
  logger.SetFilePath((dir.path() / "blocker" / "logs").string());
  ASSERT_TRUE(logger.LogException(std::runtime_error("nowhere to write")));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "blocker" / "logs"));
  const auto entries = events.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].find("nowhere to write"), std::string::npos);
}

TEST_F(ExceptionLogFile, MissingParentsAreCreatedAndBaseNameIsUsed) {
  logger.SetFilePath((dir.path() / "a" / "b").string() + "/");
  logger.SetFileName(" Shop ");
  ASSERT_TRUE(logger.LogException(std::runtime_error("x")));
  auto files = FilesIn(dir.path() / "a" / "b");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename().string().rfind("Shop@", 0), 0u);
}

TEST_F(ExceptionLogFile, RunningTimeOfTwentyFiveHours) {
  logger.SetStartTime(TVelExceptionLogger::TClock::now() - std::chrono::hours(25));
  ASSERT_TRUE(logger.LogException(std::runtime_error("x")));
  EXPECT_EQ(ValueOf(CrLfLines(OnlyFileText()), "Running for"), "1 day 1 hour");
}

TEST_F(ExceptionLogFile, StackTraceComesFromTheProvider) {
  logger.SetReportInfos({riStackTrace});
  ASSERT_TRUE(logger.LogException(std::runtime_error("x")));
  const std::string text = OnlyFileText();
  EXPECT_EQ(text.find("[Stack trace is empty]"), std::string::npos);
  // The innermost frame is the caller, not the writer.
  const auto lines = CrLfLines(text);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines[1].find("StackTraceComesFromTheProvider"), std::string::npos) << text;
  EXPECT_EQ(text.find("TVelExceptionLog"), std::string::npos);
}

TEST_F(ExceptionLogFile, GivenAddressIsWrittenInUpperCaseHex) {
  logger.SetReportInfos({riExceptionInfo});
  ASSERT_TRUE(logger.LogException(std::runtime_error("x"), nullptr,
                                  reinterpret_cast<const void*>(uintptr_t{0xABCDEF12})));
  EXPECT_EQ(ValueOf(CrLfLines(OnlyFileText()), "Exception address"), "00000000ABCDEF12");
}

[[gnu::noinline]] void ThrowOrderFailed() {
  throw shop::EOrderFailed("thrown here");
}

[[gnu::noinline]] bool LogWithoutThrowing(TVelExceptionLogger& logger) {
  return logger.LogException(std::runtime_error("never thrown"));
}

uintptr_t LoggedAddress(const std::filesystem::path& file) {
  const auto text = test::ReadFile(file);
  const auto pos = text.find("Exception address  : ");
  return pos == std::string::npos ? 0 : std::stoull(text.substr(pos + 21, 16), nullptr, 16);
}

bool IsInside(uintptr_t address, void (*function)()) {
  const auto start = reinterpret_cast<uintptr_t>(function);
  return address > start && address < start + 512;
}

TEST_F(ExceptionLogFile, AddressIsTheThrowSiteElseTheCatchSite) {
  logger.SetReportInfos({riExceptionInfo});
  try {
    ThrowOrderFailed();
  } catch (const std::exception& e) {
    // Other exceptions thrown and caught meanwhile do not hide the first one's site.
    try {
      throw std::logic_error("inner");
    } catch (const std::exception&) {
    }
    ASSERT_TRUE(logger.LogException(e));
  }
  auto files = FilesIn(dir.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(IsInside(LoggedAddress(files[0]), &ThrowOrderFailed))
      << std::hex << LoggedAddress(files[0]) << " vs "
      << reinterpret_cast<uintptr_t>(&ThrowOrderFailed);
  std::filesystem::remove(files[0]);

  ASSERT_TRUE(LogWithoutThrowing(logger));
  files = FilesIn(dir.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(IsInside(LoggedAddress(files[0]), reinterpret_cast<void (*)()>(&LogWithoutThrowing)))
      << std::hex << LoggedAddress(files[0]);
}

TEST(ExceptionLogRunningTime, UnitsPluralsAndLeadingSpace) {
  using namespace std::chrono;
  const TVelExceptionLogger::TClock::time_point start{};
  auto run = [&](auto d) { return TVelExceptionLogger::FormatRunningTime(start, start + d); };
  EXPECT_EQ(run(hours(25)), "1 day 1 hour");
  EXPECT_EQ(run(hours(27) + seconds(5)), "1 day 3 hours 5 seconds");
  EXPECT_EQ(run(hours(2) + minutes(10)), " 2 hours 10 minutes");
  EXPECT_EQ(run(hours(48) + minutes(1) + seconds(1)), "2 days 1 minute 1 second");
  EXPECT_EQ(run(hours(24)), "1 day");
  EXPECT_EQ(run(milliseconds(999)), "");
  EXPECT_EQ(run(-hours(1)), "");
}

TEST(ExceptionLogTimeFormat, SeparatorComesFromTheLocalesTimeFormat) {
  using exceptionlog_detail::TimeSeparatorOf;
  EXPECT_EQ(TimeSeparatorOf("%H:%M:%S"), ":");
  EXPECT_EQ(TimeSeparatorOf("%H.%M.%S"), ".");
  EXPECT_EQ(TimeSeparatorOf("%OH.%OM.%OS"), ".");
  EXPECT_EQ(TimeSeparatorOf("%p %I.%M.%S"), ".");  // the hour decides, not the first conversion
  EXPECT_EQ(TimeSeparatorOf("%T"), ":");
  EXPECT_EQ(TimeSeparatorOf("%H\xEC\x8B\x9C %M"), ":");  // a word after the hour
  EXPECT_EQ(TimeSeparatorOf(""), ":");
}

TEST(ExceptionLogSettings, DefaultsAndAssign) {
  TVelExceptionLogger a;
  EXPECT_FALSE(a.Enabled());
  EXPECT_EQ(a.LogType(), ltFile);
  EXPECT_EQ(a.ReportInfos(), TReportInfos::All());
  EXPECT_EQ(a.HtmlReportInfos(), (TReportInfos{riExceptionInfo, riStackTrace, riRequestInfo}));
  EXPECT_EQ(a.PurgeAfterDays(), 0);
  EXPECT_FALSE(a.IsReportInfosStored());
  EXPECT_EQ(a.LogFolder(), TVelAppInfo::GetAppPath() + "ErrorLog/");
  EXPECT_EQ(a.LogBaseName(), TVelAppInfo::GetAppName());

  TVelExceptionLogger b;
  b.SetFilePath("/var/log/shop");
  b.SetFileName("Shop");
  b.SetReportInfos({riAppInfo});
  b.SetLogType(ltEventLog);
  b.SetPurgeAfterDays(3);
  b.SetHtmlReportInfos({riAppInfo});
  a.Assign(b);
  EXPECT_EQ(a.FilePath(), "/var/log/shop");
  EXPECT_EQ(a.LogFolder(), "/var/log/shop/");
  EXPECT_EQ(a.FileName(), "Shop");
  EXPECT_EQ(a.ReportInfos(), TReportInfos{riAppInfo});
  EXPECT_TRUE(a.IsReportInfosStored());
  EXPECT_EQ(a.LogType(), ltEventLog);
  EXPECT_FALSE(a.Enabled());
  EXPECT_EQ(a.PurgeAfterDays(), 0);  // not part of the copy
  EXPECT_EQ(a.HtmlReportInfos(), TVelExceptionLogger::DefaultHtmlReportInfos());
}

}  // namespace
}  // namespace vel
