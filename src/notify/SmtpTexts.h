#pragma once

#include <string>
#include <vector>

namespace vel {

// Text that comes from outside (a server reply, a system message) as one line: control
// characters become blanks, runs of blanks one blank, none at either end.
std::string OneLine(const std::string& text);

// One SMTP reply, gathered line by line ("250-first", "250 last").
class TSmtpReply {
 public:
  // Adds one line of the reply (a line end may still be attached). False when the line is
  // not an SMTP reply line (no three-digit code).
  bool Add(std::string line);
  // The last line has come (its code is followed by a blank or nothing).
  bool Complete() const { return FComplete; }
  int Code() const { return FCode; }
  bool Negative() const { return FCode >= 400; }
  // The text of each line after the code and the separator.
  const std::vector<std::string>& Lines() const { return FLines; }
  // The reply as operators read it: the code once, the texts of all lines joined by blanks
  // ("550 5.1.1 No such user here Try another"), on one line.
  std::string Text() const;
  void Clear();

 private:
  int FCode = 0;
  bool FComplete = false;
  std::vector<std::string> FLines;
};

// What happened to one address the host name resolved to.
struct TConnectAttempt {
  std::string Address;  // "::1", "127.0.0.1"
  std::string Outcome;  // "Connection refused", "no connection within 10 s"
};

// "Failed to connect to 127.0.0.1 port 25: Connection refused" for a single address named as
// the host, otherwise each address with its outcome: "Failed to connect to localhost port 25
// (::1: Connection refused; 127.0.0.1: no connection within 10 s)".
std::string ConnectFailureText(const std::string& host, int port,
                               const std::vector<TConnectAttempt>& attempts);

// "no connection within 10 s"
std::string ConnectTimeoutText(int seconds);

// A recipient the server refused, with its reply.
struct TRefusedRecipient {
  std::string Address;
  std::string Reply;
};

// "a@x (550 5.1.1 No such user here), b@y (550 ...)"
std::string RefusalsText(const std::vector<TRefusedRecipient>& refused);

// Why a configured login cannot happen: the server offers no mechanism at all (mechanisms
// empty; with STARTTLS offered, logins often come only after it) or none we can use
// (mechanisms holds the offered ones, each between blanks).
std::string NoLoginText(const std::string& mechanisms, bool offersStartTls);

}  // namespace vel
