#include "applog/AppLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "applog/AppLogPlatform.h"
#include "support/TestSupport.h"

namespace {

using vel::test::ReadFile;
using vel::test::TempDir;

// Bytes of a UTF-16LE file as UTF-16 code units.
std::u16string Units(const std::string& bytes) {
  std::u16string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return out;
}

// ASCII-only view of UTF-16 units (anything else becomes '?').
std::string Ascii(const std::u16string& u) {
  std::string s;
  for (char16_t c : u) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return s;
}

class AppLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedFolder_ = vel::LogFolder();
    vel::SetLogFolder(dir_.path().string() + "/");
    vel::SetEventLogSink([this](const std::string& t) {
      std::lock_guard lock(m_);
      events_.push_back(t);
    });
  }
  void TearDown() override {
    vel::SetEventLogSink(nullptr);
    vel::SetLogFolder(savedFolder_);
    vel::SetConsoleEcho(false);
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(m_);
    return events_;
  }
  std::string LogFile() const { return dir_.file(vel::ApplicationName() + ".log"); }

  TempDir dir_;
  std::string savedFolder_;
  std::mutex m_;
  std::vector<std::string> events_;
};

TEST_F(AppLogTest, ApplicationNameAndDefaultFolderComeFromTheExecutable) {
  // The test program is the executable here.
  auto exe = vel::test::ExecutablePath();
  EXPECT_EQ(vel::ApplicationName(), exe.stem().string());
  EXPECT_EQ(savedFolder_, exe.parent_path().string() + vel::test::PathDelimiter());
  EXPECT_EQ(vel::AppLogFileName("txt"), vel::LogFolder() + exe.stem().string() + ".txt");
}

TEST_F(AppLogTest, FirstLineCreatesFileInUtf16LeWithoutBomAndCrLf) {
  vel::AppendAppLog("Error: boom");
  std::string bytes = ReadFile(LogFile());
  ASSERT_GE(bytes.size(), 4u);
  ASSERT_EQ(bytes.size() % 2, 0u);
  // No byte-order mark: the first unit is the first character of the timestamp.
  EXPECT_NE(static_cast<unsigned char>(bytes[0]), 0xFF);
  EXPECT_EQ(bytes[1], '\0') << "first unit is an ASCII digit in UTF-16LE";
  std::string line = Ascii(Units(bytes));
  // C locale: "%x %X" = "MM/DD/YY HH:MM:SS" (the date alone only at exactly midnight).
  // Windows: the user's short date and long time, which may end in an AM/PM word.
  const char* stamp =
      vel::test::OnWindows() ? R"(\d[\d/.-]+( \S+){0,2})" : R"(\d\d/\d\d/\d\d( \d\d:\d\d:\d\d)?)";
  EXPECT_TRUE(std::regex_match(line, std::regex(stamp + std::string(" Error: boom\r\n")))) << line;
  EXPECT_TRUE(Events().empty());

  if (!vel::test::OnWindows()) {  // Windows files have no permission bits
    struct stat st {};
    ASSERT_EQ(::stat(LogFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
  }
}

TEST_F(AppLogTest, LinesAreAppendedAfterForeignBytesAndNonAsciiIsEncoded) {
  vel::test::WriteFile(LogFile(), "ansi line\n");  // an odd-length foreign file
  vel::AppendAppLog("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  vel::AppendAppLog("second");
  std::string bytes = ReadFile(LogFile());
  ASSERT_EQ(bytes.substr(0, 10), "ansi line\n");
  std::u16string units = Units(bytes.substr(10));
  std::u16string expected = u"caf\u00e9 \u20ac \U0001F600\r\n";
  auto first = units.find(u"caf");
  ASSERT_NE(first, std::u16string::npos);
  EXPECT_EQ(units.substr(first, expected.size()), expected);
  EXPECT_TRUE(Ascii(units).ends_with(" second\r\n"));
  // Exactly two lines.
  size_t crlf = 0;
  for (size_t p = 0; (p = units.find(u"\r\n", p)) != std::u16string::npos; p += 2) ++crlf;
  EXPECT_EQ(crlf, 2u);
}

TEST_F(AppLogTest, FolderIsGluedToTheNameAndExtensionIsUsed) {
  // No separator is inserted between the folder and the name.
  vel::SetLogFolder(dir_.path().string() + "/pre");
  vel::AppendAppLog("x", "err");
  EXPECT_FALSE(ReadFile(dir_.file("pre" + vel::ApplicationName() + ".err")).empty());
  EXPECT_TRUE(Events().empty());
}

TEST_F(AppLogTest, MissingFolderSendsTheWholeLineToTheEventLog) {
  vel::SetLogFolder(dir_.path().string() + "/missing/");
  vel::AppendAppLog("Error: one");
  vel::AppendAppLog("Error: two");
  auto ev = Events();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_TRUE(std::regex_match(ev[0], std::regex(R"(\S+( \S+){0,2} Error: one\r\n)"))) << ev[0];
  EXPECT_TRUE(ev[1].ends_with(" Error: two\r\n"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "missing"));

  // AppendTextToFile on its own falls back with the text exactly as given.
  vel::AppendTextToFile(dir_.file("missing/x.log"), "raw text");
  ASSERT_EQ(Events().size(), 3u);
  EXPECT_EQ(Events()[2], "raw text");
}

TEST_F(AppLogTest, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 8, kLines = 200;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < kLines; ++i)
          vel::AppendAppLog("thread " + std::to_string(t) + " line " + std::to_string(i) +
                            " padding-padding-padding-padding");
      });
  }
  std::string text = Ascii(Units(ReadFile(LogFile())));
  std::regex lineRe(R"(\S+(?: \S+){0,2} thread (\d) line (\d+) padding-padding-padding-padding)");
  std::vector<int> next(kThreads, 0);
  size_t pos = 0;
  int count = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(pos, end - pos);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, lineRe)) << line;
    int t = std::stoi(m[1]), i = std::stoi(m[2]);
    EXPECT_EQ(i, next[t]) << "lines of one thread stay in order";
    next[t] = i + 1;
    ++count;
    pos = end + 2;
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_TRUE(Events().empty());
}

TEST_F(AppLogTest, ConsoleEchoWritesEachLineOnceToStandardError) {
  vel::SetConsoleEcho(true);
  testing::internal::CaptureStderr();
  vel::AppendAppLog("to file");
  vel::SetLogFolder(dir_.path().string() + "/missing/");
  vel::AppendAppLog("to event log");
  vel::LogToEventLog("direct");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_search(err, std::regex(R"(\S+ to file\n)"))) << err;
  EXPECT_EQ(err.find("to event log"), err.rfind("to event log")) << "echoed once: " << err;
  EXPECT_NE(err.find("to event log"), std::string::npos);
  EXPECT_NE(err.find("direct\n"), std::string::npos);
  EXPECT_EQ(Events().size(), 2u);
}

// A text longer than one event-log entry takes is cut into marked parts that together hold
// every code unit in order; a surrogate pair is never cut.
TEST(EventLogSplit, LongTextsAreCutIntoMarkedPartsWithinTheLimit) {
  using vel::applog_detail::SplitForEventLog;
  const std::u16string pair = u"\U0001F600";
  struct Case {
    std::u16string text;
    std::size_t limit;
    std::size_t parts;
  };
  const Case cases[] = {
      {std::u16string(31839, u'a'), 31839, 1},
      {std::u16string(31840, u'a'), 31839, 2},
      {std::u16string(100000, u'b'), 31839, 4},
      // the pair would straddle the first cut (68 units: the limit less room for the mark)
      {std::u16string(67, u'c') + pair + std::u16string(99, u'd'), 100, 3},
  };
  for (const Case& c : cases) {
    const auto parts = SplitForEventLog(c.text, c.limit);
    ASSERT_EQ(parts.size(), c.parts) << c.text.size();
    std::u16string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      EXPECT_LE(parts[i].size(), c.limit);
      std::u16string body = parts[i];
      if (parts.size() > 1) {
        const std::string mark =
            "(part " + std::to_string(i + 1) + " of " + std::to_string(parts.size()) + ") ";
        ASSERT_EQ(Ascii(body.substr(0, mark.size())), mark);
        body.erase(0, mark.size());
      }
      EXPECT_FALSE(body.empty());
      EXPECT_FALSE(body.back() >= 0xD800 && body.back() <= 0xDBFF) << "a pair was cut";
      joined += body;
    }
    EXPECT_EQ(joined, c.text);
  }
}

}  // namespace
