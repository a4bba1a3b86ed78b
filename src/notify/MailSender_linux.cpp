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

namespace vel {

namespace {

// The TCP connection must come within this time; the conversation after it gets more.
constexpr int kConnectTimeoutMs = 300;
constexpr long kHandshakeTimeoutMs = 30000;
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

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; });
  return s;
}

// --- The TCP connection, made by us so that its time-out is ours ---------------

// Makes a libcurl handle open its TCP connections itself, each within timeoutMs. The time-out
// covers the TCP connection only, not the SMTP greeting, STARTTLS or the login that follow.
// When a connection cannot be made, the reason ("127.0.0.1 port 25: Connection refused")
// goes to *lastError; the object must outlive every transfer of the handle.
struct TMailSocketSetup {
  int timeoutMs = 300;
  std::string lastError;
};

std::string Describe(const curl_sockaddr* a) {
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (a->family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&a->addr);
    ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  } else if (a->family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a->addr);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
  }
  return std::string(host) + " port " + std::to_string(port);
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
    setup->lastError = Describe(a) + ": " + std::strerror(errno);
    return CURL_SOCKET_BAD;
  }
  int err = ConnectWithin(fd, a, setup->timeoutMs);
  if (err != 0) {
    ::close(fd);
    setup->lastError =
        Describe(a) + ": " +
        (err == ETIMEDOUT ? "no connection within " + std::to_string(setup->timeoutMs) + " ms"
                          : std::string(std::strerror(err)));
    return CURL_SOCKET_BAD;
  }
  setup->lastError.clear();
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
  // Filled by the debug callback during a transfer.
  std::string lastReply;  // the server's last negative reply (4xx or 5xx)
  bool sending = false;   // past the connection set-up: login or envelope started
  std::string upload;     // the message being sent
  size_t uploadPos = 0;

  ~TConnection() {
    if (curl) curl_easy_cleanup(curl);  // says QUIT on a connection still open
  }

  static int Debug(CURL*, curl_infotype type, char* data, size_t size, void* clientp) {
    auto* c = static_cast<TConnection*>(clientp);
    if (type == CURLINFO_HEADER_IN) {
      std::string line(data, size);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      if (line.size() >= 3) {
        // The QUIT after a failure is answered positively: the refusal is what counts.
        if (line[0] == '4' || line[0] == '5') c->lastReply = line;
      }
    } else if (type == CURLINFO_HEADER_OUT) {
      // Only the command word is looked at: the rest of an AUTH line is a credential.
      std::string word(data, std::min<size_t>(size, 4));
      word = Lower(word);
      if (word == "auth" || word == "mail") c->sending = true;
    }
    return 0;
  }

  static size_t Read(char* buffer, size_t size, size_t count, void* userp) {
    auto* c = static_cast<TConnection*>(userp);
    size_t n = std::min(size * count, c->upload.size() - c->uploadPos);
    std::copy_n(c->upload.data() + c->uploadPos, n, buffer);
    c->uploadPos += n;
    return n;
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
  c.socket.timeoutMs = kConnectTimeoutMs;
  InstallMailSocket(h, &c.socket);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kHandshakeTimeoutMs);
  curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, kServerResponseTimeoutS);
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &TConnection::Debug);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, &c);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);  // feeds the debug callback; nothing is printed
  curl_easy_setopt(h, CURLOPT_READFUNCTION, &TConnection::Read);
  curl_easy_setopt(h, CURLOPT_READDATA, &c);
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
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

void TVelMailSender::Transfer(const std::vector<TMailAddress>& recipients,
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
  c.errorBuffer[0] = 0;
  c.lastReply.clear();
  c.sending = c.connected;
  c.socket.lastError.clear();

  CURLcode rc = curl_easy_perform(h);
  curl_easy_setopt(h, CURLOPT_MAIL_RCPT, nullptr);
  curl_slist_free_all(rcpt);
  c.upload.clear();
  c.connected = rc == CURLE_OK && FKeepConnected;
  if (rc == CURLE_OK) return;

  std::string reason = c.errorBuffer[0] ? c.errorBuffer : curl_easy_strerror(rc);
  bool negativeReply = !c.lastReply.empty();
  if (!c.sending) {
    if (!c.socket.lastError.empty()) reason = "Failed to connect to " + c.socket.lastError;
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
