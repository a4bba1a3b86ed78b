#include "mailslot/Mailslot.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/Exception.h"
#include "support/MailslotIds.h"
#include "support/TestSupport.h"

namespace vel {
namespace {

using test::UniqueMailslotId;

// Sends raw bytes to a channel name the way any other program on the machine would: the
// abstract address is one NUL followed by exactly the name's bytes.
ssize_t SendRaw(const std::string& channelName, const std::string& bytes) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, channelName.data(), channelName.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + channelName.size());
  ssize_t n = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), len);
  close(fd);
  return n;
}

struct Pair {
  std::string id = UniqueMailslotId();
  TVelMailslotServer server{id};
  TVelMailslotClient client{id};
  Pair() { server.Open(); }
};

TEST(Mailslot, RoundTripOfTextCountsDownToNoMessage) {
  Pair p;
  ASSERT_TRUE(p.server.IsOpen()) << p.server.LastError();
  EXPECT_EQ(p.server.MessageCount(), 0u);
  EXPECT_EQ(p.server.MessageSize(), TVelMailslotServer::NoMessage);

  const std::string text = "Grüße aus Köln \xF0\x9F\x98\x80 a=b|c";  // includes a surrogate pair
  const int written = p.client.Write(text);
  // 15 + 2 (surrogate pair) + 6 code units after conversion, two bytes each
  EXPECT_EQ(written, 2 * 23);
  EXPECT_EQ(p.server.MessageCount(), 1u);
  EXPECT_EQ(p.server.MessageSize(), static_cast<uint32_t>(written));
  EXPECT_EQ(p.server.ReadAsString(), text);
  EXPECT_EQ(p.server.MessageCount(), 0u);
  EXPECT_EQ(p.server.MessageSize(), TVelMailslotServer::NoMessage);
  // Reading with nothing waiting fails without blocking.
  std::string s = "stale";
  EXPECT_EQ(p.server.Read(s), -1);
  EXPECT_EQ(s, "");
}

TEST(Mailslot, EmptyStringIsNotSentButAnEmptyDatagramIsAMessage) {
  Pair p;
  EXPECT_EQ(p.client.Write(std::string()), 0);
  EXPECT_EQ(p.server.MessageCount(), 0u);

  char dummy = 0;
  EXPECT_EQ(p.client.Write(&dummy, 0), 0);
  EXPECT_EQ(p.server.MessageCount(), 1u);
  EXPECT_EQ(p.server.MessageSize(), 0u);
  EXPECT_EQ(p.server.ReadAsString(), "");
  EXPECT_EQ(p.server.MessageCount(), 0u);  // consumed: a reader loop cannot spin on it
}

TEST(Mailslot, SizeLimitIsCountedInUtf16CodeUnits) {
  Pair p;
  const std::string full(4096, 'x');
  EXPECT_EQ(p.client.Write(full), 8192);
  EXPECT_EQ(p.client.Write(std::string(4097, 'x')), -1);
  // 4095 ASCII + one character outside the BMP = 4097 code units although 4099 bytes of UTF-8.
  EXPECT_EQ(p.client.Write(std::string(4095, 'y') + "\xF0\x9F\x98\x80"), -1);
  // 2048 two-byte UTF-8 characters = 2048 code units: fits although 4096 bytes of UTF-8.
  std::string umlauts;
  for (int i = 0; i < 2048; ++i) umlauts += "\xC3\xA4";
  EXPECT_EQ(p.client.Write(umlauts), 4096);
  std::vector<uint8_t> raw(8193, 1);
  EXPECT_EQ(p.client.Write(raw.data(), 8193), -1);
  EXPECT_EQ(p.client.Write(raw, 8192), 8192);
  EXPECT_EQ(p.client.Write(raw, 9000), -1);  // more than the stream holds

  ASSERT_EQ(p.server.MessageCount(), 3u);
  EXPECT_EQ(p.server.ReadAsString(), full);
  EXPECT_EQ(p.server.ReadAsString(), umlauts);
  std::vector<uint8_t> got;
  EXPECT_EQ(p.server.Read(got), 8192);
  EXPECT_EQ(got, std::vector<uint8_t>(8192, 1));
}

TEST(Mailslot, MessagesArriveWholeAndInOrder) {
  Pair p;
  ASSERT_EQ(p.client.Write("first"), 10);
  ASSERT_EQ(p.client.Write("second"), 12);
  EXPECT_EQ(p.server.MessageCount(), 2u);
  EXPECT_EQ(p.server.MessageSize(), 10u);
  EXPECT_EQ(p.server.ReadAsString(), "first");
  EXPECT_EQ(p.server.MessageCount(), 1u);
  EXPECT_EQ(p.server.ReadAsString(), "second");
  EXPECT_EQ(p.server.MessageCount(), 0u);

  for (int i = 0; i < 200; ++i) ASSERT_GT(p.client.Write("m" + std::to_string(i)), 0);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(p.server.ReadAsString(), "m" + std::to_string(i));
}

TEST(Mailslot, ReadIntoTooSmallBufferFailsAndKeepsTheMessage) {
  Pair p;
  ASSERT_EQ(p.client.Write("abcdef"), 12);
  char small[4];
  EXPECT_EQ(p.server.Read(small, sizeof small), -1);
  EXPECT_EQ(p.server.MessageCount(), 1u);
  char exact[12];
  EXPECT_EQ(p.server.Read(exact, sizeof exact), 12);
  EXPECT_EQ(std::string(exact, 12), std::string("a\0b\0c\0d\0e\0f\0", 12));
  EXPECT_EQ(p.server.MessageCount(), 0u);
  ASSERT_EQ(p.client.Write("x"), 2);
  EXPECT_TRUE(p.server.SkipMessage());
  EXPECT_FALSE(p.server.SkipMessage());
}

TEST(Mailslot, AnyProgramReachesTheServerByNameAndBadTextIsRepaired) {
  Pair p;
  EXPECT_EQ(p.server.ChannelName(), "\\\\.\\mailslot\\" + p.id);
  // UTF-16LE "Hi", a lone high surrogate, "!" and a stray odd byte.
  const std::string bytes("H\0i\0\x00\xD8!\0Z", 9);
  ASSERT_EQ(SendRaw(p.server.ChannelName(), bytes), 9);
  EXPECT_EQ(p.server.MessageSize(), 9u);
  std::string s;
  EXPECT_EQ(p.server.Read(s), 9);
  EXPECT_EQ(s, "Hi\xEF\xBF\xBD!");
  // A name with a trailing NUL is a different address: nothing reaches this server.
  EXPECT_EQ(SendRaw(p.server.ChannelName() + std::string(1, '\0'), "x"), -1);
  EXPECT_EQ(p.server.MessageCount(), 0u);
}

TEST(Mailslot, OversizedAndSurplusMessagesAreDroppedAndCounted) {
  Pair p;
  ASSERT_EQ(SendRaw(p.server.ChannelName(), std::string(8194, 'z')), 8194);
  ASSERT_EQ(SendRaw(p.server.ChannelName(), "ok"), 2);
  EXPECT_EQ(p.server.MessageCount(), 1u);
  EXPECT_EQ(p.server.DroppedCount(), 1u);

  std::vector<uint8_t> got;
  EXPECT_EQ(p.server.Read(got), 2);
  const size_t total = TVelMailslotServer::MaxQueuedMessages + 5;
  for (size_t i = 0; i < total; ++i) {
    ASSERT_EQ(p.client.Write(&i, sizeof i), static_cast<int>(sizeof i)) << i;
  }
  // The receiving side takes them off the socket on its own, nobody reading meanwhile.
  EXPECT_TRUE(test::WaitUntil([&] { return p.server.DroppedCount() == 6u; }));
  EXPECT_EQ(p.server.MessageCount(), TVelMailslotServer::MaxQueuedMessages);
  EXPECT_EQ(p.server.DroppedCount(), 6u);
  size_t first = 99;
  ASSERT_EQ(p.server.Read(&first, sizeof first), static_cast<int>(sizeof first));
  EXPECT_EQ(first, 0u);  // the oldest are kept, the surplus at the end is dropped
}

TEST(Mailslot, ClientBeforeServerFailsThenSucceedsOnceTheServerExists) {
  const std::string id = UniqueMailslotId();
  TVelMailslotClient client(id);
  EXPECT_TRUE(client.AutoOpen());
  EXPECT_EQ(client.Write("early"), -1);
  const std::string prefix = "TVelMailslotClient.DoOpen: Could not open Mailslot [";
  ASSERT_EQ(client.LastError().rfind(prefix, 0), 0u) << client.LastError();
  EXPECT_GT(client.LastError().size(), prefix.size() + 1);
  EXPECT_EQ(client.LastError().back(), ']');
  EXPECT_FALSE(client.IsOpen());

  TVelMailslotServer server(id);
  server.Open();
  EXPECT_EQ(client.Write("late"), 8);
  EXPECT_EQ(client.LastError(), "");
  EXPECT_EQ(server.ReadAsString(), "late");  // the failed write left nothing behind
}

TEST(Mailslot, OpenOfAMissingServerMarksActiveButNotOpen) {
  TVelMailslotClient client(UniqueMailslotId());
  client.SetAutoOpen(false);
  client.Open();
  EXPECT_TRUE(client.Active());
  EXPECT_FALSE(client.IsOpen());
  EXPECT_FALSE(client.LastError().empty());
  client.Close();
  EXPECT_FALSE(client.Active());
}

TEST(Mailslot, SecondServerFailsAndTheNameGoesWithItsServer) {
  const std::string id = UniqueMailslotId();
  auto first = std::make_unique<TVelMailslotServer>(id);
  first->Open();
  ASSERT_TRUE(first->IsOpen());

  TVelMailslotServer second(id);
  second.Open();
  EXPECT_TRUE(second.Active());
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.LastError().rfind("TVelMailslotServer.DoOpen: Could not open Mailslot [", 0), 0u)
      << second.LastError();
  EXPECT_EQ(second.MessageCount(), 0u);
  EXPECT_EQ(second.MessageSize(), 0u);
  EXPECT_EQ(second.ReadAsString(), "");

  TVelMailslotClient client(id);
  client.SetAutoOpen(false);
  client.Open();
  ASSERT_TRUE(client.IsOpen());
  first.reset();
  // The writer's handle leads nowhere now; the name is free for a new server.
  EXPECT_EQ(client.Write("lost"), -1);
  TVelMailslotClient late(id);
  EXPECT_EQ(late.Write("x"), -1);

  second.Close();
  second.Open();
  ASSERT_TRUE(second.IsOpen()) << second.LastError();
  EXPECT_EQ(second.LastError(), "");
  EXPECT_EQ(second.MessageCount(), 0u);  // nothing sent to the old server shows up here
  EXPECT_EQ(late.Write("x"), 2);
  // The client that lost its server opens again when AutoOpen allows it.
  client.SetAutoOpen(true);
  EXPECT_EQ(client.Write("again"), 10);
  EXPECT_EQ(second.MessageCount(), 2u);
}

// The socket file in the service's folder: a leftover of a service that ended without closing
// is replaced, a live one is not, and a client reaches the file even when a squatter holds
// the abstract name.
TEST(Mailslot, FolderSocketIsPreferredTakenOverWhenStaleAndLeftToALiveServer) {
  test::TempDir dir;
  ASSERT_EQ(setenv("VEL_STATUS_DIR", dir.path().c_str(), 1), 0);
  const std::string id = UniqueMailslotId();
  const std::string path = dir.file(id);
  {
    const int stale = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(stale);  // the file stays behind
  }
  const int abstract = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string name = "\\\\.\\mailslot\\" + id;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  ASSERT_EQ(bind(abstract, reinterpret_cast<sockaddr*>(&addr),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
            0);

  TVelMailslotServer server(id);
  server.Open();
  ASSERT_TRUE(server.IsOpen());
  EXPECT_NE(server.LastError().find("the name is held by another process"), std::string::npos)
      << server.LastError();
  EXPECT_EQ(TVelMailslotClient(id).Write("via file"), 16);
  EXPECT_EQ(server.ReadAsString(), "via file");

  TVelMailslotServer second(id);
  second.Open();
  EXPECT_NE(second.LastError().find(path + ": in use by another running instance"),
            std::string::npos)
      << second.LastError();
  server.Close();
  EXPECT_FALSE(std::filesystem::exists(path));
  second.OpenMissing();
  EXPECT_TRUE(second.IsOpen());
  EXPECT_EQ(TVelMailslotClient(id).Write("x"), 2);
  EXPECT_EQ(second.ReadAsString(), "x");
  close(abstract);
  unsetenv("VEL_STATUS_DIR");
}

TEST(Mailslot, NamesCompareWithoutLetterCase) {
  const std::string id = UniqueMailslotId("Vel_ServerMonitor");
  std::string lower = id;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  TVelMailslotServer server(id);
  server.Open();
  ASSERT_TRUE(server.IsOpen()) << server.LastError();
  EXPECT_EQ(TVelMailslotClient(lower).Write("from lower case"), 30);
  // Other programs find the channel at the lower-case address.
  EXPECT_EQ(SendRaw("\\\\.\\mailslot\\" + lower, std::string("r\0", 2)), 2);
  EXPECT_EQ(server.ReadAsString(), "from lower case");
  EXPECT_EQ(server.ReadAsString(), "r");
  TVelMailslotServer other(lower);
  other.Open();
  EXPECT_FALSE(other.IsOpen()) << "the name is taken in any letter case";
}

TEST(Mailslot, ServerNamesAreFormedAndRemoteOnesRefused) {
  TVelMailslotClient c("vel_servermonitor");
  EXPECT_EQ(c.ServerName(), "\\\\.");
  EXPECT_EQ(c.ChannelName(), "\\\\.\\mailslot\\vel_servermonitor");
  c.SetServerName("box7");
  EXPECT_EQ(c.ChannelName(), "\\\\BOX7\\mailslot\\vel_servermonitor");
  c.SetServerName("\\\\box7");
  EXPECT_EQ(c.ChannelName(), "\\\\BOX7\\mailslot\\vel_servermonitor");
  c.SetServerName("a\\\\b-ß");  // a double backslash anywhere: nothing put in front
  EXPECT_EQ(c.ServerName(), "A\\\\B-ß");
  c.SetServerName("");
  EXPECT_EQ(c.ServerName(), "\\\\.");

  const std::string id = UniqueMailslotId();
  TVelMailslotServer server(id);
  server.Open();
  TVelMailslotClient remote(id);
  remote.SetServerName("box7");
  EXPECT_EQ(remote.Write("x"), -1);
  EXPECT_EQ(remote.LastError(),
            "TVelMailslotClient.DoOpen: Could not open Mailslot [Remote mailslots are not "
            "supported here]");

  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  TVelMailslotClient byHost(id);
  byHost.SetServerName(host);
  EXPECT_EQ(byHost.Write("y"), 2) << byHost.LastError();
  EXPECT_EQ(server.ReadAsString(), "y");
}

TEST(Mailslot, SettingServerNameClosesWithoutReopening) {
  Pair p;
  p.client.SetAutoOpen(false);
  p.client.Open();
  ASSERT_TRUE(p.client.IsOpen());
  p.client.SetServerName("");
  EXPECT_FALSE(p.client.IsOpen());
  EXPECT_EQ(p.client.Write("x"), -1);
}

// Exposes the handle so a test can make the close fail.
class BrokenServer : public TVelMailslotServer {
 public:
  using TVelMailslotServer::TVelMailslotServer;
  int Handle() const { return static_cast<int>(OsHandleValue(FHandle)); }
  void Forget() {
    FHandle = TOsHandle::Invalid;
    FIsOpen = false;
  }
};

TEST(Mailslot, OpenCloseEventsActiveFlagAndFailingClose) {
  const std::string id = UniqueMailslotId();
  BrokenServer server(id);
  int opens = 0, closes = 0;
  server.SetOnOpen([&](TVelMailslot& s) {
    ++opens;
    EXPECT_EQ(&s, &server);
  });
  server.SetOnClose([&](TVelMailslot&) { ++closes; });
  EXPECT_FALSE(server.Active());
  server.SetActive(true);  // opens, but leaves Active as it was
  EXPECT_TRUE(server.IsOpen());
  EXPECT_FALSE(server.Active());
  server.Open();  // already open: nothing
  EXPECT_EQ(opens, 1);
  EXPECT_FALSE(server.Active());

  // A new name closes and reopens under it.
  const std::string id2 = UniqueMailslotId();
  server.SetServerId(id2);
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(server.IsOpen());
  EXPECT_EQ(TVelMailslotClient(id).Write("x"), -1);
  EXPECT_EQ(TVelMailslotClient(id2).Write("x"), 2);
  server.SetServerId(id2);  // same name: nothing
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(server.MessageCount(), 1u);

  ASSERT_EQ(close(server.Handle()), 0);
  try {
    server.Close();
    FAIL() << "Close of a broken handle raised nothing";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "TVelMailslotServer.Close: Failed to close Mailslot [Bad file descriptor]");
  }
  EXPECT_TRUE(server.IsOpen());
  EXPECT_TRUE(server.Active());
  EXPECT_EQ(closes, 1);
  server.Forget();
  server.Close();
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(closes, 1);
}

TEST(Mailslot, ManyWritersOneReaderEveryMessageWhole) {
  Pair p;
  constexpr int kWriters = 4, kEach = 150;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      TVelMailslotClient client(p.id);
      for (int i = 0; i < kEach; ++i) {
        const std::string msg = "w" + std::to_string(w) + ":" + std::to_string(i) + ":" +
                                std::string(static_cast<size_t>(100 + i), 'a' + w);
        ASSERT_EQ(client.Write(msg), static_cast<int>(2 * msg.size()));
      }
    });
  }
  std::set<std::string> seen;
  std::vector<int> next(kWriters, 0);
  const bool all = test::WaitUntil([&] {
    while (p.server.MessageCount() > 0) {
      const std::string m = p.server.ReadAsString();
      const int w = m[1] - '0';
      const size_t c1 = m.find(':'), c2 = m.find(':', c1 + 1);
      const int i = std::stoi(m.substr(c1 + 1, c2 - c1 - 1));
      EXPECT_EQ(i, next[w]) << "writer " << w << " out of order";
      next[w] = i + 1;
      EXPECT_EQ(m.substr(c2 + 1), std::string(static_cast<size_t>(100 + i), 'a' + w));
      seen.insert(m);
    }
    return seen.size() == kWriters * kEach;
  });
  for (auto& t : writers) t.join();
  EXPECT_TRUE(all);
  EXPECT_EQ(p.server.DroppedCount(), 0u);
}

}  // namespace
}  // namespace vel
