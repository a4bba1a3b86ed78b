#include "support/LoopbackPorts.h"

#include "support/Winsock_win32.h"

namespace vel::test {

int UnusedLoopbackPort() {
  const SOCKET s = BoundLoopbackSocket();
  const int port = LocalPort(s);
  ::closesocket(s);
  return port;
}

SilentServer::SilentServer() {
  const SOCKET s = BoundLoopbackSocket();
  ::listen(s, 8);
  port_ = LocalPort(s);
  socket_ = static_cast<std::intptr_t>(s);
}

SilentServer::~SilentServer() {
  Close();
}

void SilentServer::Close() {
  if (socket_ != -1) ::closesocket(static_cast<SOCKET>(socket_));
  socket_ = -1;
}

}  // namespace vel::test
