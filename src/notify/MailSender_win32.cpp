// The SMTP conversation over one connection (TLS by Schannel, see TlsConnection_win32).
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
// winsock2.h first
#include <bcrypt.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/Exception.h"
#include "notify/MailSender.h"
#include "notify/MimeMessage.h"
#include "notify/ServerCertificate_win32.h"
#include "notify/SmtpTexts.h"
#include "notify/TlsConnection_win32.h"

namespace vel {

namespace {

using Clock = std::chrono::steady_clock;
using TSmtpFailure = TConnectionFailure;

constexpr auto kReplyTimeout = std::chrono::seconds(60);
// The port where SMTP runs inside TLS from the first byte.
constexpr int kImplicitTlsPort = 465;
// A reply longer than this is not an SMTP server talking.
constexpr size_t kMaxReplyBytes = 64 * 1024;

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; });
  return s;
}

// HMAC-MD5 of data with key, as lower-case hex (the CRAM-MD5 answer).
bool HmacMd5Hex(const std::string& key, const std::string& data, std::string& hex) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr,
                                  BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0)
    return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[16];
  bool ok = BCryptCreateHash(alg, &hash, nullptr, 0,
                             reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                             static_cast<ULONG>(key.size()), 0) == 0 &&
            BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                           static_cast<ULONG>(data.size()), 0) == 0 &&
            BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(alg, 0);
  if (!ok) return false;
  static const char* digits = "0123456789abcdef";
  hex.clear();
  for (unsigned char b : digest) hex += {digits[b >> 4], digits[b & 15]};
  return true;
}

}  // namespace

// The connection and what the conversation has learnt of the server.
struct TVelMailSender::TConnection {
  TTlsConnection link;
  std::string mechanisms;  // " PLAIN LOGIN ": what the server offers for the login
  bool offersStartTls = false;
  bool loggedIn = false;

  // With sayGoodbye, QUIT first (and TLS's close-notify).
  void Close(bool sayGoodbye) {
    if (sayGoodbye && link.IsOpen()) {
      try {
        Command("QUIT", Clock::now() + std::chrono::seconds(5));
      } catch (const TSmtpFailure&) {
      }
    }
    link.Close(sayGoodbye && link.IsOpen());
    mechanisms.clear();
    offersStartTls = false;
    loggedIn = false;
  }

  TSmtpReply ReadReply(Clock::time_point deadline) {
    TSmtpReply r;
    for (;;) {
      std::string line = link.ReadLine(deadline, kMaxReplyBytes);
      if (!r.Add(line)) throw TSmtpFailure{"Weird server reply", OneLine(line)};
      if (r.Complete()) return r;
      if (r.Lines().size() > 1000) throw TSmtpFailure{"The server's reply is too long", ""};
    }
  }

  TSmtpReply Command(const std::string& line, Clock::time_point deadline) {
    link.Write(line + "\r\n", deadline);
    return ReadReply(deadline);
  }
};

TVelMailSender::TVelMailSender(std::string host, int port, TSMTPAuthenticationType authType)
    : FPort(port),
      FHost(std::move(host)),
      FCaFile(DefaultCaFile()),
      FAuthenticationType(authType) {}

TVelMailSender::~TVelMailSender() {
  if (FSMTP) FSMTP->Close(true);
}

void TVelMailSender::Connect() {
  if (!FSMTP) FSMTP = std::make_unique<TConnection>();
  TConnection& c = *FSMTP;
  // A kept connection the server has ended meanwhile is made again.
  if (c.link.IsOpen() && !c.link.HasUnreadInput()) return;
  c.Close(false);
  StartWinsock();
  if (!c.link.Open(FHost, FPort, FConnectTimeout))
    RaiseError("Could not connect to SMTP server.\r\nReason: " +
               (c.link.Resolved() ? ConnectFailureText(FHost, FPort, c.link.Attempts())
                                  : "Could not resolve host: " + FHost));

  const bool implicitTls = FUseTLS && FPort == kImplicitTlsPort;
  try {
    auto deadline = [] { return Clock::now() + kReplyTimeout; };
    auto tls = [&] {
      c.link.StartTls(FHost);
      if (FVerifyCertificate) {
        std::string problem = CheckServerCertificate(c.link.TlsContext(), FHost, FCaFile);
        if (!problem.empty()) throw TSmtpFailure{problem, ""};
      }
    };
    if (implicitTls) tls();
    TSmtpReply r;
    if (PlainOnImplicitTlsPort()) {
      // A server there that waits for a TLS handshake never greets: it is not waited for
      // longer than a connection.
      try {
        r = c.ReadReply(Clock::now() + std::chrono::seconds(FConnectTimeout));
      } catch (const TSmtpFailure&) {
        throw TSmtpFailure{"the server did not greet within " + std::to_string(FConnectTimeout) +
                               " s; port 465 expects TLS (UseTLS=1)",
                           ""};
      }
    } else {
      r = c.ReadReply(deadline());
    }
    if (r.Code() != 220)
      throw TSmtpFailure{"Got unexpected greeting " + std::to_string(r.Code()), r.Text()};
    char local[256] = "localhost";
    if (gethostname(local, sizeof local) != 0) strcpy(local, "localhost");
    r = c.Command(std::string("EHLO ") + local, deadline());
    if (r.Code() / 100 != 2) {
      r = c.Command(std::string("HELO ") + local, deadline());
      if (r.Code() / 100 != 2)
        throw TSmtpFailure{"Remote access denied: " + std::to_string(r.Code()), r.Text()};
    }
    for (size_t i = 1; i < r.Lines().size(); ++i)
      if (Upper(r.Lines()[i]) == "STARTTLS") c.offersStartTls = true;
    if (FUseTLS && !implicitTls) {
      if (!c.offersStartTls)
        throw TSmtpFailure{
            "the server does not offer STARTTLS, and UseTLS does not allow plain text", ""};
      TSmtpReply s = c.Command("STARTTLS", deadline());
      if (s.Code() != 220) throw TSmtpFailure{"STARTTLS denied", s.Text()};
      if (!c.link.Drained())
        throw TSmtpFailure{"the server sent data before the TLS handshake", ""};
      tls();
      r = c.Command(std::string("EHLO ") + local, deadline());
      if (r.Code() / 100 != 2)
        throw TSmtpFailure{"Remote access denied: " + std::to_string(r.Code()), r.Text()};
    }
    // The login mechanisms the server offers, each between blanks.
    for (size_t i = 1; i < r.Lines().size(); ++i) {
      std::string line = Upper(r.Lines()[i]);
      if (line.rfind("AUTH ", 0) == 0 || line.rfind("AUTH=", 0) == 0)
        c.mechanisms += " " + line.substr(5) + " ";
    }
  } catch (const TSmtpFailure& f) {
    c.Close(false);
    RaiseError("Could not connect to SMTP server.\r\nReason: " + f.reason +
               (f.reply.empty() ? "" : " (" + f.reply + ")"));
  }
}

std::vector<TRefusedRecipient> TVelMailSender::Transfer(const std::vector<TMailAddress>& recipients,
                                                        const std::string& message) {
  Connect();
  TConnection& c = *FSMTP;
  auto deadline = [] { return Clock::now() + kReplyTimeout; };
  auto offered = [&](const char* name) {
    return c.mechanisms.find(std::string(" ") + name + " ") != std::string::npos;
  };
  std::vector<TRefusedRecipient> refused;
  try {
    // A configured login that cannot happen stops the message: a relay that takes it
    // unauthenticated may bounce it later.
    if (FAuthenticationType != satNone && !c.loggedIn &&
        (!c.mechanisms.empty() || LoginConfigured())) {
      // The strongest of those needing no more than a user name and a password.
      std::string mechanism;
      if (FAuthenticationType == satSASL && offered("CRAM-MD5"))
        mechanism = "CRAM-MD5";
      else if (offered("PLAIN"))
        mechanism = "PLAIN";
      else if (offered("LOGIN"))
        mechanism = "LOGIN";
      if (mechanism.empty()) {
        const std::string reason = NoLoginText(c.mechanisms, c.offersStartTls && !c.link.Tls());
        c.Close(true);
        RaiseError("Could not connect to SMTP server.\r\nReason: " + reason);
      }
      TSmtpReply r;
      if (mechanism == "PLAIN") {
        r = c.Command("AUTH PLAIN " + Base64(std::string(1, '\0') + FUsername + '\0' + FPassword),
                      deadline());
      } else if (mechanism == "LOGIN") {
        r = c.Command("AUTH LOGIN", deadline());
        if (r.Code() == 334) r = c.Command(Base64(FUsername), deadline());
        if (r.Code() == 334) r = c.Command(Base64(FPassword), deadline());
      } else {
        r = c.Command("AUTH CRAM-MD5", deadline());
        if (r.Code() == 334) {
          std::string digest;
          if (!HmacMd5Hex(FPassword, Base64Decode(r.Lines().empty() ? "" : r.Lines()[0]), digest)) {
            c.Command("*", deadline());
            throw TSmtpFailure{"CRAM-MD5 cannot be computed on this system", ""};
          }
          r = c.Command(Base64(FUsername + " " + digest), deadline());
        }
      }
      if (r.Code() != 235) throw TSmtpFailure{"Login denied", r.Text()};
      c.loggedIn = true;
    }
    TSmtpReply r = c.Command("MAIL FROM:<" + FFromAddress + ">", deadline());
    if (r.Code() / 100 != 2)
      throw TSmtpFailure{"MAIL failed: " + std::to_string(r.Code()), r.Text()};
    // A refused recipient is left out; the others still get the message.
    for (const auto& to : recipients) {
      r = c.Command("RCPT TO:<" + to.Address + ">", deadline());
      if (r.Code() / 100 != 2) refused.push_back({to.Address, r.Text()});
    }
    if (refused.size() == recipients.size()) {
      c.Close(true);
      RaiseNoneAccepted(refused);
    }
    r = c.Command("DATA", deadline());
    if (r.Code() != 354) throw TSmtpFailure{"DATA failed: " + std::to_string(r.Code()), r.Text()};
    // Lines that begin with a dot get a second one; the message ends with a dot on its own.
    std::string data;
    data.reserve(message.size() + message.size() / 64 + 8);
    bool lineStart = true;
    for (char ch : message) {
      if (lineStart && ch == '.') data += '.';
      data += ch;
      lineStart = ch == '\n';
    }
    if (!data.empty() && data.back() != '\n') data += "\r\n";
    data += ".\r\n";
    c.link.Write(data, deadline());
    r = c.ReadReply(deadline());
    if (r.Code() / 100 != 2)
      throw TSmtpFailure{"Failed sending data to the peer: " + std::to_string(r.Code()), r.Text()};
  } catch (const TSmtpFailure& f) {
    // The connection is in an unknown state after a failure: it is not kept.
    c.Close(true);
    std::string reason = f.reason;
    if (!f.reply.empty()) reason += "\r\nServer reply: " + f.reply;
    throw Exception(Masked(reason));
  }
  if (!FKeepConnected) c.Close(true);
  return refused;
}

}  // namespace vel
