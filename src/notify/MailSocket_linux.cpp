#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "notify/MailSocket.h"

namespace vel {

namespace {

std::string Describe(const curl_sockaddr* a) {
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (a->family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&a->addr);
    ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  } else if (a->family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a->addr);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
  }
  return std::string(host) + " port " + std::to_string(port);
}

// Connects a non-blocking socket and waits for the outcome until the deadline.
int ConnectWithin(int fd, const curl_sockaddr* a, int timeoutMs) {
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&a->addr), a->addrlen);
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno;
    if (r == 0) return ETIMEDOUT;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
  }
}

curl_socket_t OpenSocket(void* clientp, curlsocktype purpose, curl_sockaddr* a) {
  auto* setup = static_cast<TMailSocketSetup*>(clientp);
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
  int fd = ::socket(a->family, a->socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->protocol);
  if (fd < 0) {
    setup->lastError = Describe(a) + ": " + std::strerror(errno);
    return CURL_SOCKET_BAD;
  }
  int err = ConnectWithin(fd, a, setup->timeoutMs);
  if (err != 0) {
    ::close(fd);
    setup->lastError =
        Describe(a) + ": " +
        (err == ETIMEDOUT ? "no connection within " + std::to_string(setup->timeoutMs) + " ms"
                          : std::string(std::strerror(err)));
    return CURL_SOCKET_BAD;
  }
  setup->lastError.clear();
  return fd;
}

int SocketReady(void*, curl_socket_t, curlsocktype) {
  return CURL_SOCKOPT_ALREADY_CONNECTED;
}

}  // namespace

void InstallMailSocket(CURL* curl, TMailSocketSetup* setup) {
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, setup);
  curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, &SocketReady);
}

}  // namespace vel
