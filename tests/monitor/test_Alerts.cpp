// The exception-log alert step, end to end: a real controller with real folder monitors,
// the real dispatcher and senders, and local stand-ins for the channels.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "applog/AppLog.h"
#include "common/Utf.h"
#include "exceptionlog/ExceptionLogger.h"
#include "folderwatch/FolderMonitor.h"
#include "monitor/MonitorController.h"
#include "monitor/ReportHeader.h"
#include "notify/ChatFormat.h"
#include "support/ChannelMock.h"
#include "support/MailslotIds.h"
#include "support/SmtpServer.h"
#include "support/SystemHttpClient.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace vel;
using vel::test::ChannelMock;
using vel::test::TempDir;

namespace {

const std::string kSep = std::string(120, '-') + "\r\n";
const std::string kHint =
    "Depending on the error condition, it might be possible to restart the application.\r\n";

// A report laid out the way the exception-log writer lays it out.
std::string LogText(const std::string& message, const std::string& cls = "EAccessViolation",
                    bool withAddress = true) {
  std::string t = kSep;
  t += "Exception message  : " + message + "\r\n";
  t += "Exception class    : " + cls + "\r\n";
  if (withAddress) t += "Exception address  : 00401A2B\r\n";
  t += kSep + kHint + kSep;
  t += "Application Name   : shop\r\n";
  t += "Running Time       : 1 minute\r\n";
  t += kSep;
  t += "Stack trace        :\r\n  frame 0\r\n";
  return t;
}

// What the short form of LogText becomes.
std::string ShortOf(const std::string& message, const std::string& cls = "EAccessViolation") {
  return "Exception message  : " + message + "\r\nException class    : " + cls +
         "\r\nException address  : 00401A2B\r\n";
}

struct Channels {
  bool telegramFull = false;
  bool discordFull = false;
  bool email = false;
  int smtpPort = 0;
  int settleWaitMs = 100;
  // Off, every alert goes out on its own however many come: tests of other things than
  // storms count messages.
  bool stormLimits = false;
};

class AlertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::UseSystemHttpClient(); }

  void TearDown() override {
    // The mock must answer again before the controller joins a worker that is delivering.
    mock.SetNeverAnswer(false);
    controller.reset();
  }

  std::string Logs() const { return tmp.file("logs"); }

  // Writes the INI and starts the controller. apps: name and log folder of each [App_n].
  void Start(const Channels& ch = {}, const std::string& ignore = "",
             std::vector<std::pair<std::string, std::string>> apps = {}) {
    if (apps.empty()) apps.push_back({"Shop", Logs()});
    std::ostringstream ini;
    ini << "[General]\nLogPath=" << tmp.path().string()
        << "/\nMonitorEnabled=1\nAppCount=" << apps.size() << "\nIgnoreExceptions=" << ignore
        << "\n";
    for (size_t i = 0; i < apps.size(); ++i)
      ini << "[App_" << i << "]\nName=" << apps[i].first << "\nLogPath=" << apps[i].second
          << "\nEnabled=1\n";
    ini << "[Telegram]\nEnabled=1\nBotToken=123:abc\nChatId=42\nSendFullLog="
        << (ch.telegramFull ? 1 : 0) << "\nApiUrl=" << mock.TelegramApiUrl() << "\n";
    ini << "[Discord]\nEnabled=1\nToken=7/tok\nSendFullLog=" << (ch.discordFull ? 1 : 0)
        << "\nApiUrl=" << mock.DiscordApiUrl() << "\n";
    ini << "[Email]\nEnabled=" << (ch.email ? 1 : 0) << "\nHost=127.0.0.1\nPort=" << ch.smtpPort
        << "\nAddress=ops@example.test\nUserName=monitor@example.test\nAuthentication="
           "none\nSubject=Alert\n";
    vel::test::WriteFile(tmp.file("monitor.ini"), ini.str());

    TVelMonitorOptions options;
    options.ConfigFile = tmp.file("monitor.ini");
    options.MailslotId = vel::test::UniqueMailslotId("alerts");
    options.SettleWaitMs = ch.settleWaitMs;
    if (!ch.stormLimits) options.StormLimits = {1000000, 1000000, 0};
    controller = std::make_unique<TVelMonitorController>(options);
    controller->Start();
  }

  // Puts a file into the watched folder in one step (written elsewhere, then moved in), so
  // the alert step never sees it half written.
  void Drop(const std::string& name, const std::string& bytes,
            const std::string& folder = std::string()) {
    fs::create_directories(tmp.file("staging"));
    const std::string staged = tmp.file("staging/" + name);
    vel::test::WriteFile(staged, bytes);
    fs::rename(staged, (folder.empty() ? Logs() : folder) + "/" + name);
  }

  // Drops an alertable marker and waits until both chat channels have delivered it, so that
  // everything dropped before it into the same folder has been dealt with.
  void Settle(const std::string& marker = "marker.Log") {
    const size_t before = mock.RequestCount();
    Drop(marker, LogText("marker " + marker));
    ASSERT_TRUE(mock.WaitForRequests(before + 2))
        << "the marker was not alerted; " << ::testing::PrintToString(ErrorLines());
  }

  std::vector<std::string> DiscordContents() const {
    std::vector<std::string> out;
    for (const auto& r : mock.DiscordRequests())
      out.push_back(chat::JsonStringMember(r.Json, "content").value_or("<no content>"));
    return out;
  }

  std::vector<std::string> TelegramTexts() const {
    std::vector<std::string> out;
    for (const auto& r : mock.TelegramRequests()) {
      auto it = r.Form.find("text");
      out.push_back(it == r.Form.end() ? "<no text>" : it->second);
    }
    return out;
  }

  // Lines of the diagnostic log after their timestamp ("Error: ...").
  std::vector<std::string> ErrorLines() const {
    std::vector<std::string> out;
    const std::string text = Utf16LEBytesToUtf8(vel::test::ReadFile(AppLogFileName()));
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      auto at = line.find("Error: ");
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (at != std::string::npos) out.push_back(line.substr(at));
    }
    return out;
  }

  TempDir tmp;
  ChannelMock mock;
  std::unique_ptr<TVelMonitorController> controller;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(ReportHeader, LabelsAreTakenByTheReportsStructureNotByTheMessage) {
  const std::string app = kSep + "Application Name   : shop\r\n";
  struct Row {
    std::string report;
    std::string cls;   // the class read
    std::string tail;  // the text from the application block on ("" when there is none)
  };
  const Row rows[] = {
      {LogText("m"), "EAccessViolation", "Application Name   : shop\r\nRunning Time"},
      // A writer that does not indent: message lines that look like labels.
      {kSep + "Exception message  : a\r\nException class    : EIgnored\r\n" + app +
           "Exception class    : EReal\r\nException address  : 1\r\n" + app + "x\r\n",
       "EReal", "Application Name   : shop\r\nx\r\n"},
      // Lines end at CR LF, a lone CR or a lone LF; a class line without ":" is passed over.
      {"a: 1\rException class: \tEA \nException class EX\n", "EA", ""},
      // The label must begin the line, in its exact letter case; without the separator the
      // last line with the application label begins the block.
      {" Exception class: E1\r\nexception class: E2\r\nApplication Name: a\r\nApplication Name", "",
       "Application Name"},
      {"", "", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ReportExceptionClass(row.report), row.cls) << row.report;
    const std::size_t start = ApplicationBlockStart(row.report);
    const std::string tail = start == std::string::npos ? "" : row.report.substr(start);
    EXPECT_EQ(tail.substr(0, row.tail.size()), row.tail) << row.report;
    EXPECT_EQ(start == std::string::npos, row.tail.empty()) << row.report;
  }
}

TEST_F(AlertTest, NewLogAlertsOncePerChannelInTheShortForm) {
  Start();
  ASSERT_EQ(controller->FolderMonitorCount(), 1u);
  Drop("Shop@1.Log", LogText("Access violation at address 0"));
  ASSERT_TRUE(mock.WaitForRequests(2));

  const auto discord = DiscordContents();
  ASSERT_EQ(discord.size(), 1u);
  EXPECT_EQ(discord[0], "**Shop**\r\n```\n" + ShortOf("Access violation at address 0") + "```");

  const auto telegram = TelegramTexts();
  ASSERT_EQ(telegram.size(), 1u);
  EXPECT_TRUE(Contains(telegram[0], "Shop"));
  EXPECT_TRUE(Contains(telegram[0], "```"));
  EXPECT_TRUE(Contains(telegram[0], "Access violation at address 0"));
  EXPECT_FALSE(Contains(telegram[0], "Application Name"));
  EXPECT_FALSE(Contains(telegram[0], "Depending on the error condition"));

  // Modified, renamed inside and removed: none of them is a new file.
  std::ofstream(Logs() + "/Shop@1.Log", std::ios::app) << "more\r\n";
  fs::rename(Logs() + "/Shop@1.Log", Logs() + "/Shop@1-renamed.Log");
  fs::remove(Logs() + "/Shop@1-renamed.Log");
  Settle();
  EXPECT_EQ(mock.RequestCount(), 4u);
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(AlertTest, SendFullLogGivesTheTrimmedFullTextWithoutFences) {
  Channels ch;
  ch.discordFull = true;
  Start(ch);
  const std::string text = LogText("boom");
  Drop("Shop@2.Log", text);
  ASSERT_TRUE(mock.WaitForRequests(2));

  // Only the first separator line and the hint are gone; the other separators stay.
  std::string full = text;
  full.erase(0, kSep.size());
  full.erase(full.find(kHint), kHint.size());
  const auto discord = DiscordContents();
  ASSERT_EQ(discord.size(), 1u);
  EXPECT_EQ(discord[0], "**Shop**\r\n" + full);

  // Telegram still gets the short form.
  const auto telegram = TelegramTexts();
  ASSERT_EQ(telegram.size(), 1u);
  EXPECT_FALSE(Contains(telegram[0], "Application Name"));
  EXPECT_TRUE(Contains(telegram[0], "```"));
}

TEST_F(AlertTest, ShortFormWithoutCutMarkerIsTheWholeTextWithoutSeparators) {
  Start();
  const std::string text =
      kSep + "Exception message  : m\r\n" + kSep + "Exception address  : 1\r\n" + kSep + "tail\r\n";
  Drop("Shop@3.Log", text);
  ASSERT_TRUE(mock.WaitForRequests(2));
  const auto discord = DiscordContents();
  ASSERT_EQ(discord.size(), 1u);
  EXPECT_EQ(discord[0],
            "**Shop**\r\n```\nException message  : m\r\nException address  : 1\r\ntail\r\n```");
}

TEST_F(AlertTest, EmailGetsTheShortFormWithoutFences) {
  fs::create_directories(tmp.path() / "mail");
  vel::test::SmtpServer smtp(tmp.path() / "mail");
  ASSERT_TRUE(smtp.Started()) << smtp.StartError();
  Channels ch;
  ch.email = true;
  ch.smtpPort = smtp.Port();
  Start(ch);
  Drop("Shop@4.Log", LogText("mail me"));
  auto message = smtp.WaitForMessage(1);
  ASSERT_TRUE(message.has_value()) << ::testing::PrintToString(ErrorLines());
  EXPECT_EQ(message->subject, "Shop: Alert");
  EXPECT_TRUE(Contains(message->body, "mail me"));
  EXPECT_TRUE(Contains(message->body, "Exception address"));
  EXPECT_FALSE(Contains(message->body, "Application Name"));
  EXPECT_FALSE(Contains(message->body, "```"));
  EXPECT_TRUE(Contains(message->body, "<body>Application: Shop<br><br>")) << message->body;
  ASSERT_TRUE(mock.WaitForRequests(2));
}

TEST_F(AlertTest, IgnoredClassesAreDroppedSilentlyInAnyLetterCase) {
  Start({}, "EAbort; EIgnoreMe");
  Drop("ignored1.Log", LogText("x", "eignoreme"));
  Drop("ignored2.Log", LogText("y", "EABORT"));
  // A class line without ":" gives no class, so the file cannot be ignored.
  std::string noColon = LogText("z", "EAbort");
  noColon.replace(noColon.find("Exception class    : "), 21, "Exception class EAbort ");
  Drop("nocolon.Log", noColon);
  ASSERT_TRUE(mock.WaitForRequests(2));
  Settle();
  const auto discord = DiscordContents();
  ASSERT_EQ(discord.size(), 2u);
  EXPECT_TRUE(Contains(discord[0], "Exception message  : z"));
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(AlertTest, FilesThatAreNotExceptionLogsAreIgnored) {
  Start();
  std::string noAddress = LogText("a", "E", false);
  std::string noMessage = LogText("b");
  noMessage.replace(noMessage.find("Exception message"), 17, "Exception text");
  Drop("noaddress.Log", noAddress);
  Drop("nomessage.Log", noMessage);
  Drop("empty.Log", "");
  fs::create_directories(Logs() + "/Exception message and Exception address");
  Settle();
  EXPECT_EQ(DiscordContents().size(), 1u);
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(AlertTest, FileRemovedWithinTheSettleWaitIsNotAlertedNorLogged) {
  Start();
  Drop("gone.Log", LogText("gone"));
  fs::remove(Logs() + "/gone.Log");
  Settle();
  const auto discord = DiscordContents();
  ASSERT_EQ(discord.size(), 1u);
  EXPECT_FALSE(Contains(discord[0], "gone"));
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(AlertTest, RingLetsAFileNameAlertOnceUntil32OthersPushedItOut) {
  Start();
  Drop("same.Log", LogText("first"));
  ASSERT_TRUE(mock.WaitForRequests(2));
  fs::remove(Logs() + "/same.Log");
  Drop("same.Log", LogText("second"));
  Settle("other0.Log");
  EXPECT_EQ(DiscordContents().size(), 2u);

  // In small groups, so that no backlog builds up and each goes out on its own.
  for (int i = 1; i < 32; ++i) {
    Drop("other" + std::to_string(i) + ".Log", LogText("o"));
    if (i % 8 == 0 || i == 31) {
      ASSERT_TRUE(mock.WaitForRequests(2 * (i + 2))) << ::testing::PrintToString(ErrorLines());
    }
  }
  fs::remove(Logs() + "/same.Log");
  Drop("same.Log", LogText("third"));
  ASSERT_TRUE(mock.WaitForRequests(2 * 34));
  const auto discord = DiscordContents();
  ASSERT_EQ(discord.size(), 34u);
  EXPECT_TRUE(Contains(discord.back(), "third"));
  for (const auto& d : discord) EXPECT_FALSE(Contains(d, "second"));
}

TEST_F(AlertTest, TwoMonitorsOnOneFolderAlertOnce) {
  Start({}, "", {{"Shop", Logs()}, {"Shop2", Logs()}});
  ASSERT_EQ(controller->FolderMonitorCount(), 2u);
  for (int i = 0; i < 5; ++i) Drop("both" + std::to_string(i) + ".Log", LogText("b"));
  ASSERT_TRUE(mock.WaitForRequests(10));
  // The other monitor's run of the last file may still be going on; a marker written
  // afterwards into the same folder is seen by both, in order.
  Settle("last.Log");
  EXPECT_EQ(DiscordContents().size(), 6u);
  EXPECT_EQ(TelegramTexts().size(), 6u);
}

TEST_F(AlertTest, ReportsInTheAnsiCodePageOrWithAByteOrderMarkArriveAsText) {
  Start();
  // The applications' own writer uses the ANSI code page (Windows-1252 here and under Wine's
  // default); a report with a UTF-8 mark shows no mark.
  Drop("ansi.Log", LogText("Ung\xFCltige Eingabe \x80 5"));
  Drop("bom.Log", "\xEF\xBB\xBF" + LogText("caf\xC3\xA9"));
  ASSERT_TRUE(mock.WaitForRequests(4));
  Settle();
  std::string all;
  for (const auto& content : DiscordContents()) all += content;
  EXPECT_TRUE(Contains(all, "Ung\xC3\xBCltige Eingabe \xE2\x82\xAC 5")) << all;
  EXPECT_TRUE(Contains(all, "caf\xC3\xA9"));
  EXPECT_FALSE(Contains(all, "\xEF\xBB\xBF"));
  EXPECT_TRUE(ErrorLines().empty()) << ::testing::PrintToString(ErrorLines());
}

TEST_F(AlertTest, OversizedFileIsAlertedWithItsHeadAndMailSaysWhatWasLeftOut) {
  fs::create_directories(tmp.path() / "mail");
  vel::test::SmtpServer smtp(tmp.path() / "mail");
  ASSERT_TRUE(smtp.Started()) << smtp.StartError();
  Channels ch;
  ch.email = true;
  ch.smtpPort = smtp.Port();
  Start(ch);
  // A message beyond the read limit: the head holds no application block, so the short form
  // is the whole head; a character cut by the limit is left out with the rest.
  const std::size_t limit = 16u * 1024u * 1024u;
  std::string big = kSep + "Exception message  : \r\n";
  while (big.size() < limit - 200) big += std::string(98, 'x') + "\r\n";
  big.resize(limit - 1, 'x');
  big += "\xC3\xA9 and more\r\nException address  : 1\r\n";
  Drop("big.Log", big);
  auto message = smtp.WaitForMessage(1, std::chrono::seconds(90));
  ASSERT_TRUE(message.has_value()) << ::testing::PrintToString(ErrorLines());
  const std::string note = "[\xE2\x80\xA6 the last " + std::to_string(big.size() - limit + 1) +
                           " bytes of the file were left out]";
  // The mail is HTML: the note is a line of its own after the head.
  EXPECT_TRUE(Contains(message->body, std::string(10, 'x') + "<br>" + note))
      << message->body.substr(message->body.size() - 200);
  ASSERT_TRUE(mock.WaitForRequests(2 * chat::kMaxChatParts));
  EXPECT_TRUE(Contains(DiscordContents().back(), "more characters left out]"));
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(AlertTest, UnwatchableApplicationIsOneErrorLineAndTheOthersAreWatched) {
  vel::test::WriteFile(tmp.file("plain"), "not a folder");
  const std::string bad = tmp.file("plain") + "/logs";
  Start({}, "", {{"Broken", bad}, {"Shop", Logs()}});
  EXPECT_EQ(controller->FolderMonitorCount(), 1u);
  const auto errors = ErrorLines();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Error: TVelFolderMonitor.Activate: Folder \"" + bad +
                           "\" does not exist and cannot be created");
  Settle();
  EXPECT_TRUE(Contains(DiscordContents()[0], "**Shop**"));
}

TEST_F(AlertTest, StopDropsTheMonitorsWithoutWaitingForARunningAlert) {
  Start();
  mock.SetNeverAnswer(true);
  Drop("held.Log", LogText("held"));
  ASSERT_TRUE(mock.WaitForRequests(1));  // the alert is now blocked in its delivery
  controller->Stop();
  EXPECT_EQ(controller->FolderMonitorCount(), 0u);
  controller->Stop();  // a second Stop finds nothing to do
  mock.SetNeverAnswer(false);
}

TEST_F(AlertTest, ReportWrittenByTheExceptionLoggerIsAlerted) {
  Start();
  TVelExceptionLogger logger;
  logger.SetEnabled(true);
  logger.SetFilePath(Logs());
  logger.SetFileName("Shop");
  try {
    throw std::logic_error("written by the application");
  } catch (const std::exception& e) {
    ASSERT_TRUE(logger.LogException(e));
  }
  ASSERT_TRUE(mock.WaitForRequests(2));
  const auto discord = DiscordContents();
  ASSERT_EQ(discord.size(), 1u);
  EXPECT_EQ(discord[0].rfind("**Shop**\r\n```", 0), 0u);
  EXPECT_TRUE(Contains(discord[0], "written by the application"));
  EXPECT_TRUE(Contains(discord[0], "Exception address"));
  EXPECT_FALSE(Contains(discord[0], "Application Name"));
  EXPECT_FALSE(Contains(discord[0], std::string(120, '-')));
}

namespace vel {
namespace {

// Exception logs a delivered text stands for: the count of a summary, else 1.
size_t AlertsIn(const std::string& text) {
  const std::string mark = "Summary of ";
  const auto at = text.find(mark);
  return at == std::string::npos ? 1 : std::stoul(text.substr(at + mark.size()));
}

TEST_F(AlertTest, FileClosedByItsWriterIsReadAtOnceAndAnOpenOneAtTheSettleTime) {
  Channels ch;
  // Far beyond the wait below, so only the close can release the file; short enough that a
  // run where the close is missed still ends soon after it fails.
  ch.settleWaitMs = 30000;
  Start(ch);
  {
    std::ofstream out(Logs() + "/closed.Log", std::ios::binary);
    out << LogText("closed at once");
  }
  ASSERT_TRUE(mock.WaitForRequests(2, std::chrono::seconds(5)))
      << "the writer's close did not release the file";
  EXPECT_TRUE(Contains(DiscordContents()[0], "closed at once"));
  controller.reset();

  ch.settleWaitMs = 300;
  Start(ch);
  std::ofstream open(Logs() + "/open.Log", std::ios::binary);
  open << LogText("still open") << std::flush;
  ASSERT_TRUE(mock.WaitForRequests(4));
  EXPECT_TRUE(Contains(DiscordContents()[1], "still open"));
}

TEST_F(AlertTest, SettleWaitsOfABurstOverlap) {
  Channels ch;
  ch.settleWaitMs = 2000;
  Start(ch);
  // Held open by their writer, so no close releases them: each file waits its full settle
  // time. One after the other that would be 80 s; overlapping it is about 2 s.
  constexpr int kFiles = 40;
  std::vector<std::ofstream> writers;
  for (int i = 0; i < kFiles; ++i) {
    writers.emplace_back(Logs() + "/burst" + std::to_string(i) + ".Log", std::ios::binary);
    writers.back() << LogText("b") << std::flush;
  }
  auto accounted = [&] {
    size_t n = 0;
    for (const auto& d : DiscordContents()) n += AlertsIn(d);
    return n;
  };
  ASSERT_TRUE(vel::test::WaitUntil([&] { return accounted() >= size_t(kFiles); },
                                   std::chrono::seconds(30)));
  EXPECT_EQ(accounted(), size_t(kFiles));
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_F(AlertTest, StormOfOneApplicationIsHeldAndEveryFileAccountedForAtTheStop) {
  Channels ch;
  ch.stormLimits = true;
  Start(ch);
  constexpr int kFiles = 12;
  constexpr int kAlone = 5;
  // Each of the first five is delivered before the next comes: deliveries may be slower than
  // new files, and alerts still queued when the hold begins go out as a summary. After the
  // fifth the rest is held for a minute, or until the stop.
  for (int i = 0; i < kFiles; ++i) {
    Drop("storm" + std::to_string(i) + ".Log", LogText("storm " + std::to_string(i)));
    if (i < kAlone) {
      ASSERT_TRUE(mock.WaitForRequests(2 * (i + 1)));
    }
  }
  ASSERT_TRUE(vel::test::WaitUntil([&] {
    return controller->Dispatcher().Waiting() == 2 * size_t(kFiles - kAlone);
  })) << "not every held file reached both chats";
  controller.reset();
  for (const auto& texts : {DiscordContents(), TelegramTexts()}) {
    ASSERT_EQ(texts.size(), size_t(kAlone + 1));
    for (int i = 0; i < kAlone; ++i)
      EXPECT_TRUE(Contains(texts[i], "storm " + std::to_string(i))) << texts[i];
    EXPECT_TRUE(Contains(texts.back(), "Summary of ")) << texts.back();
    EXPECT_EQ(AlertsIn(texts.back()), size_t(kFiles - kAlone));
  }
  EXPECT_TRUE(ErrorLines().empty());
}

}  // namespace
}  // namespace vel
