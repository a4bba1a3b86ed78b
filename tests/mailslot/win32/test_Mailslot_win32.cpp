// The mailslot endpoints on the system's own mailslots. Where Wine behaves differently from
// Windows, the expectation names both (see docs/windows.md).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailslot/Mailslot.h"
#include "support/MailslotIds.h"

namespace vel {
namespace {

using test::UniqueMailslotId;

// Writes raw bytes to a mailslot the way any other program would; false when the system
// refuses the open or the write.
bool WriteRaw(const std::string& channelName, const std::string& bytes) {
  const std::wstring name(channelName.begin(), channelName.end());
  const HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

struct Pair {
  std::string id = UniqueMailslotId();
  TVelMailslotServer server{id};
  TVelMailslotClient client{id};
  Pair() { server.Open(); }
};

TEST(MailslotWin32, RoundTripAndDrainOfSeveralMessages) {
  Pair p;
  ASSERT_TRUE(p.server.IsOpen()) << p.server.LastError();
  EXPECT_EQ(p.server.MessageCount(), 0u);
  EXPECT_EQ(p.server.MessageSize(), TVelMailslotServer::NoMessage);

  const std::string text = "Grüße aus Köln \xF0\x9F\x98\x80 a=b|c";
  ASSERT_EQ(p.client.Write(text), 2 * 23);
  ASSERT_EQ(p.client.Write("second"), 12);
  ASSERT_EQ(p.client.Write(std::string(4096, 'x')), 8192);
  ASSERT_EQ(p.client.Write(std::string(4097, 'x')), -1);
  // The system counts at most one waiting message under Wine; the drain counts them all.
  EXPECT_EQ(p.server.MessageCount(), 3u);
  EXPECT_EQ(p.server.MessageSize(), 46u);
  EXPECT_EQ(p.server.ReadAsString(), text);
  EXPECT_EQ(p.server.ReadAsString(), "second");
  EXPECT_EQ(p.server.ReadAsString(), std::string(4096, 'x'));
  EXPECT_EQ(p.server.MessageCount(), 0u);
  std::string s = "stale";
  EXPECT_EQ(p.server.Read(s), -1);
  EXPECT_EQ(s, "");

  for (int i = 0; i < 100; ++i) ASSERT_GT(p.client.Write("m" + std::to_string(i)), 0);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p.server.ReadAsString(), "m" + std::to_string(i));
}

TEST(MailslotWin32, OversizedMessageOfAnotherWriterNeverArrives) {
  Pair p;
  const bool accepted = WriteRaw(p.server.ChannelName(), std::string(8193, 'o'));
  ASSERT_TRUE(WriteRaw(p.server.ChannelName(), std::string(8192, 'k')));
  EXPECT_EQ(p.server.MessageCount(), 1u);
  EXPECT_EQ(p.server.MessageSize(), 8192u);
  // Windows refuses the write; Wine takes it, and the drain drops it.
  EXPECT_EQ(p.server.DroppedCount(), accepted ? 1u : 0u);
}

TEST(MailslotWin32, EmptyMessageIsReadAndConsumed) {
  Pair p;
  char dummy = 0;
  ASSERT_EQ(p.client.Write(&dummy, 0), 0);
  ASSERT_EQ(p.client.Write("after"), 10);
  EXPECT_EQ(p.server.MessageCount(), 2u);
  EXPECT_EQ(p.server.MessageSize(), 0u);
  EXPECT_EQ(p.server.ReadAsString(), "");
  EXPECT_EQ(p.server.ReadAsString(), "after");
}

TEST(MailslotWin32, ClientBeforeServerAndNamesTakenOrUnknown) {
  const std::string id = UniqueMailslotId();
  TVelMailslotClient client(id);
  client.Open();
  EXPECT_TRUE(client.Active());
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(client.LastError().rfind("TVelMailslotClient.DoOpen: Could not open Mailslot [", 0), 0u)
      << client.LastError();
  EXPECT_EQ(client.Write("lost"), -1);

  TVelMailslotServer server(id);
  server.Open();
  ASSERT_TRUE(server.IsOpen()) << server.LastError();
  EXPECT_EQ(client.Write("found"), 10);
  EXPECT_TRUE(client.LastError().empty());
  EXPECT_EQ(server.ReadAsString(), "found");

  TVelMailslotServer second(id);
  second.Open();
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.LastError(), "TVelMailslotServer.DoOpen: Could not open Mailslot [" +
                                    second.ChannelName() +
                                    ": the name is held by another process]");

  // Mailslot names do not depend on letter case.
  std::string upper = id;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  TVelMailslotClient other(upper);
  EXPECT_EQ(other.Write("any case"), 16);
  EXPECT_EQ(server.ReadAsString(), "any case");

  // Another machine: Wine refuses the name (path not found); Windows may send the datagram
  // without knowing whether anyone reads it.
  TVelMailslotClient remote(id);
  remote.SetServerName("box7-not-there");
  EXPECT_EQ(remote.ChannelName(), "\\\\BOX7-NOT-THERE\\mailslot\\" + id);
  if (remote.Write("x") == -1) {
    EXPECT_FALSE(remote.LastError().empty());
  }

  // The name is freed once its last handle is closed, the writers' included; the waiting
  // server then takes it at its next try.
  client.Close();
  other.Close();
  server.Close();
  second.OpenMissing();
  EXPECT_TRUE(second.IsOpen()) << second.LastError();
  EXPECT_EQ(second.LastError(), "");
}

TEST(MailslotWin32, WritersShareTheChannelAndFindANewServer) {
  const std::string id = UniqueMailslotId();
  TVelMailslotClient first(id), second(id);
  TVelMailslotServer server(id);
  server.Open();
  // Two writers with open handles at once, as two applications reporting together.
  ASSERT_EQ(first.Write("one"), 6);
  ASSERT_EQ(second.Write("two"), 6);
  EXPECT_EQ(server.ReadAsString(), "one");
  EXPECT_EQ(server.ReadAsString(), "two");

  server.Close();
  // Windows refuses writes once the server is gone. Wine keeps the mailslot (and its name)
  // alive while a writer's handle is open and takes the message.
  const int gone = first.Write("gone");
  if (gone == -1) {
    EXPECT_FALSE(first.IsOpen());
  }
  first.Close();
  second.Close();
  server.Open();
  ASSERT_TRUE(server.IsOpen()) << server.LastError();
  EXPECT_EQ(first.Write("back"), 8);
  EXPECT_EQ(server.ReadAsString(), "back");
}

}  // namespace
}  // namespace vel
