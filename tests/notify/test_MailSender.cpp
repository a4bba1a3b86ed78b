#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "notify/MailSender.h"
#include "notify/MimeMessage.h"
#include "support/SmtpServer.h"
#include "support/TestSupport.h"

using namespace vel;
using vel::test::SmtpServer;
using vel::test::TempDir;

namespace {

// A loopback port where nothing listens: bound, then released.
int UnusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool Send(const SmtpServer& server, const std::string& user, const std::string& password,
          const std::string& to, const std::string& subject, const std::string& body,
          const std::string& auth, bool useTLS, std::string& status) {
  return TVelMailSender::SendEMailSMTP("127.0.0.1", user, password, to, subject, body,
                                       server.Port(), auth, useTLS, status);
}

#define START_SERVER(server) ASSERT_TRUE((server).Started()) << (server).StartError();

// Makes new senders trust the test CA of a TLS server for as long as it lives.
class TrustServerCa {
 public:
  explicit TrustServerCa(const SmtpServer& server) {
    TVelMailSender::SetDefaultCaFile(server.CaFile().string());
  }
  ~TrustServerCa() { TVelMailSender::SetDefaultCaFile(""); }
};

const char* const kConnectFailure = "TVelMailSender: Could not connect to SMTP server.\r\nReason: ";

}  // namespace

// --- Checks before any network activity ---------------------------------------------------

TEST(MailSenderChecks, EachSettingIsCheckedInOrderBeforeConnecting) {
  std::string status;
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("", "", "", "", "", "", 0, "", false, status));
  EXPECT_EQ(status, "TVelMailSender: Email host server cannot be empty");

  // Nothing listens on the port: a connection attempt would give another text.
  int port = UnusedPort();
  for (int badPort : {0, -25, 70000}) {
    status.clear();
    EXPECT_FALSE(
        TVelMailSender::SendEMailSMTP("127.0.0.1", "", "", "", "", "", badPort, "", false, status));
    EXPECT_EQ(status, "TVelMailSender: Email server port is invalid") << badPort;
  }
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "", "", "a@b", "", "", port, "none",
                                             false, status));
  EXPECT_EQ(status, "TVelMailSender: Email account cannot be empty");
  for (const char* to : {"", "   \t ", " , ; "}) {
    EXPECT_FALSE(
        TVelMailSender::SendEMailSMTP("127.0.0.1", "me", "", to, "", "", port, "", false, status));
    EXPECT_EQ(status, "TVelMailSender: Destination address cannot be empty") << to;
  }
  // A line break in an address would smuggle commands or headers into the conversation.
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "me", "", "a@b\r\nRCPT TO:<x@y>", "", "",
                                             port, "", false, status));
  EXPECT_EQ(status.rfind("TVelMailSender: Invalid destination address", 0), 0u) << status;
  // The same for a sender address (it goes into the envelope and the From header).
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "me", "", "a@b", "", "", "",
                                             "me@x\r\nBcc: y@z", "", port, satNone, false, true,
                                             status));
  EXPECT_EQ(status.rfind("TVelMailSender: Invalid sender address", 0), 0u) << status;
}

TEST(MailSenderChecks, SendMailRaisesWithTheClassName) {
  TVelMailSender sender("127.0.0.1", 25, satNone);
  try {
    sender.SendMail("a@b", "s", "b", true);
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "TVelMailSender: Email account cannot be empty");
  }
  // The sender defaults appear only once the checks before them pass.
  EXPECT_EQ(sender.FromAddress(), "");
}

TEST(MailSenderChecks, AuthenticationTextSelectsTheType) {
  EXPECT_EQ(TVelMailSender::AuthenticationFromText("none"), satNone);
  EXPECT_EQ(TVelMailSender::AuthenticationFromText("NONE"), satNone);
  EXPECT_EQ(TVelMailSender::AuthenticationFromText("sasl"), satSASL);
  EXPECT_EQ(TVelMailSender::AuthenticationFromText("SASL"), satSASL);
  EXPECT_EQ(TVelMailSender::AuthenticationFromText(""), satDefault);
  EXPECT_EQ(TVelMailSender::AuthenticationFromText("LOGIN"), satDefault);
}

TEST(MailSenderChecks, PasswordNeverAppearsInStatus) {
  // Short passwords too; they are masked where they stand alone, not inside other words.
  for (const std::string password : {"S3cretPassw0rd", "pw1", "x", "in"}) {
    std::string status;
    EXPECT_FALSE(TVelMailSender::SendEMailSMTP(
        "127.0.0.1", "me", password, "\"" + password + " <x@y>", "", "", 25, "", false, status));
    EXPECT_EQ(status.rfind("TVelMailSender: Invalid destination address", 0), 0u) << status;
    EXPECT_EQ(status.find("\"" + password + " <"), std::string::npos) << status;
    EXPECT_NE(status.find("\"***** <"), std::string::npos) << status;
  }
}

// --- Message building ----------------------------------------------------------------------

TEST(MailMessage, HtmlBodyEscapesAndBreaksLines) {
  EXPECT_EQ(TVelMailSender::BuildHtmlBody("a\r\nb", true),
            "<html><head></head><body>a<br>b<br></body></html>");
  EXPECT_EQ(TVelMailSender::BuildHtmlBody("", true), "<html><head></head><body></body></html>");
  // Lone CR and LF break too; a break at the end adds no empty line; empty lines count.
  EXPECT_EQ(TVelMailSender::BuildHtmlBody("a\rb\nc\r\n\r\nd\n", true),
            "<html><head></head><body>a<br>b<br>c<br><br>d<br></body></html>");
  EXPECT_EQ(TVelMailSender::BuildHtmlBody("a\nb", false),
            "<html><head></head><body>ab</body></html>");
  EXPECT_EQ(TVelMailSender::BuildHtmlBody("<script>x</script> & \"q\"", true),
            "<html><head></head><body>&lt;script&gt;x&lt;/script&gt; &amp; "
            "&quot;q&quot;<br></body></html>");
}

TEST(MailMessage, RecipientListsWithDisplayNames) {
  std::vector<TMailAddress> list;
  std::string error;
  ASSERT_TRUE(ParseMailAddresses(
      "\"Doe, John\" <john@x.org>, Jane Roe <jane@y.org>; plain@z.org,, <b@c>", list, error))
      << error;
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].Name, "Doe, John");
  EXPECT_EQ(list[0].Address, "john@x.org");
  EXPECT_EQ(list[1].Name, "Jane Roe");
  EXPECT_EQ(list[1].Address, "jane@y.org");
  EXPECT_EQ(list[2].Name, "");
  EXPECT_EQ(list[2].Address, "plain@z.org");
  EXPECT_EQ(list[3].Address, "b@c");
  for (const char* bad :
       {"Jane <jane@y.org", "\"open quote <a@b>", "two words@x", "<>", "a <b@c> trailing"}) {
    EXPECT_FALSE(ParseMailAddresses(bad, list, error)) << bad;
  }
}

TEST(MailMessage, HeadersStayAsciiAndLinesShort) {
  EXPECT_EQ(EncodeHeaderText("Plain subject"), "Plain subject");
  EXPECT_EQ(EncodeHeaderText("a\r\nBcc: x@y"), "a  Bcc: x@y");
  std::string encoded = EncodeHeaderText(std::string(40, 'x') + "\xC3\xA4\xE6\x9D\xB1\xE4\xBA\xAC" +
                                         std::string(60, 'y'));
  size_t start = 0;
  while (start < encoded.size()) {
    size_t end = encoded.find("\r\n", start);
    if (end == std::string::npos) end = encoded.size();
    EXPECT_LE(end - start, 76u);
    for (size_t i = start; i < end; ++i) EXPECT_LT(static_cast<unsigned char>(encoded[i]), 128);
    start = end + 2;
  }
  std::string qp =
      EncodeQuotedPrintable(std::string(300, 'a') + "=\xC3\xA4 " + std::string(200, '.'));
  for (size_t s = 0, e; s < qp.size(); s = e + 2) {
    e = qp.find("\r\n", s);
    if (e == std::string::npos) e = qp.size();
    EXPECT_LE(e - s, 76u);
    EXPECT_NE(qp[s], '.') << "a line starts with a dot";
  }
  EXPECT_EQ(
      FormatMailDate(std::chrono::sys_days{std::chrono::year{2026} / 12 / 9} +
                     std::chrono::hours{8} + std::chrono::minutes{5} + std::chrono::seconds{7}),
      "Wed, 09 Dec 2026 08:05:07 +0000");
}

// --- Delivery to a real SMTP server on 127.0.0.1 -------------------------------------------

TEST(MailSenderDelivery, PlainDeliveryWithSenderDefaultsAndHeaders) {
  TempDir dir;
  SmtpServer server(dir.path());
  START_SERVER(server);
  std::string status = "untouched";
  ASSERT_TRUE(Send(server, "monitor", "", "ops@example.com", "Alert", "line 1\r\nline 2", "none",
                   false, status))
      << status;
  EXPECT_EQ(status, "untouched");
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->parseError, "");
  EXPECT_EQ(m->mailFrom, "monitor@127.0.0.1");
  EXPECT_EQ(m->rcptTos, std::vector<std::string>{"ops@example.com"});
  EXPECT_FALSE(m->tls);
  EXPECT_EQ(m->authMechanism, "");
  EXPECT_EQ(m->from, "monitor <monitor@127.0.0.1>");
  EXPECT_EQ(m->subject, "Alert");
  EXPECT_EQ(m->body, "<html><head></head><body>line 1<br>line 2<br></body></html>");
  for (const char* header :
       {"Date: ", "\r\nMessage-ID: <", "Content-Type: text/html; charset=utf-8",
        "Content-Transfer-Encoding: quoted-printable", "MIME-Version: 1.0"}) {
    EXPECT_NE(m->data.find(header), std::string::npos) << header;
  }
  EXPECT_EQ(m->data.find("Organization:"), std::string::npos);

  // A user name with an at sign is the sender address as it is.
  ASSERT_TRUE(
      Send(server, "alerts@example.org", "", "ops@example.com", "A", "b", "none", false, status));
  auto m2 = server.WaitForMessage(2);
  ASSERT_TRUE(m2);
  EXPECT_EQ(m2->mailFrom, "alerts@example.org");
}

TEST(MailSenderDelivery, FullFormSetsSenderOrganizationAndKeepsLinesUnbroken) {
  TempDir dir;
  SmtpServer server(dir.path());
  START_SERVER(server);
  std::string status;
  ASSERT_TRUE(TVelMailSender::SendEMailSMTP("127.0.0.1", "u", "", "ops@example.com", "S", "a\r\nb",
                                            "Server Mönitor", "noreply@example.org", "Velmora Ops",
                                            server.Port(), satNone, false, false, status))
      << status;
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->mailFrom, "noreply@example.org");
  EXPECT_EQ(m->from, "Server Mönitor <noreply@example.org>");
  EXPECT_NE(m->data.find("Organization: Velmora Ops\r\n"), std::string::npos);
  EXPECT_EQ(m->body, "<html><head></head><body>ab</body></html>");
}

TEST(MailSenderDelivery, RecipientsWithDisplayNamesAndEscapedBody) {
  TempDir dir;
  SmtpServer server(dir.path());
  START_SERVER(server);
  std::string status;
  const std::string body =
      "EAccessViolation at <0x0040> & \"quoted\"\r\n<img src=x onerror=alert(1)>\r\n" +
      std::string(500, 'z') + " ü";
  ASSERT_TRUE(Send(server, "monitor", "",
                   "\"Doe, John\" <john@example.com>, Jane Roe <jane@example.com>, x@example.com",
                   "Fehler im Büro – 東京", body, "none", false, status))
      << status;
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->rcptTos,
            (std::vector<std::string>{"john@example.com", "jane@example.com", "x@example.com"}));
  EXPECT_NE(m->to.find("\"Doe, John\" <john@example.com>"), std::string::npos) << m->to;
  EXPECT_NE(m->to.find("Jane Roe <jane@example.com>"), std::string::npos) << m->to;
  EXPECT_EQ(m->subject, "Fehler im Büro – 東京");
  EXPECT_EQ(
      m->body,
      "<html><head></head><body>EAccessViolation at &lt;0x0040&gt; &amp; &quot;quoted&quot;<br>"
      "&lt;img src=x onerror=alert(1)&gt;<br>" +
          std::string(500, 'z') + " ü<br></body></html>");
  // Everything on the wire is 7-bit and within SMTP's line limits.
  for (size_t s = 0, e; s < m->data.size(); s = e + 1) {
    e = m->data.find('\n', s);
    if (e == std::string::npos) e = m->data.size();
    EXPECT_LE(e - s, 78u);
    for (size_t i = s; i < e; ++i)
      ASSERT_LT(static_cast<unsigned char>(m->data[i]), 128) << "8-bit byte";
  }
}

TEST(MailSenderDelivery, StartTlsWithLogin) {
  TempDir dir;
  SmtpServer::Options o;
  o.tls = SmtpServer::Tls::StartTls;
  o.user = "monitor";
  o.password = "pa55word";
  o.authRequired = true;
  SmtpServer server(dir.path(), o);
  START_SERVER(server);
  TrustServerCa trust(server);
  std::string status;
  ASSERT_TRUE(Send(server, "monitor", "pa55word", "ops@example.com", "S", "b", "", true, status))
      << status;
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->tls);
  EXPECT_TRUE(m->tlsVersion == "TLSv1.3" || m->tlsVersion == "TLSv1.2") << m->tlsVersion;
  EXPECT_EQ(m->login, "monitor");
  EXPECT_EQ(m->authMechanism, "PLAIN");
}

TEST(MailSenderDelivery, ServerCertificateIsVerifiedUnlessSwitchedOff) {
  TempDir dir;
  SmtpServer::Options o;
  o.tls = SmtpServer::Tls::StartTls;
  o.user = "monitor";
  o.password = "pa55word";
  SmtpServer server(dir.path(), o);
  START_SERVER(server);
  // The test CA is not in the system's store: refused before the login.
  std::string status;
  EXPECT_FALSE(Send(server, "monitor", "pa55word", "ops@example.com", "S", "b", "", true, status));
  EXPECT_EQ(status.rfind(kConnectFailure, 0), 0u) << status;
  EXPECT_NE(status.find("certificate"), std::string::npos) << status;
  EXPECT_FALSE(server.LoginAttempted());
  // An operator who switched the check off gets the mail through, still encrypted.
  status.clear();
  ASSERT_TRUE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "pa55word", "ops@example.com",
                                            "S", "b", server.Port(), "", true, status, false))
      << status;
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->tls);
  // With the CA trusted, the certificate and its host name pass.
  TrustServerCa trust(server);
  ASSERT_TRUE(Send(server, "monitor", "pa55word", "ops@example.com", "S", "b", "", true, status))
      << status;
  EXPECT_TRUE(server.WaitForMessage(2));
}

TEST(MailSenderDelivery, TlsRequestedButNotOfferedIsRefusedBeforeTheLogin) {
  TempDir dir;
  SmtpServer::Options o;
  o.user = "monitor";
  o.password = "pa55word";
  SmtpServer server(dir.path(), o);
  START_SERVER(server);
  std::string status;
  EXPECT_FALSE(Send(server, "monitor", "pa55word", "ops@example.com", "S", "b", "", true, status));
  EXPECT_EQ(status, std::string(kConnectFailure) +
                        "the server does not offer STARTTLS, and UseTLS does not allow plain text");
  EXPECT_FALSE(server.LoginAttempted());
  EXPECT_EQ(server.MessageCount(), 0);
}

TEST(MailSenderDelivery, DefaultLoginUsesLoginOrPlain) {
  for (const char* mech : {"LOGIN", "PLAIN"}) {
    TempDir dir;
    SmtpServer::Options o;
    o.user = "monitor";
    o.password = "pa55word";
    o.onlyMechanism = mech;
    o.authRequired = true;
    SmtpServer server(dir.path(), o);
    START_SERVER(server);
    std::string status;
    ASSERT_TRUE(
        Send(server, "monitor", "pa55word", "ops@example.com", "S", "b", "default", false, status))
        << mech << ": " << status;
    auto m = server.WaitForMessage(1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->authMechanism, mech);
    EXPECT_EQ(m->login, "monitor");
  }
}

TEST(MailSenderDelivery, SaslTakesTheStrongestMechanismThatNeedsOnlyAPassword) {
  // GSSAPI and NTLM are offered too: they need a Kerberos ticket or a domain, and a client
  // that picks one fails without trying another. A user name with a domain part is what
  // makes the client consider them.
  for (bool cram : {true, false}) {
    TempDir dir;
    SmtpServer::Options o;
    o.tls = SmtpServer::Tls::StartTls;
    o.user = "monitor@example.org";
    o.password = "pa55word";
    o.offerCramMd5 = cram;
    o.offerUnusable = true;
    o.authRequired = true;
    SmtpServer server(dir.path(), o);
    START_SERVER(server);
    TrustServerCa trust(server);
    std::string status;
    ASSERT_TRUE(Send(server, o.user, "pa55word", "ops@example.com", "S", "b", "SASL", true, status))
        << "CRAM-MD5 offered: " << cram << ": " << status;
    auto m = server.WaitForMessage(1);
    ASSERT_TRUE(m);
    if (cram)
      EXPECT_EQ(m->authMechanism, "CRAM-MD5");
    else
      EXPECT_TRUE(m->authMechanism == "PLAIN" || m->authMechanism == "LOGIN") << m->authMechanism;
    EXPECT_EQ(m->login, o.user);
  }
}

TEST(MailSenderDelivery, RefusedLoginAndRecipientCarryTheServerReply) {
  TempDir dir;
  SmtpServer::Options o;
  o.tls = SmtpServer::Tls::StartTls;
  o.refuseAuth = true;
  o.user = "monitor";
  o.password = "right";
  SmtpServer server(dir.path(), o);
  START_SERVER(server);
  TrustServerCa trust(server);
  std::string status;
  const std::string password = "Wr0ngPassword";
  EXPECT_FALSE(Send(server, "monitor", password, "ops@example.com", "S", "b", "", true, status));
  EXPECT_NE(status.find("535"), std::string::npos) << status;
  EXPECT_NE(status.find("Authentication credentials invalid"), std::string::npos) << status;
  EXPECT_EQ(status.find("Could not connect"), std::string::npos) << status;
  EXPECT_EQ(status.find(password), std::string::npos) << status;

  status.clear();
  EXPECT_FALSE(Send(server, "monitor", "", "ops@example.com, unknown@example.com", "S", "b", "none",
                    true, status));
  EXPECT_NE(status.find("550 5.1.1 No such user here"), std::string::npos) << status;
  EXPECT_EQ(server.MessageCount(), 0);
}

TEST(MailSenderDelivery, NothingListeningFailsFast) {
  std::string status;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "me", "pw", "a@b", "S", "b", UnusedPort(),
                                             "", true, status));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(1));
  EXPECT_EQ(status.rfind(kConnectFailure, 0), 0u) << status;
  EXPECT_NE(status.find("Connection refused"), std::string::npos) << status;
}

TEST(MailSenderDelivery, ServerThatNeverAcceptsTimesOutAfter300Ms) {
  // A listening socket whose queue (backlog 0) is filled by one connection: the kernel drops
  // further connection attempts, as an unreachable host would.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  ASSERT_EQ(::listen(listener, 0), 0);
  int filler = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

  std::string status;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "me", "", "a@b", "S", "b",
                                             ntohs(a.sin_port), "", false, status));
  auto elapsed = std::chrono::steady_clock::now() - start;
  ::close(filler);
  ::close(listener);
  EXPECT_GE(elapsed, std::chrono::milliseconds(250));
  EXPECT_LT(elapsed, std::chrono::seconds(1));
  EXPECT_EQ(status.rfind(kConnectFailure, 0), 0u) << status;
  EXPECT_NE(status.find("no connection within 300 ms"), std::string::npos) << status;
}

TEST(MailSenderDelivery, KeepConnectedReusesTheConnection) {
  TempDir dir;
  SmtpServer server(dir.path());
  START_SERVER(server);
  TVelMailSender sender("127.0.0.1", server.Port(), satNone);
  sender.SetUsername("monitor");
  sender.SetKeepConnected(true);
  sender.SendMail("ops@example.com", "one", "1", true);
  sender.SendMail("ops@example.com", "two", "2", true);
  auto m1 = server.WaitForMessage(1);
  auto m2 = server.WaitForMessage(2);
  ASSERT_TRUE(m1 && m2);
  EXPECT_EQ(m1->peerPort, m2->peerPort);
  EXPECT_EQ(m2->subject, "two");

  TVelMailSender fresh("127.0.0.1", server.Port(), satNone);
  fresh.SetUsername("monitor");
  fresh.SendMail("ops@example.com", "three", "3", true);
  fresh.SendMail("ops@example.com", "four", "4", true);
  auto m3 = server.WaitForMessage(3);
  auto m4 = server.WaitForMessage(4);
  ASSERT_TRUE(m3 && m4);
  EXPECT_NE(m3->peerPort, m4->peerPort);
}

TEST(MailSenderDelivery, Port465WithTlsIsImplicitTls) {
  TempDir dir;
  SmtpServer::Options o;
  o.tls = SmtpServer::Tls::Implicit;
  o.port = 465;
  SmtpServer server(dir.path(), o);
  if (!server.Started()) GTEST_SKIP() << "port 465 is not available here: " << server.StartError();
  TrustServerCa trust(server);
  std::string status;
  ASSERT_TRUE(Send(server, "monitor", "", "ops@example.com", "S", "b", "none", true, status))
      << status;
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->tls);
}
