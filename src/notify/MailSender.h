#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vel {

// How the sender logs in to the SMTP server.
enum TSMTPAuthenticationType {
  satNone = 0,     // no login
  satDefault = 1,  // user name and password (AUTH LOGIN / PLAIN)
  satSASL = 2,     // the strongest offered mechanism that needs no more than a user name and
                   // a password (CRAM-MD5, PLAIN, LOGIN); never GSSAPI, NTLM or EXTERNAL
};

struct TMailAddress;
struct TRefusedRecipient;

// Sends one HTML e-mail through an SMTP server (libcurl's SMTP on Linux, Winsock with
// Schannel TLS on Windows). A sender keeps one
// connection handle; with KeepConnected false every SendMail opens and closes its own
// connection. A sender object is used by one thread at a time; the static entry points keep
// no shared state and may run on many threads at once.
class TVelMailSender {
 public:
  TVelMailSender(std::string host, int port, TSMTPAuthenticationType authType);
  ~TVelMailSender();
  TVelMailSender(const TVelMailSender&) = delete;
  TVelMailSender& operator=(const TVelMailSender&) = delete;

  // Seconds a TCP connection to one address of the host may take; every address the host
  // name resolves to is tried in turn.
  static constexpr int kDefaultConnectTimeoutS = 10;

  // Checks the settings, connects and sends one message; throws vel::Exception on any
  // failure. The password never appears in an exception message. A message that reaches some
  // recipients but not others (refused by the server, or entries of toAddresses that are no
  // address) is a success; DeliveryNote() then names the others.
  void SendMail(const std::string& toAddresses, const std::string& subject, const std::string& body,
                bool breakLn);

  // Full form: true on success, false with the error text in status. On a success status is
  // left as it was unless some recipients were left out: then it holds DeliveryNote().
  // verifyCertificate: see SetVerifyCertificate; connectTimeoutS: see SetConnectTimeout.
  static bool SendEMailSMTP(const std::string& host, const std::string& userName,
                            const std::string& password, const std::string& toAddresses,
                            const std::string& subject, const std::string& body,
                            const std::string& fromName, const std::string& fromAddress,
                            const std::string& fromOrg, int port, TSMTPAuthenticationType authType,
                            bool useTLS, bool breakLn, std::string& status,
                            bool verifyCertificate = true,
                            int connectTimeoutS = kDefaultConnectTimeoutS);
  // Authentication as text: "none" and "SASL" (any letter case) or anything else for the
  // default login; no sender name, address or organisation; lines always broken.
  static bool SendEMailSMTP(const std::string& host, const std::string& userName,
                            const std::string& password, const std::string& toAddresses,
                            const std::string& subject, const std::string& body, int port,
                            const std::string& authentication, bool useTLS, std::string& status,
                            bool verifyCertificate = true,
                            int connectTimeoutS = kDefaultConnectTimeoutS);

  // CA bundle (PEM) that new senders verify servers against instead of the system's CA
  // store; empty (the default) means the system store. Process-wide; lets a test trust the
  // SMTP server it runs itself.
  static void SetDefaultCaFile(const std::string& path);
  static std::string DefaultCaFile();

  // The authentication type for a configuration text.
  static TSMTPAuthenticationType AuthenticationFromText(const std::string& text);
  // "<html><head></head><body>" + each line of body (HTML-escaped, "<br>" after each when
  // breakLn) + "</body></html>".
  static std::string BuildHtmlBody(const std::string& body, bool breakLn);

  const std::string& Host() const { return FHost; }
  void SetHost(std::string v) { FHost = std::move(v); }
  int Port() const { return FPort; }
  void SetPort(int v) { FPort = v; }
  TSMTPAuthenticationType AuthenticationType() const { return FAuthenticationType; }
  void SetAuthenticationType(TSMTPAuthenticationType v) { FAuthenticationType = v; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(std::string v) { FUsername = std::move(v); }
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string v) { FPassword = std::move(v); }
  const std::string& FromName() const { return FFromName; }
  void SetFromName(std::string v) { FFromName = std::move(v); }
  const std::string& FromAddress() const { return FFromAddress; }
  void SetFromAddress(std::string v) { FFromAddress = std::move(v); }
  const std::string& FromOrg() const { return FFromOrg; }
  void SetFromOrg(std::string v) { FFromOrg = std::move(v); }
  bool KeepConnected() const { return FKeepConnected; }
  void SetKeepConnected(bool v) { FKeepConnected = v; }
  // With UseTLS the whole conversation runs inside TLS 1.2 or newer: STARTTLS on the
  // configured port (a server that does not offer it is refused before any login), or TLS
  // from the first byte on port 465. There is no fall-back to plain text.
  bool UseTLS() const { return FUseTLS; }
  void SetUseTLS(bool v) { FUseTLS = v; }
  // With UseTLS: the server's certificate chain and host name are verified (true, the
  // default) against CaFile(), or not at all (false: any certificate is accepted).
  bool VerifyCertificate() const { return FVerifyCertificate; }
  void SetVerifyCertificate(bool v) { FVerifyCertificate = v; }
  // Seconds for the TCP connection to each address of the host (below 1: the default). On
  // port 465 without UseTLS the server's greeting must come within it too: a server there
  // that waits for a TLS handshake never greets.
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int seconds) {
    FConnectTimeout = seconds > 0 ? seconds : kDefaultConnectTimeoutS;
  }
  // After a SendMail that succeeded: "TVelMailSender: not delivered to a@x (550 ...)" naming
  // every recipient left out and why; empty when every one was accepted.
  const std::string& DeliveryNote() const { return FDeliveryNote; }
  // Starts as DefaultCaFile(); empty: the system's CA store.
  const std::string& CaFile() const { return FCaFile; }
  void SetCaFile(std::string v) { FCaFile = std::move(v); }

 private:
  struct TConnection;  // the per-system connection and what it was set up with

  void Connect();
  // Connects (or reuses the kept connection), logs in and sends message to the recipients
  // the server accepts; returns those it refused. Throws vel::Exception with the texts the
  // checks in SendMail use, and when no recipient is accepted. Per operating system.
  std::vector<TRefusedRecipient> Transfer(const std::vector<TMailAddress>& recipients,
                                          const std::string& message);
  // The failure when the server accepted none of the recipients.
  [[noreturn]] void RaiseNoneAccepted(const std::vector<TRefusedRecipient>& refused) const;
  // The login is asked for: a user name and a password and an authentication type that logs in.
  bool LoginConfigured() const;
  // Port 465 without TLS: the server most likely waits for a TLS handshake.
  bool PlainOnImplicitTlsPort() const;
  [[noreturn]] void RaiseError(const std::string& text) const;
  // text with the password masked, so no message ever carries it.
  std::string Masked(std::string text) const;

  int FPort = 0;
  std::string FHost;
  std::string FUsername;
  std::string FPassword;
  std::string FFromName;
  std::string FFromAddress;
  std::string FFromOrg;
  bool FKeepConnected = false;
  bool FUseTLS = false;
  bool FVerifyCertificate = true;
  std::string FCaFile;
  int FConnectTimeout = kDefaultConnectTimeoutS;
  std::string FDeliveryNote;
  TSMTPAuthenticationType FAuthenticationType = satDefault;
  std::unique_ptr<TConnection> FSMTP;  // created at the first connect
};

}  // namespace vel
