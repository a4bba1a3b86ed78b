#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vel::test {

// A real SMTP server (Debian's python3-aiosmtpd) on 127.0.0.1 with a free port, run for the
// life of the object: as a child process on Linux; under Wine, where a test program cannot
// run a Linux one, by the launcher of tests/support/smtp_fixture.py (VEL_SMTP_FIXTURE). Every
// received message is saved in the given folder; a test waits for the n-th one and reads its
// envelope and data.
class SmtpServer {
 public:
  enum class Tls { None, StartTls, Implicit };
  struct Options {
    Tls tls = Tls::None;
    // Non-empty: AUTH LOGIN and PLAIN are offered (also without TLS) and accept this pair.
    std::string user;
    std::string password;
    bool refuseAuth = false;     // AUTH offered, every login refused (535)
    bool offerCramMd5 = false;   // CRAM-MD5 offered besides LOGIN and PLAIN
    bool offerUnusable = false;  // GSSAPI and NTLM offered too (and refused when picked)
    bool authRequired = false;   // MAIL refused before a login
    std::string onlyMechanism;   // "LOGIN" or "PLAIN": offer this one alone
    bool authAfterTls = false;   // AUTH offered only once STARTTLS has run
    double acceptDelayS = 0;     // connection attempts are dropped for this long after start
    int port = 0;                // 0: a free port
  };
  struct Message {
    std::string mailFrom;
    std::vector<std::string> rcptTos;
    bool tls = false;
    std::string tlsVersion;     // "TLSv1.3", ...; empty without TLS
    std::string authMechanism;  // empty when the client did not log in
    std::string login;
    std::string data;  // the message as received (headers and body)
    int peerPort = 0;  // the client's port: equal for messages sent over one connection
    // Decoded by the server's own mail parser: what a mail client would show.
    std::string subject;
    std::string from;
    std::string to;
    std::string body;
    std::string parseError;  // set when the message could not be parsed
  };

  // Starts the server and waits until it listens; Started() tells whether it did.
  SmtpServer(const std::filesystem::path& folder, Options options);
  explicit SmtpServer(const std::filesystem::path& folder) : SmtpServer(folder, Options{}) {}
  // Stops the process and waits for it.
  ~SmtpServer();
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;

  bool Started() const { return port_ > 0; }
  // Why the start failed (empty when it did not).
  const std::string& StartError() const { return startError_; }
  int Port() const { return port_; }

  // Waits for the index-th received message (1-based); nothing when it does not come in time.
  std::optional<Message> WaitForMessage(
      int index, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Messages received so far.
  int MessageCount() const;
  // With TLS: the CA that signed the server's certificate (PEM), for a client to trust.
  std::filesystem::path CaFile() const { return folder_ / "smtp-ca.pem"; }
  // True once a client has tried to log in (with any mechanism).
  bool LoginAttempted() const;

 private:
  // The server's options as arguments of smtp_server.py, after its folder.
  static std::vector<std::string> Arguments(const Options& options);

  struct Process;  // how this system runs it (SmtpServer_<os>.cpp)
  std::filesystem::path folder_;
  std::unique_ptr<Process> process_;
  int port_ = 0;
  std::string startError_;
};

}  // namespace vel::test
