#pragma once
// Windows only: one TCP connection to a server, plain or inside TLS (Schannel).
#define WIN32_LEAN_AND_MEAN
#define SECURITY_WIN32
// The credentials form that knows TLS 1.3 (SCH_CREDENTIALS) is declared only with this.
#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
// winsock2.h first
#include <windows.h>
// windows.h before these
#include <subauth.h>
#include <schannel.h>
#include <security.h>

#include <chrono>
#include <string>
#include <vector>

#include "notify/SmtpTexts.h"

namespace vel {

// A failure of the connection or of the conversation over it.
struct TConnectionFailure {
  std::string reason;
  std::string reply;  // the server's negative reply, when there was one
};

// The system's text for an error code (Winsock, SSPI and certificate codes alike).
std::string WinErrorText(DWORD code);

// Winsock stays started for the life of the process once this has run.
void StartWinsock();

// One connection: the socket, the TLS context when TLS runs, and the bytes read but not yet
// used. Every wait is bounded by a deadline; failures throw TConnectionFailure.
class TTlsConnection {
 public:
  using Clock = std::chrono::steady_clock;

  TTlsConnection() = default;
  ~TTlsConnection() { Close(false); }
  TTlsConnection(const TTlsConnection&) = delete;
  TTlsConnection& operator=(const TTlsConnection&) = delete;

  // Connects to the first of the host's addresses that takes the connection, each tried
  // within timeoutS; when none does, Attempts() says what happened to each (empty when the
  // name did not resolve).
  bool Open(const std::string& host, int port, int timeoutS);
  const std::vector<TConnectAttempt>& Attempts() const { return attempts; }
  bool Resolved() const { return resolved; }
  // Open, and not ended by the server as far as is known.
  bool IsOpen() const { return sock != INVALID_SOCKET && !closed; }
  // The server has sent something (or ended the connection) that nobody has read yet.
  bool HasUnreadInput() const;
  bool Tls() const { return tls; }

  // TLS 1.2 or newer over the connected socket (1.3 where the system offers it). The
  // certificate is not judged here: see CheckServerCertificate.
  void StartTls(const std::string& host);
  CtxtHandle* TlsContext() { return &context; }

  void Write(const std::string& data, Clock::time_point deadline);
  // The next line, without its line end; more than maxBytes without one is a failure.
  std::string ReadLine(Clock::time_point deadline, size_t maxBytes);
  // Nothing received is waiting to be read (before a TLS handshake, there must be none).
  bool Drained() const { return raw.empty() && plain.empty(); }

  // With sayGoodbye, TLS is ended with a close-notify first.
  void Close(bool sayGoodbye);

 private:
  void Wait(bool forWriting, Clock::time_point deadline);
  void SendRaw(const char* data, size_t size, Clock::time_point deadline);
  void ReceiveRaw(Clock::time_point deadline);
  [[noreturn]] void TlsFailure(const std::string& what, SECURITY_STATUS status);
  void SendToken(SecBuffer& token, Clock::time_point deadline);
  // Hands handshake records to Schannel until it has what it needs, sending its answers.
  void Handshake(Clock::time_point deadline, bool first);
  void SendCloseNotify();
  // Adds at least one byte to plain.
  void Read(Clock::time_point deadline);

  SOCKET sock = INVALID_SOCKET;
  bool tls = false;
  bool haveCredentials = false;
  bool haveContext = false;
  CredHandle credentials{};
  CtxtHandle context{};
  SecPkgContext_StreamSizes sizes{};
  std::string peerName;  // the host name the handshake was made for
  std::string raw;       // received bytes not yet decrypted (TLS) or not yet read
  std::string plain;     // decrypted bytes not yet read
  std::vector<TConnectAttempt> attempts;
  bool resolved = false;
  bool closed = false;  // the server ended the connection
};

}  // namespace vel
