#include "support/SmtpServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

struct SmtpServer::Process {
  int pid = -1;
  int stdinFd = -1;  // the server ends when its input closes
};

SmtpServer::SmtpServer(const std::filesystem::path& folder, Options options)
    : folder_(folder), process_(std::make_unique<Process>()) {
  std::vector<std::string> args = {kPython, ScriptPath(), "--dir", folder.string()};
  for (auto& a : Arguments(options)) args.push_back(std::move(a));
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
  process_->stdinFd = in[1];
  if (rc != 0) {
    ::close(out[0]);
    startError_ = std::string("cannot start ") + kPython + ": " + std::strerror(rc);
    return;
  }
  process_->pid = pid;
  std::string line = ReadFirstLine(out[0], std::chrono::seconds(30));
  ::close(out[0]);
  if (line.rfind("PORT ", 0) == 0) {
    port_ = std::atoi(line.c_str() + 5);
  } else {
    startError_ = "the SMTP server did not start (is python3-aiosmtpd installed?)";
  }
}

SmtpServer::~SmtpServer() {
  if (process_->stdinFd >= 0) ::close(process_->stdinFd);
  if (process_->pid > 0) {
    ::kill(process_->pid, SIGTERM);
    int status = 0;
    while (::waitpid(process_->pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace vel::test
