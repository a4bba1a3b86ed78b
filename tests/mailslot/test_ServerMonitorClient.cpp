#include "mailslot/ServerMonitorClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/StrLists.h"
#include "mailslot/Mailslot.h"
#include "support/MailslotIds.h"
#include "support/TestSupport.h"

namespace vel {
namespace {

using namespace std::chrono_literals;
using test::UniqueMailslotId;

// Waits for the next message on server (bounded) and returns it, or "" on time-out.
std::string NextMessage(TVelMailslotServer& server, std::chrono::milliseconds timeout = 10s) {
  if (!test::WaitUntil([&] { return server.MessageCount() > 0; }, timeout)) return "";
  return server.ReadAsString();
}

TVelNameValueList Parse(const std::string& msg) {
  TVelNameValueList list;
  list.SetDelimitedText(msg, '|');
  return list;
}

TVelTimePoint LocalTime(int year, int month, int day, int h, int m, int s) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

TEST(ServerMonitorClient, FirstReportArrivesAtOnceWithTheSixteenPairsInOrder) {
  const std::string id = UniqueMailslotId();
  TVelMailslotServer server(id);
  server.Open();
  TVelServerMonitorHostInfo host("Shop");
  host.SetSessionCount(3);
  host.AddRequests(152);
  host.AddBytesSent(5000000000);  // beyond 32 bits
  host.AddStatus400(2);
  host.AddStatus500(-1);
  host.SweepDone(LocalTime(2024, 3, 5, 14, 7, 9), 5);

  TVelServerMonitorClient client(host, 60, id);
  EXPECT_EQ(client.IntervalMinutes(), 60);
  const std::string msg = NextMessage(server);
  ASSERT_FALSE(msg.empty());
  EXPECT_NE(msg.back(), '|');
  EXPECT_NE(msg.front(), '|');

  const TVelNameValueList list = Parse(msg);
  const std::vector<std::string> keys = {"StartupTime",
                                         "DT",
                                         "PacketVer",
                                         "AppName",
                                         "SessionCount",
                                         "RequestCount",
                                         "BytesSent",
                                         "HandleCount",
                                         "MemWS",
                                         "MemPWS",
                                         "MemPF",
                                         "MemPPF",
                                         "Status400",
                                         "Status500",
                                         "LastTimeoutThreadRun",
                                         "LastRemovedSessionCount"};
  ASSERT_EQ(list.Count(), 16) << msg;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(list.GetName(i), keys[static_cast<size_t>(i)]);
  EXPECT_EQ(list.GetValue("PacketVer"), "1");
  EXPECT_EQ(list.GetValue("AppName"), "Shop");
  EXPECT_EQ(list.GetValue("SessionCount"), "3");
  EXPECT_EQ(list.GetValue("RequestCount"), "152");
  EXPECT_EQ(list.GetValue("BytesSent"), "5000000000");
  EXPECT_EQ(list.GetValue("Status400"), "2");
  EXPECT_EQ(list.GetValue("Status500"), "-1");
  EXPECT_EQ(list.GetValue("LastRemovedSessionCount"), "5");
  EXPECT_EQ(list.GetValue("StartupTime"), FormatReportDateTime(host.StartTime()));
  EXPECT_EQ(list.GetValue("LastTimeoutThreadRun"),
            FormatReportDateTime(LocalTime(2024, 3, 5, 14, 7, 9)));
  // Figures of the process itself: plain decimal digits, no grouping.
  for (const char* key : {"HandleCount", "MemWS", "MemPWS", "MemPF", "MemPPF"}) {
    const std::string v = list.GetValue(key);
    ASSERT_FALSE(v.empty()) << key;
    EXPECT_EQ(v.find_first_not_of("0123456789"), std::string::npos) << key << "=" << v;
    EXPECT_TRUE(v == "0" || v[0] != '0') << key << "=" << v;
  }
  EXPECT_GT(std::stoll(list.GetValue("HandleCount")), 0);
  EXPECT_GT(std::stoll(list.GetValue("MemWS")), 0);
  EXPECT_EQ(server.MessageCount(), 0u);  // one report, not more
}

TEST(ServerMonitorClient, NamesWithDelimiterOrQuoteTravelQuotedAndComeBackWhole) {
  const std::string id = UniqueMailslotId();
  TVelMailslotServer server(id);
  server.Open();
  TVelServerMonitorHostInfo host("Shop|North");
  TVelServerMonitorClient client(host, 60, id);
  std::string msg = NextMessage(server);
  EXPECT_NE(msg.find("|\"AppName=Shop|North\"|"), std::string::npos) << msg;
  EXPECT_EQ(Parse(msg).GetValue("AppName"), "Shop|North");
  EXPECT_EQ(Parse(msg).Count(), 16);

  host.SetAppName("The \"Best\" Shop");
  client.SendStatusReport();
  msg = NextMessage(server);
  EXPECT_NE(msg.find("|\"AppName=The \"\"Best\"\" Shop\"|"), std::string::npos) << msg;
  EXPECT_EQ(Parse(msg).GetValue("AppName"), "The \"Best\" Shop");
}

TEST(ServerMonitorClient, SweepThatNeverRanIsSentAsTheZeroDate) {
  // The texts themselves are the system's regional forms, tested per system
  // (test_ReportDateTime.cpp, win32/test_ReportDateTime_win32.cpp).
  const std::string id = UniqueMailslotId();
  TVelMailslotServer server(id);
  server.Open();
  TVelServerMonitorHostInfo host("Shop");  // no sweep yet
  TVelServerMonitorClient client(host, 60, id);
  EXPECT_EQ(Parse(NextMessage(server)).GetValue("LastTimeoutThreadRun"),
            FormatReportDateTime(std::nullopt));
}

TEST(ServerMonitorClient, ServiceAbsentOrRestartedBetweenReports) {
  const std::string id = UniqueMailslotId();
  TVelServerMonitorHostInfo host("Shop");
  {
    // Interval 0: the reporting thread ends at once without a report, so only the explicit
    // reports below are sent. No service: the report fails quietly and raises nothing.
    TVelServerMonitorClient client(host, 0, id);
    EXPECT_NO_THROW(client.SendStatusReport());

    auto server = std::make_unique<TVelMailslotServer>(id);
    server->Open();
    client.SendStatusReport();
    EXPECT_EQ(Parse(NextMessage(*server)).GetValue("AppName"), "Shop");

    // No handle is kept between reports, so a restarted service gets the next one.
    server.reset();
    server = std::make_unique<TVelMailslotServer>(id);
    server->Open();
    host.AddRequests(7);
    client.SendStatusReport();
    EXPECT_EQ(Parse(NextMessage(*server)).GetValue("RequestCount"), "7");
  }
}

TEST(ServerMonitorClient, OversizedReportIsNotSentAndRaisesNothing) {
  const std::string id = UniqueMailslotId();
  TVelMailslotServer server(id);
  server.Open();
  TVelServerMonitorHostInfo host(std::string(4100, 'n'));
  {
    TVelServerMonitorClient client(host, 0, id);
    EXPECT_NO_THROW(client.SendStatusReport());
    host.SetAppName("Small");
    client.SendStatusReport();
  }
  // The report with the small name is the only one that arrived; with interval 0 the
  // thread sent none.
  ASSERT_EQ(server.MessageCount(), 1u);
  EXPECT_EQ(Parse(server.ReadAsString()).GetValue("AppName"), "Small");
}

TEST(ServerMonitorClient, HostCountersAreSafeToChangeWhileReporting) {
  const std::string id = UniqueMailslotId();
  TVelMailslotServer server(id);
  server.Open();
  TVelServerMonitorHostInfo host("Busy");
  TVelServerMonitorClient client(host, 60, id);
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      host.AddRequests();
      host.AddBytesSent(10);
      host.SetSessionCount(i);
      if (i % 100 == 0) host.SweepDone(std::chrono::system_clock::now(), i);
    }
  });
  for (int i = 0; i < 5; ++i) client.SendStatusReport();
  writer.join();
  client.SendStatusReport();
  int received = 0;
  std::string last;
  ASSERT_TRUE(test::WaitUntil([&] {
    while (server.MessageCount() > 0) {
      last = server.ReadAsString();
      ++received;
    }
    return received >= 7;  // the one at start and six more
  }));
  EXPECT_EQ(Parse(last).GetValue("RequestCount"), "2000");
  EXPECT_EQ(Parse(last).GetValue("BytesSent"), "20000");
  EXPECT_EQ(Parse(last).GetValue("LastRemovedSessionCount"), "1900");
}

}  // namespace
}  // namespace vel
