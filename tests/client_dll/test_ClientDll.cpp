// The client DLL as a monitored application uses it: linked through its import library, with
// velclient.dll beside the program. Everything below comes from the DLL.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "mailslot/Mailslot.h"
#include "mailslot/ServerMonitorClient.h"
#include "support/MailslotIds.h"

extern "C" const char* velclient_version();

namespace vel {
namespace {

TEST(ClientDll, StatusReportSentThroughTheDllArrives) {
  EXPECT_NE(std::string(velclient_version()), "");

  const std::string id = test::UniqueMailslotId("veldll");
  TVelMailslotServer server(id);
  server.Open();
  ASSERT_TRUE(server.IsOpen()) << server.LastError();
  TVelServerMonitorHostInfo host("Shop");
  host.AddRequests(152);
  TVelServerMonitorClient client(host, 60, id);  // reports at once
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.MessageCount() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string message = server.ReadAsString();
  EXPECT_NE(message.find("|AppName=Shop|"), std::string::npos) << message;
  EXPECT_NE(message.find("|RequestCount=152|"), std::string::npos) << message;
}

}  // namespace
}  // namespace vel
