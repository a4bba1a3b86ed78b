#pragma once

// Winsock for the test servers and clients of the Windows test programs: started once per
// process, left running until the process ends.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

namespace vel::test {

inline void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("WSAStartup failed");
}

// A TCP socket bound to 127.0.0.1 (port 0: a free one); INVALID_SOCKET when it cannot be.
inline SOCKET BoundLoopbackSocket(int port = 0) {
  StartWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<u_short>(port));
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

inline int LocalPort(SOCKET s) {
  sockaddr_in a{};
  int len = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

// Waits up to `ms` for the socket to become readable (or to have a connection to accept).
inline bool Readable(SOCKET s, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  return ::select(0, &set, nullptr, nullptr, &tv) > 0;
}

}  // namespace vel::test
