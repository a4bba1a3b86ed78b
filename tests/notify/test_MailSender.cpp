#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "notify/MailSender.h"
#include "notify/MimeMessage.h"
#include "support/LoopbackPorts.h"
#include "support/SmtpServer.h"
#include "support/TestSupport.h"

using namespace vel;
using vel::test::SmtpServer;
using vel::test::TempDir;

namespace {

// A loopback port where nothing listens.
int UnusedPort() {
  return vel::test::UnusedLoopbackPort();
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
  std::vector<std::string> invalid;
  std::string error;
  ASSERT_TRUE(
      ParseMailAddresses("\"Doe, John\" <john@x.org>, Jane Roe <jane@y.org>; plain@z.org,, <b@c>, "
                         "Доска, Ops <ops@x.org>, two words@x, <>, a <b@c> trailing, nobody",
                         list, invalid, error))
      << error;
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& m : list) got.emplace_back(m.Name, m.Address);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{{"Doe, John", "john@x.org"},
                                                                   {"Jane Roe", "jane@y.org"},
                                                                   {"", "plain@z.org"},
                                                                   {"", "b@c"},
                                                                   {"Ops", "ops@x.org"}}));
  // An unquoted comma splits a name: the part without an address is never sent to.
  EXPECT_EQ(invalid,
            (std::vector<std::string>{"Доска", "two words@x", "<>", "a <b@c> trailing", "nobody"}));
  for (const char* malformed : {"Jane <jane@y.org", "\"open quote <a@b>"})
    EXPECT_FALSE(ParseMailAddresses(malformed, list, invalid, error)) << malformed;
}

// Every line of a header block: at most 76 characters, 7-bit.
static void ExpectShortAsciiLines(const std::string& headers) {
  for (size_t s = 0, e; s < headers.size(); s = e + 2) {
    e = headers.find("\r\n", s);
    if (e == std::string::npos) e = headers.size();
    EXPECT_LE(e - s, 76u) << headers.substr(s, e - s);
    for (size_t i = s; i < e; ++i)
      ASSERT_LT(static_cast<unsigned char>(headers[i]), 128) << headers;
  }
}

TEST(MailMessage, HeadersStayAsciiAndLinesShort) {
  EXPECT_EQ(HeaderField("Subject", "Plain subject"), "Subject: Plain subject\r\n");
  EXPECT_EQ(HeaderField("Subject", "a\r\nBcc: x@y"), "Subject: a  Bcc: x@y\r\n");
  const std::string longName(70, 'n');
  for (const std::string& field :
       {HeaderField("Subject", std::string(40, 'x') + "\xC3\xA4\xE6\x9D\xB1\xE4\xBA\xAC" +
                                   std::string(60, 'y')),
        HeaderField("Subject", std::string(90, 'w') + " and more words " + std::string(30, 'z')),
        MailboxField("To", {{"Ünïcödé Ops Team of the Northern Region", "ops@example.com"},
                            {longName, "long@example.com"},
                            {"", "plain@example.com"}})})
    ExpectShortAsciiLines(field);
  std::string qp =
      EncodeQuotedPrintable(std::string(300, 'a') + "=\xC3\xA4 " + std::string(200, '.'));
  ExpectShortAsciiLines(qp);
  for (size_t s = 0; s < qp.size(); s = qp.find("\r\n", s) + 2) {
    EXPECT_NE(qp[s], '.') << "a line starts with a dot";
    if (qp.find("\r\n", s) == std::string::npos) break;
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
  // Long enough to be folded, with the label counted.
  const std::string subject = "Fehler im Büro – 東京: Zugriffsverletzung in Modul Buchhaltung.exe";
  ASSERT_TRUE(Send(server, "monitor", "",
                   "\"Doe, John\" <john@example.com>, \"Доска объявлений, Ops\" "
                   "<board@example.com>, x@example.com",
                   subject, body, "none", false, status))
      << status;
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->rcptTos,
            (std::vector<std::string>{"john@example.com", "board@example.com", "x@example.com"}));
  EXPECT_NE(m->to.find("\"Doe, John\" <john@example.com>"), std::string::npos) << m->to;
  EXPECT_NE(m->to.find("\"Доска объявлений, Ops\" <board@example.com>"), std::string::npos)
      << m->to;
  EXPECT_EQ(m->subject, subject);
  EXPECT_EQ(
      m->body,
      "<html><head></head><body>EAccessViolation at &lt;0x0040&gt; &amp; &quot;quoted&quot;<br>"
      "&lt;img src=x onerror=alert(1)&gt;<br>" +
          std::string(500, 'z') + " ü<br></body></html>");
  // Everything on the wire is 7-bit; header lines keep to 76 characters, body lines to 78.
  const size_t headerEnd = m->data.find("\r\n\r\n");
  ASSERT_NE(headerEnd, std::string::npos);
  ExpectShortAsciiLines(m->data.substr(0, headerEnd));
  for (size_t s = headerEnd + 4, e; s < m->data.size(); s = e + 1) {
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

TEST(MailSenderDelivery, RefusedLoginCarriesTheServerReply) {
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
}

TEST(MailSenderDelivery, RefusedRecipientsAreLeftOutAndNamed) {
  TempDir dir;
  SmtpServer server(dir.path());
  START_SERVER(server);
  // The others still get the alert; the refused and the unusable are named on one line,
  // the server's two-line reply joined.
  std::string status;
  ASSERT_TRUE(Send(server, "monitor", "", "ops@example.com, unknown@example.com, Доска", "S", "b",
                   "none", false, status))
      << status;
  EXPECT_EQ(status,
            "TVelMailSender: not delivered to unknown@example.com (550 5.1.1 No such user here "
            "5.1.1 Mailbox unavailable), Доска (not an e-mail address)");
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->rcptTos, std::vector<std::string>{"ops@example.com"});

  status.clear();
  EXPECT_FALSE(Send(server, "monitor", "", "unknown1@example.com, unknown2@example.com", "S", "b",
                    "none", false, status));
  EXPECT_EQ(status,
            "TVelMailSender: No recipient was accepted: unknown1@example.com (550 5.1.1 No such "
            "user here 5.1.1 Mailbox unavailable), unknown2@example.com (550 5.1.1 No such user "
            "here 5.1.1 Mailbox unavailable)");
  EXPECT_FALSE(Send(server, "monitor", "", "Доска", "S", "b", "none", false, status));
  EXPECT_EQ(status, "TVelMailSender: Invalid destination address: Доска");
  EXPECT_EQ(server.MessageCount(), 1);
}

TEST(MailSenderDelivery, ConfiguredLoginThatTheServerDoesNotOfferFails) {
  // The relay offers AUTH only after STARTTLS; without TLS the message would go out
  // unauthenticated and may bounce later.
  TempDir dir;
  SmtpServer::Options o;
  o.tls = SmtpServer::Tls::StartTls;
  o.user = "monitor";
  o.password = "pa55word";
  o.authAfterTls = true;
  SmtpServer server(dir.path(), o);
  START_SERVER(server);
  std::string status;
  EXPECT_FALSE(
      Send(server, "monitor", "pa55word", "ops@example.com", "S", "b", "default", false, status));
  EXPECT_EQ(status, std::string(kConnectFailure) +
                        "a user name and a password are configured, but the server offers no "
                        "login before STARTTLS (UseTLS=1 starts it); the message was not sent");
  EXPECT_EQ(server.MessageCount(), 0);
  TrustServerCa trust(server);
  ASSERT_TRUE(
      Send(server, "monitor", "pa55word", "ops@example.com", "S", "b", "default", true, status))
      << status;
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->login, "monitor");
}

TEST(MailSenderDelivery, NothingListeningFailsFastNamingEachAddress) {
  const int port = UnusedPort();
  const std::string where = " port " + std::to_string(port);
  // libcurl resolves localhost to both loopback addresses itself.
  const std::pair<const char*, std::string> cases[] = {
      {"127.0.0.1", "Failed to connect to 127.0.0.1" + where + ": Connection refused"},
      {"localhost", "Failed to connect to localhost" + where +
                        " (127.0.0.1: Connection refused; ::1: Connection refused)"},
  };
  for (const auto& [host, text] : cases) {
    std::string status;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(
        TVelMailSender::SendEMailSMTP(host, "me", "pw", "a@b", "S", "b", port, "", true, status));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(status, kConnectFailure + text);
  }
}

TEST(MailSenderDelivery, EachAddressGetsTheConnectTimeout) {
  // A listening socket whose queue (backlog 0) is filled by one connection: the kernel drops
  // further connection attempts, as a lost packet or an unreachable host would.
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
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("localhost", "me", "", "a@b", "S", "b",
                                             ntohs(a.sin_port), "", false, status, true, 1));
  auto elapsed = std::chrono::steady_clock::now() - start;
  ::close(filler);
  ::close(listener);
  EXPECT_GE(elapsed, std::chrono::milliseconds(950));
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  EXPECT_EQ(status.rfind(kConnectFailure, 0), 0u) << status;
  EXPECT_NE(status.find("::1: Connection refused"), std::string::npos) << status;
  EXPECT_NE(status.find("127.0.0.1: no connection within 1 s"), std::string::npos) << status;
}

TEST(MailSenderDelivery, SlowConnectionAndARefusingAddressStillDeliver) {
  // The first SYN to 127.0.0.1 is lost and resent a second later; ::1 refuses.
  TempDir dir;
  SmtpServer::Options o;
  o.acceptDelayS = 1.5;
  SmtpServer server(dir.path(), o);
  START_SERVER(server);
  std::string status;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(TVelMailSender::SendEMailSMTP("localhost", "monitor", "", "ops@example.com", "Slow",
                                            "b", server.Port(), "none", false, status))
      << status;
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(server.WaitForMessage(1));
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

TEST(MailSenderDelivery, Port465IsImplicitTls) {
  TempDir dir;
  SmtpServer::Options o;
  o.tls = SmtpServer::Tls::Implicit;
  o.port = 465;
  SmtpServer server(dir.path(), o);
  if (!server.Started()) GTEST_SKIP() << "port 465 is not available here: " << server.StartError();
  TrustServerCa trust(server);
  // Without TLS the server waits for a handshake and never greets.
  std::string status;
  EXPECT_FALSE(TVelMailSender::SendEMailSMTP("127.0.0.1", "monitor", "", "ops@example.com", "S",
                                             "b", 465, "none", false, status, true, 1));
  EXPECT_EQ(status, std::string(kConnectFailure) +
                        "the server did not greet within 1 s; port 465 expects TLS (UseTLS=1)");
  status.clear();
  ASSERT_TRUE(Send(server, "monitor", "", "ops@example.com", "S", "b", "none", true, status))
      << status;
  auto m = server.WaitForMessage(1);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->tls);
}
