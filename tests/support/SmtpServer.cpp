#include "support/SmtpServer.h"

#include "support/TestSupport.h"

namespace vel::test {

namespace {

// Undoes the server's one-line form of a value ("\\", "\\r", "\\n").
std::string Unescape(const std::string& v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) {
      char n = v[++i];
      out += n == 'r' ? '\r' : n == 'n' ? '\n' : n;
    } else {
      out += v[i];
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> SmtpServer::Arguments(const Options& options) {
  std::vector<std::string> args = {"--port", std::to_string(options.port), "--tls"};
  args.push_back(options.tls == Tls::None       ? "none"
                 : options.tls == Tls::StartTls ? "starttls"
                                                : "implicit");
  if (!options.user.empty()) {
    args.insert(args.end(), {"--user", options.user, "--password", options.password});
  }
  if (options.refuseAuth) args.push_back("--refuse-auth");
  if (options.offerCramMd5) args.push_back("--cram-md5");
  if (options.offerUnusable) args.push_back("--unusable-mechanisms");
  if (options.authRequired) args.push_back("--auth-required");
  if (!options.onlyMechanism.empty())
    args.insert(args.end(), {"--only-mechanism", options.onlyMechanism});
  if (options.authAfterTls) args.push_back("--auth-after-tls");
  if (options.acceptDelayS > 0)
    args.insert(args.end(), {"--accept-delay", std::to_string(options.acceptDelayS)});
  return args;
}

bool SmtpServer::LoginAttempted() const {
  return std::filesystem::exists(folder_ / "auth.log");
}

int SmtpServer::MessageCount() const {
  int n = 0;
  while (std::filesystem::exists(folder_ / ("msg-" + std::to_string(n + 1) + ".meta"))) ++n;
  return n;
}

std::optional<SmtpServer::Message> SmtpServer::WaitForMessage(
    int index, std::chrono::milliseconds timeout) const {
  auto base = folder_ / ("msg-" + std::to_string(index));
  auto meta = base;
  meta += ".meta";
  if (!WaitUntil([&] { return std::filesystem::exists(meta); }, timeout)) return std::nullopt;
  Message m;
  std::string text = ReadFile(meta);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    size_t colon = line.find(": ");
    std::string key = line.substr(0, colon);
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
    if (key == "mail_from")
      m.mailFrom = value;
    else if (key == "rcpt")
      m.rcptTos.push_back(value);
    else if (key == "tls")
      m.tls = value == "1";
    else if (key == "tls_version")
      m.tlsVersion = value;
    else if (key == "auth")
      m.authMechanism = value;
    else if (key == "login")
      m.login = value;
    else if (key == "peer")
      m.peerPort = std::atoi(value.c_str());
    else if (key == "subject")
      m.subject = Unescape(value);
    else if (key == "from")
      m.from = Unescape(value);
    else if (key == "to")
      m.to = Unescape(value);
    else if (key == "body")
      m.body = Unescape(value);
    else if (key == "parse_error")
      m.parseError = Unescape(value);
  }
  auto eml = base;
  eml += ".eml";
  m.data = ReadFile(eml);
  return m;
}

}  // namespace vel::test
