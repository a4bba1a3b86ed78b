#pragma once

// Loopback ports for tests of what a client does when a server is not there or says nothing.

#include <cstdint>

namespace vel::test {

// A loopback port where nothing listens.
int UnusedLoopbackPort();

// A loopback port that takes connections (into the listen queue) and never says a word.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int Port() const { return port_; }
  // Connections waiting to be accepted are refused from now on.
  void Close();

 private:
  std::intptr_t socket_ = -1;
  int port_ = 0;
};

}  // namespace vel::test
