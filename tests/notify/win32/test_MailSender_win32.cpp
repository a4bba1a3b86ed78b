// The Windows SMTP client against the local SMTP servers that CTest starts for it
// (tests/support/smtp_fixture.py; VEL_SMTP_FIXTURE names their folder as a Linux path).
#include <gtest/gtest.h>
#include <winsock2.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>

#include "notify/MailSender.h"
#include "support/TestSupport.h"

using namespace vel;
using vel::test::ReadFile;
using vel::test::WaitUntil;

namespace {

const char* const kConnectFailure = "TVelMailSender: Could not connect to SMTP server.\r\nReason: ";

// The fixture's folder for one kind of server, seen through Wine's Z: drive.
std::filesystem::path ServerDir(const std::string& kind) {
  const char* root = std::getenv("VEL_SMTP_FIXTURE");
  std::string path = std::string("Z:") + (root ? root : "/nonexistent") + "/" + kind;
  for (char& ch : path)
    if (ch == '/') ch = '\\';
  return path;
}

int Port(const std::string& kind) {
  std::string text = ReadFile(ServerDir(kind) / "port");
  return text.empty() ? 0 : std::stoi(text);
}

// The envelope and the decoded headers of the message with this subject, as "key: value"
// lines of the server's .meta file.
std::optional<std::map<std::string, std::string>> WaitForMessage(const std::string& kind,
                                                                 const std::string& subject) {
  std::map<std::string, std::string> found;
  bool ok = WaitUntil([&] {
    for (const auto& entry : std::filesystem::directory_iterator(ServerDir(kind))) {
      if (entry.path().extension() != ".meta") continue;
      std::map<std::string, std::string> fields;
      std::string text = ReadFile(entry.path());
      for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        size_t colon = line.find(": ");
        if (colon != std::string::npos) fields[line.substr(0, colon)] = line.substr(colon + 2);
        pos = end + 1;
      }
      if (fields["subject"] == subject) {
        found = fields;
        return true;
      }
    }
    return false;
  });
  if (!ok) return std::nullopt;
  return found;
}

int MessagesWithSubject(const std::string& kind, const std::string& subject) {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ServerDir(kind)))
    if (entry.path().extension() == ".meta" &&
        ReadFile(entry.path()).find("subject: " + subject + "\n") != std::string::npos)
      ++n;
  return n;
}

#define REQUIRE_SERVER(kind) \
  if (Port(kind) == 0) GTEST_SKIP() << "no " << kind << " test server (port 465 taken?)";

struct TDelivery {
  const char* name;
  const char* kind;
  const char* auth;
  bool useTLS;
  bool trustTestCa;  // verify against the server's test CA; otherwise no verification
  const char* mechanism;
};

}  // namespace

TEST(MailSenderWin32, DeliversOverEachKindOfConnection) {
  const TDelivery cases[] = {
      {"no login", "plain", "none", false, false, ""},
      {"default login", "plain", "default", false, false, "PLAIN"},
      {"LOGIN alone", "loginonly", "default", false, false, "LOGIN"},
      {"STARTTLS, SASL", "starttls", "SASL", true, true, "CRAM-MD5"},
      {"STARTTLS, default", "starttls", "default", true, false, "PLAIN"},
      {"port 465", "implicit", "default", true, true, "PLAIN"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (Port(c.kind) == 0) continue;  // port 465 may be taken
    const std::string subject = std::string("Delivery: ") + c.name;
    if (c.trustTestCa)
      TVelMailSender::SetDefaultCaFile((ServerDir(c.kind) / "smtp-ca.pem").string());
    std::string status = "untouched";
    bool sent = TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "secret", "ops@example.com",
                                              subject, "line 1\n.line 2", Port(c.kind), c.auth,
                                              c.useTLS, status, c.trustTestCa);
    TVelMailSender::SetDefaultCaFile("");
    ASSERT_TRUE(sent) << status;
    EXPECT_EQ(status, "untouched");
    auto m = WaitForMessage(c.kind, subject);
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)["mail_from"], "monitor@127.0.0.1");
    EXPECT_EQ((*m)["rcpt"], "ops@example.com");
    EXPECT_EQ((*m)["auth"], c.mechanism);
    EXPECT_EQ((*m)["tls"], c.useTLS ? "1" : "0");
    if (c.useTLS) {
      // Wine's Schannel has no 1.3, so neither the 1.3 credentials nor a post-handshake
      // message (a session ticket, SEC_I_RENEGOTIATE) can be seen here.
      EXPECT_EQ((*m)["tls_version"], "TLSv1.2");
    }
    // The dot at the start of a line survives the transfer.
    EXPECT_EQ((*m)["body"], "<html><head></head><body>line 1<br>.line 2<br></body></html>");
  }
}

TEST(MailSenderWin32, KeptConnectionCarriesTwoMessages) {
  TVelMailSender sender("127.0.0.1", Port("plain"), satDefault);
  sender.SetUsername("monitor");
  sender.SetPassword("secret");
  sender.SetKeepConnected(true);
  sender.SendMail("ops@example.com", "Kept 1", "one", true);
  sender.SendMail("ops@example.com", "Kept 2", "two", true);
  auto first = WaitForMessage("plain", "Kept 1");
  auto second = WaitForMessage("plain", "Kept 2");
  ASSERT_TRUE(first && second);
  EXPECT_EQ((*first)["peer"], (*second)["peer"]);
}

TEST(MailSenderWin32, UntrustedCertificateIsRefusedBeforeTheLogin) {
  REQUIRE_SERVER("refusing");
  std::string status;
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "Secret123", "ops@example.com",
                                             "Untrusted", "b", Port("refusing"), "", true, status));
  EXPECT_EQ(status, std::string(kConnectFailure) +
                        "the server's certificate is not issued by a trusted authority");
}

TEST(MailSenderWin32, RefusedLoginCarriesTheServerReplyNotThePassword) {
  const std::string password = "Wr0ngPassword";
  std::string status;
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", password, "ops@example.com",
                                             "Refused", "b", Port("refusing"), "", true, status,
                                             false));
  EXPECT_NE(status.find("535 5.7.8 Authentication credentials invalid"), std::string::npos)
      << status;
  EXPECT_EQ(status.find("Could not connect"), std::string::npos) << status;
  EXPECT_EQ(status.find(password), std::string::npos) << status;
}

TEST(MailSenderWin32, ServerDroppingTheConnectionInsideTheMessageFails) {
  std::string status;
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "", "ops@example.com",
                                             "Dropped", "b", Port("dropping"), "none", false,
                                             status));
  EXPECT_NE(status.find("Failure when receiving data from the peer"), std::string::npos) << status;
  EXPECT_EQ(MessagesWithSubject("dropping", "Dropped"), 0);
}

TEST(MailSenderWin32, RefusedRecipientIsLeftOutAndNamed) {
  std::string status;
  ASSERT_TRUE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "",
                                            "ops@example.com, "
                                            "unknown@example.com",
                                            "Refused recipient", "b", Port("plain"), "none", false,
                                            status))
      << status;
  EXPECT_EQ(status,
            "TVelMailSender: not delivered to unknown@example.com (550 5.1.1 No such user here "
            "5.1.1 Mailbox unavailable)");
  auto m = WaitForMessage("plain", "Refused recipient");
  ASSERT_TRUE(m);
  EXPECT_EQ((*m)["rcpt"], "ops@example.com");
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "", "unknown@example.com",
                                             "All refused", "b", Port("plain"), "none", false,
                                             status));
  EXPECT_EQ(status.rfind("TVelMailSender: No recipient was accepted: unknown@example.com (550", 0),
            0u)
      << status;
}

TEST(MailSenderWin32, ConfiguredLoginThatTheServerDoesNotOfferFails) {
  // AUTH comes only after STARTTLS, and UseTLS is off.
  std::string status;
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "secret", "ops@example.com",
                                             "No login", "b", Port("authaftertls"), "", false,
                                             status));
  EXPECT_EQ(status, std::string(kConnectFailure) +
                        "a user name and a password are configured, but the server offers no "
                        "login before STARTTLS (UseTLS=1 starts it); the message was not sent");
  EXPECT_EQ(MessagesWithSubject("authaftertls", "No login"), 0);
}

TEST(MailSenderWin32, PlainTextOnPort465IsNamed) {
  REQUIRE_SERVER("implicit");
  std::string status;
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "", "ops@example.com",
                                             "Plain on 465", "b", 465, "none", false, status, true,
                                             1));
  EXPECT_EQ(status, std::string(kConnectFailure) +
                        "the server did not greet within 1 s; port 465 expects TLS (UseTLS=1)");
}

TEST(MailSenderWin32, ConnectTimeoutIsConfigurable) {
  // A listening socket whose queue (backlog 0) is filled by one connection: further
  // connection attempts are dropped (Wine's sockets are the host's).
  WSADATA wsa;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  int len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  ASSERT_EQ(listen(listener, 0), 0);
  SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  std::string status;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "me", "", "a@b", "S", "b",
                                             ntohs(a.sin_port), "none", false, status, true, 1));
  auto elapsed = std::chrono::steady_clock::now() - start;
  closesocket(filler);
  closesocket(listener);
  WSACleanup();
  EXPECT_GE(elapsed, std::chrono::milliseconds(950));
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  EXPECT_EQ(status, std::string(kConnectFailure) + "Failed to connect to 127.0.0.1 port " +
                        std::to_string(ntohs(a.sin_port)) + ": no connection within 1 s");
}

TEST(MailSenderWin32, NothingListeningFailsWithinASecond) {
  std::string status;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "me", "pw", "a@b", "S", "b",
                                             Port("unused"), "", true, status));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(status, std::string(kConnectFailure) + "Failed to connect to 127.0.0.1 port " +
                        std::to_string(Port("unused")) + ": Connection refused");
}

TEST(MailSenderWin32, TlsRequiredButNotOfferedFailsWithoutLoggingIn) {
  std::string status;
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "secret", "ops@example.com",
                                             "No TLS", "b", Port("notls"), "", true, status));
  EXPECT_EQ(status, std::string(kConnectFailure) +
                        "the server does not offer STARTTLS, and UseTLS does not allow plain text");
  EXPECT_FALSE(std::filesystem::exists(ServerDir("notls") / "auth.log"));
  EXPECT_EQ(MessagesWithSubject("notls", "No TLS"), 0);
}
