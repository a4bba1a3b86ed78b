#include "notify/MailSender.h"

#include <algorithm>
#include <mutex>

#include "common/Exception.h"
#include "notify/MimeMessage.h"
#include "notify/SmtpTexts.h"

namespace vel {

namespace {

constexpr const char* kClassName = "TVelMailSender";
// The port where SMTP runs inside TLS from the first byte.
constexpr int kImplicitTlsPort = 465;

std::mutex gDefaultsLock;
std::string gDefaultCaFile;

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; });
  return s;
}

}  // namespace

void TVelMailSender::SetDefaultCaFile(const std::string& path) {
  std::lock_guard guard(gDefaultsLock);
  gDefaultCaFile = path;
}

std::string TVelMailSender::DefaultCaFile() {
  std::lock_guard guard(gDefaultsLock);
  return gDefaultCaFile;
}

void TVelMailSender::RaiseError(const std::string& text) const {
  throw Exception(Masked(std::string(kClassName) + ": " + text));
}

std::string TVelMailSender::Masked(std::string text) const {
  if (FPassword.empty()) return text;
  // A short password would also match inside ordinary words ("ab" in "unable"), so it is
  // masked where it stands on its own: not next to another letter or digit.
  const bool shortPassword = FPassword.size() < 4;
  auto isWordChar = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  };
  for (size_t pos = text.find(FPassword); pos != std::string::npos;) {
    const size_t end = pos + FPassword.size();
    if (shortPassword &&
        ((pos > 0 && isWordChar(text[pos - 1])) || (end < text.size() && isWordChar(text[end])))) {
      pos = text.find(FPassword, pos + 1);
      continue;
    }
    text.replace(pos, FPassword.size(), "*****");
    pos = text.find(FPassword, pos + 5);
  }
  return text;
}

void TVelMailSender::RaiseNoneAccepted(const std::vector<TRefusedRecipient>& refused) const {
  RaiseError("No recipient was accepted: " + RefusalsText(refused));
}

bool TVelMailSender::LoginConfigured() const {
  return FAuthenticationType != satNone && !FUsername.empty() && !FPassword.empty();
}

bool TVelMailSender::PlainOnImplicitTlsPort() const {
  return !FUseTLS && FPort == kImplicitTlsPort;
}

void TVelMailSender::SendMail(const std::string& toAddresses, const std::string& subject,
                              const std::string& body, bool breakLn) {
  if (FHost.empty()) RaiseError("Email host server cannot be empty");
  FDeliveryNote.clear();
  if (FPort <= 0 || FPort > 65535) RaiseError("Email server port is invalid");
  if (FUsername.empty()) RaiseError("Email account cannot be empty");
  if (FFromName.empty()) FFromName = FUsername;
  if (FFromAddress.empty()) {
    FFromAddress = FUsername.find('@') != std::string::npos ? FUsername : FUsername + "@" + FHost;
  }
  for (char ch : FFromAddress) {
    if (static_cast<unsigned char>(ch) <= 32 || ch == '<' || ch == '>' || ch == 0x7f) {
      RaiseError("Invalid sender address: " + FFromAddress);
    }
  }
  std::string to = Trim(toAddresses);
  if (to.empty()) RaiseError("Destination address cannot be empty");
  std::vector<TMailAddress> recipients;
  std::vector<std::string> invalid;
  std::string parseError;
  if (!ParseMailAddresses(to, recipients, invalid, parseError)) RaiseError(parseError);
  if (recipients.empty() && invalid.empty()) RaiseError("Destination address cannot be empty");
  if (recipients.empty()) RaiseError("Invalid destination address: " + invalid.front());
  // Nothing has touched the network up to here.

  TMimeMessage message;
  message.FromName = FFromName;
  message.FromAddress = FFromAddress;
  message.Organization = FFromOrg;
  message.Subject = subject;
  message.Recipients = recipients;
  message.HtmlBody = BuildHtmlBody(body, breakLn);

  std::vector<TRefusedRecipient> leftOut = Transfer(recipients, message.Build());
  for (const auto& entry : invalid) leftOut.push_back({entry, "not an e-mail address"});
  if (!leftOut.empty())
    FDeliveryNote = Masked(std::string(kClassName) + ": not delivered to " + RefusalsText(leftOut));
}

std::string TVelMailSender::BuildHtmlBody(const std::string& body, bool breakLn) {
  std::string html = "<html><head></head><body>";
  size_t pos = 0;
  while (pos < body.size()) {
    size_t end = body.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = body.size();
    html += HtmlEscape(body.substr(pos, end - pos));
    if (breakLn) html += "<br>";
    if (end < body.size() && body[end] == '\r' && end + 1 < body.size() && body[end + 1] == '\n')
      ++end;
    pos = end + 1;
  }
  return html + "</body></html>";
}

TSMTPAuthenticationType TVelMailSender::AuthenticationFromText(const std::string& text) {
  std::string t = Lower(text);
  if (t == "none") return satNone;
  if (t == "sasl") return satSASL;
  return satDefault;
}

bool TVelMailSender::SendEMailSMTP(const std::string& host, const std::string& userName,
                                   const std::string& password, const std::string& toAddresses,
                                   const std::string& subject, const std::string& body,
                                   const std::string& fromName, const std::string& fromAddress,
                                   const std::string& fromOrg, int port,
                                   TSMTPAuthenticationType authType, bool useTLS, bool breakLn,
                                   std::string& status, bool verifyCertificate,
                                   int connectTimeoutS) {
  TVelMailSender sender(host, port, authType);
  sender.SetUsername(userName);
  sender.SetPassword(password);
  sender.SetFromName(fromName);
  sender.SetFromAddress(fromAddress);
  sender.SetFromOrg(fromOrg);
  sender.SetUseTLS(useTLS);
  sender.SetVerifyCertificate(verifyCertificate);
  sender.SetConnectTimeout(connectTimeoutS);
  try {
    sender.SendMail(toAddresses, subject, body, breakLn);
    if (!sender.DeliveryNote().empty()) status = sender.DeliveryNote();
    return true;
  } catch (const std::exception& e) {
    status = sender.Masked(e.what());
    return false;
  }
}

bool TVelMailSender::SendEMailSMTP(const std::string& host, const std::string& userName,
                                   const std::string& password, const std::string& toAddresses,
                                   const std::string& subject, const std::string& body, int port,
                                   const std::string& authentication, bool useTLS,
                                   std::string& status, bool verifyCertificate,
                                   int connectTimeoutS) {
  return SendEMailSMTP(host, userName, password, toAddresses, subject, body, "", "", "", port,
                       AuthenticationFromText(authentication), useTLS, true, status,
                       verifyCertificate, connectTimeoutS);
}

}  // namespace vel
