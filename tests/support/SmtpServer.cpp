#include "support/SmtpServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/TestSupport.h"

extern char** environ;

namespace vel::test {

namespace {

// The system interpreter: the one Debian's python3-aiosmtpd is installed for.
constexpr const char* kPython = "/usr/bin/python3";

std::string ScriptPath() {
  return std::string(VEL_SOURCE_DIR) + "/tests/support/smtp_server.py";
}

// Reads the child's first line ("PORT <n>") within the time-out.
std::string ReadFirstLine(int fd, std::chrono::milliseconds timeout) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  return line;
}

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

SmtpServer::SmtpServer(const std::filesystem::path& folder, Options options) : folder_(folder) {
  std::vector<std::string> args = {kPython,         ScriptPath(), "--dir",
                                   folder.string(), "--port",     std::to_string(options.port)};
  args.push_back("--tls");
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
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    startError_ = "pipe failed";
    return;
  }
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    startError_ = "pipe failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, kPython, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  stdinFd_ = in[1];
  if (rc != 0) {
    ::close(out[0]);
    startError_ = std::string("cannot start ") + kPython + ": " + std::strerror(rc);
    return;
  }
  pid_ = pid;
  std::string line = ReadFirstLine(out[0], std::chrono::seconds(30));
  ::close(out[0]);
  if (line.rfind("PORT ", 0) == 0) {
    port_ = std::atoi(line.c_str() + 5);
  } else {
    startError_ = "the SMTP server did not start (is python3-aiosmtpd installed?)";
  }
}

SmtpServer::~SmtpServer() {
  if (stdinFd_ >= 0) ::close(stdinFd_);  // the server ends when its input closes
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
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
