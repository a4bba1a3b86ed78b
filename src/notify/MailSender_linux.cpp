// The SMTP transfer through libcurl's SMTP.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "common/Exception.h"
#include "notify/MailSender.h"
#include "notify/MimeMessage.h"
#include "notify/SmtpTexts.h"

namespace vel {

namespace {

// The greeting, STARTTLS, the TLS handshake and the login together, after the TCP connection.
constexpr long kHandshakeTimeoutMs = 30000;
// Addresses of one host name that the connect phase allows time for.
constexpr long kAddressesAllowedFor = 4;
constexpr long kServerResponseTimeoutS = 60;
// The port where SMTP runs inside TLS from the first byte.
constexpr int kImplicitTlsPort = 465;

// Mechanisms that need nothing beyond a user name and a password. Left to itself the client
// would also pick GSSAPI, NTLM or EXTERNAL when offered, which need a Kerberos ticket, a
// domain or a client certificate, and fail without trying another.
constexpr const char* kSaslMechanisms = "AUTH=CRAM-MD5;AUTH=PLAIN;AUTH=LOGIN";

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// --- The TCP connection, made by us so that its time-out is ours ---------------

// Makes a libcurl handle open its TCP connections itself, each within timeoutS. libcurl asks
// for one address of the host after another until one connects; what happened to each goes
// to attempts. The time-out covers the TCP connection only, not the SMTP greeting, STARTTLS
// or the login that follow. The object must outlive every transfer of the handle.
struct TMailSocketSetup {
  int timeoutS = TVelMailSender::kDefaultConnectTimeoutS;
  std::vector<TConnectAttempt> attempts;
  bool connected = false;  // one of them connected
};

std::string AddressText(const curl_sockaddr* a) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (a->family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&a->addr);
    ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
  } else if (a->family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a->addr);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
  }
  return host;
}

// Connects a non-blocking socket and waits for the outcome until the deadline.
int ConnectWithin(int fd, const curl_sockaddr* a, int timeoutMs) {
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&a->addr), a->addrlen);
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno;
    if (r == 0) return ETIMEDOUT;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
  }
}

curl_socket_t OpenSocket(void* clientp, curlsocktype purpose, curl_sockaddr* a) {
  auto* setup = static_cast<TMailSocketSetup*>(clientp);
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
  int fd = ::socket(a->family, a->socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->protocol);
  if (fd < 0) {
    setup->attempts.push_back({AddressText(a), std::strerror(errno)});
    return CURL_SOCKET_BAD;
  }
  int err = ConnectWithin(fd, a, setup->timeoutS * 1000);
  if (err != 0) {
    ::close(fd);
    setup->attempts.push_back({AddressText(a), err == ETIMEDOUT
                                                   ? ConnectTimeoutText(setup->timeoutS)
                                                   : std::string(std::strerror(err))});
    return CURL_SOCKET_BAD;
  }
  setup->connected = true;
  return fd;
}

int SocketReady(void*, curl_socket_t, curlsocktype) {
  return CURL_SOCKOPT_ALREADY_CONNECTED;
}

void InstallMailSocket(CURL* curl, TMailSocketSetup* setup) {
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, setup);
  curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, &SocketReady);
}

}  // namespace

// The libcurl handle and the state of one conversation.
struct TVelMailSender::TConnection {
  CURL* curl = nullptr;
  bool useTLS = false;     // fixed when the handle is made
  bool connected = false;  // a connection kept open by an earlier SendMail
  TMailSocketSetup socket;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  std::string upload;  // the message being sent
  size_t uploadPos = 0;
  bool loginRequired = false;  // a user name and a password are configured

  // What the debug callback learns of the conversation during a transfer.
  TSmtpReply reply;       // the reply being received
  std::string command;    // the first word of the last command sent
  std::string recipient;  // the address of the last RCPT
  std::string lastReply;  // the server's last negative reply, but to RCPT
  std::vector<TRefusedRecipient> refused;
  bool greeted = false;         // the server has said anything
  bool sending = false;         // past the connection set-up: login or envelope started
  bool loggedIn = false;        // AUTH was said (on this connection)
  bool offersStartTls = false;  // in the last EHLO reply
  std::string mechanisms;       // the login mechanisms of the last EHLO reply, " PLAIN LOGIN "
  bool loginMissing = false;    // stopped before the envelope: no login the server offers

  ~TConnection() {
    if (curl) curl_easy_cleanup(curl);  // says QUIT on a connection still open
  }

  void StartTransfer() {
    errorBuffer[0] = 0;
    reply.Clear();
    command.clear();
    lastReply.clear();
    refused.clear();
    greeted = sending = loggedIn = connected;
    loginMissing = false;
    socket.attempts.clear();
    socket.connected = false;
  }

  void ReplyComplete() {
    greeted = true;
    if (reply.Negative()) {
      // The QUIT after a failure is answered positively: the refusal is what counts.
      if (command == "RCPT")
        refused.push_back({recipient, reply.Text()});
      else
        lastReply = reply.Text();
    } else if (command == "EHLO") {
      offersStartTls = false;
      mechanisms.clear();
      for (size_t i = 1; i < reply.Lines().size(); ++i) {
        std::string line = Upper(reply.Lines()[i]);
        if (line == "STARTTLS") offersStartTls = true;
        if (line.rfind("AUTH ", 0) == 0 || line.rfind("AUTH=", 0) == 0)
          mechanisms += " " + line.substr(5) + " ";
      }
    }
    reply.Clear();
  }

  static int Debug(CURL*, curl_infotype type, char* data, size_t size, void* clientp) {
    auto* c = static_cast<TConnection*>(clientp);
    if (type == CURLINFO_HEADER_IN) {
      // One line of a reply at a time.
      if (c->reply.Add(std::string(data, size)) && c->reply.Complete()) c->ReplyComplete();
    } else if (type == CURLINFO_HEADER_OUT) {
      // Only the command word and a recipient's address are looked at: the rest of an AUTH
      // line, and the lines after it, are credentials.
      std::string line(data, size);
      c->command = Upper(line.substr(0, line.find_first_of(" \r\n")));
      if (c->command == "AUTH") c->loggedIn = true;
      if (c->command == "AUTH" || c->command == "MAIL") c->sending = true;
      if (c->command == "RCPT") {
        size_t lt = line.find('<'), gt = line.rfind('>');
        c->recipient = lt != std::string::npos && gt > lt ? line.substr(lt + 1, gt - lt - 1) : "";
      }
    }
    return 0;
  }

  // Before the envelope: a configured login that did not happen stops the transfer, since a
  // relay that takes the message unauthenticated may bounce it later.
  static int BeforeEnvelope(void* clientp, char*, char*, int, int) {
    auto* c = static_cast<TConnection*>(clientp);
    if (c->loginRequired && !c->loggedIn) {
      c->loginMissing = true;
      return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
  }

  static size_t Read(char* buffer, size_t size, size_t count, void* userp) {
    auto* c = static_cast<TConnection*>(userp);
    size_t n = std::min(size * count, c->upload.size() - c->uploadPos);
    std::copy_n(c->upload.data() + c->uploadPos, n, buffer);
    c->uploadPos += n;
    return n;
  }

  static std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char ch) { return (ch >= 'a' && ch <= 'z') ? ch - 32 : ch; });
    return s;
  }
};

TVelMailSender::TVelMailSender(std::string host, int port, TSMTPAuthenticationType authType)
    : FPort(port),
      FHost(std::move(host)),
      FCaFile(DefaultCaFile()),
      FAuthenticationType(authType) {}

TVelMailSender::~TVelMailSender() = default;

void TVelMailSender::Connect() {
  GlobalInit();
  if (!FSMTP) {
    auto c = std::make_unique<TConnection>();
    c->curl = curl_easy_init();
    if (!c->curl)
      RaiseError("Could not connect to SMTP server.\r\nReason: the SMTP client cannot be created");
    c->useTLS = FUseTLS;
    FSMTP = std::move(c);
  }
  TConnection& c = *FSMTP;
  if (c.connected) return;  // the open connection is reused as it is

  CURL* h = c.curl;
  curl_easy_reset(h);
  bool implicitTls = c.useTLS && FPort == kImplicitTlsPort;
  std::string url =
      std::string(implicitTls ? "smtps://" : "smtp://") + FHost + ":" + std::to_string(FPort);
  if (FHost.find(':') != std::string::npos && FHost.front() != '[') {
    url = std::string(implicitTls ? "smtps://" : "smtp://") + "[" + FHost +
          "]:" + std::to_string(FPort);
  }
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, c.errorBuffer);
  c.socket.timeoutS = FConnectTimeout;
  InstallMailSocket(h, &c.socket);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                   kHandshakeTimeoutMs + kAddressesAllowedFor * FConnectTimeout * 1000L);
  // A server on the SMTPS port that waits for a TLS handshake never greets: it is not waited
  // for longer than a connection.
  curl_easy_setopt(
      h, CURLOPT_SERVER_RESPONSE_TIMEOUT,
      PlainOnImplicitTlsPort() ? static_cast<long>(FConnectTimeout) : kServerResponseTimeoutS);
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &TConnection::Debug);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, &c);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);  // feeds the debug callback; nothing is printed
  curl_easy_setopt(h, CURLOPT_READFUNCTION, &TConnection::Read);
  curl_easy_setopt(h, CURLOPT_READDATA, &c);
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &TConnection::BeforeEnvelope);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, &c);
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
  // Recipients the server refuses are left out and the others still get the message; the
  // transfer fails only when none is accepted. (libcurl before 8.2 spells the option with
  // three Ls; later versions keep that name as an alias.)
  curl_easy_setopt(h, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
  c.loginRequired = LoginConfigured();
  if (c.useTLS) {
    // TLS is required: STARTTLS before anything else is said (a server that does not offer
    // it is refused before the login), or TLS from the start on the SMTPS port. TLS 1.2 at
    // least; 1.3 when both ends have it.
    if (!implicitTls) curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, FVerifyCertificate ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, FVerifyCertificate ? 2L : 0L);
    if (FVerifyCertificate && !FCaFile.empty())
      curl_easy_setopt(h, CURLOPT_CAINFO, FCaFile.c_str());
  }
  if (FAuthenticationType != satNone) {
    curl_easy_setopt(h, CURLOPT_USERNAME, FUsername.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, FPassword.c_str());
    // The default login is user name and password; SASL takes the strongest offered
    // mechanism among those that need no more than that.
    curl_easy_setopt(h, CURLOPT_LOGIN_OPTIONS,
                     FAuthenticationType == satDefault ? "AUTH=PLAIN;AUTH=LOGIN" : kSaslMechanisms);
  }
}

std::vector<TRefusedRecipient> TVelMailSender::Transfer(const std::vector<TMailAddress>& recipients,
                                                        const std::string& message) {
  Connect();
  TConnection& c = *FSMTP;
  CURL* h = c.curl;
  std::string from = "<" + FFromAddress + ">";
  curl_slist* rcpt = nullptr;
  for (const auto& r : recipients) rcpt = curl_slist_append(rcpt, ("<" + r.Address + ">").c_str());
  curl_easy_setopt(h, CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(h, CURLOPT_MAIL_RCPT, rcpt);
  c.upload = message;
  c.uploadPos = 0;
  curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(c.upload.size()));
  // Without KeepConnected the connection ends with the transfer (QUIT, then close).
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, FKeepConnected ? 0L : 1L);
  c.StartTransfer();

  CURLcode rc = curl_easy_perform(h);
  curl_easy_setopt(h, CURLOPT_MAIL_RCPT, nullptr);
  curl_slist_free_all(rcpt);
  c.upload.clear();
  c.connected = rc == CURLE_OK && FKeepConnected;
  if (rc == CURLE_OK) return c.refused;
  if (!c.refused.empty() && c.refused.size() == recipients.size()) RaiseNoneAccepted(c.refused);

  std::string reason = OneLine(c.errorBuffer[0] ? c.errorBuffer : curl_easy_strerror(rc));
  const bool negativeReply = !c.lastReply.empty();
  if (c.socket.connected && !c.greeted && PlainOnImplicitTlsPort())
    RaiseError("Could not connect to SMTP server.\r\nReason: the server did not greet within " +
               std::to_string(FConnectTimeout) + " s; port 465 expects TLS (UseTLS=1)");
  if (c.loginMissing || (rc == CURLE_LOGIN_DENIED && !c.loggedIn))
    RaiseError("Could not connect to SMTP server.\r\nReason: " +
               NoLoginText(c.mechanisms, c.offersStartTls));
  if (!c.sending) {
    if (!c.socket.connected && !c.socket.attempts.empty())
      reason = ConnectFailureText(FHost, FPort, c.socket.attempts);
    if (rc == CURLE_USE_SSL_FAILED)
      reason = "the server does not offer STARTTLS, and UseTLS does not allow plain text";
    if (negativeReply) reason += " (" + c.lastReply + ")";
    RaiseError("Could not connect to SMTP server.\r\nReason: " + reason);
  }
  // The server's own words tell the operator more than the client's summary.
  if (negativeReply) reason += "\r\nServer reply: " + c.lastReply;
  throw Exception(Masked(reason));
}

}  // namespace vel
