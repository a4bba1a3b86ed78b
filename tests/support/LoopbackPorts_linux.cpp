#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/LoopbackPorts.h"

namespace vel::test {

namespace {

int BoundSocket(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

int UnusedLoopbackPort() {
  int port = 0;
  ::close(BoundSocket(port));
  return port;
}

SilentServer::SilentServer() {
  const int fd = BoundSocket(port_);
  ::listen(fd, 8);
  socket_ = fd;
}

SilentServer::~SilentServer() {
  Close();
}

void SilentServer::Close() {
  if (socket_ >= 0) ::close(static_cast<int>(socket_));
  socket_ = -1;
}

}  // namespace vel::test
