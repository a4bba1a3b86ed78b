#pragma once

// A plain HTTP/1.1 server on 127.0.0.1 (a free port) that hands every request to one handler
// and sends back what it returns. The test stand-ins for the chat APIs are built on it; each
// system has its own implementation (LoopbackHttpServer_<os>.cpp) so that the Windows test
// programs under Wine have their servers in process, as the Linux ones do.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vel::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct LoopbackRequest {
  std::string Method;
  std::string Target;  // as received, percent-escapes and query kept
  HeaderList Headers;  // in arrival order
  std::string Body;
};

struct LoopbackReply {
  int Status = 200;
  HeaderList Headers;
  std::string Body;
  std::string ContentType;  // sent when the body is not empty
};

class LoopbackHttpServer {
 public:
  // Called on a thread of the server, one call per request; may block. Requests on one
  // connection are answered in order, connections are served side by side.
  using Handler = std::function<LoopbackReply(const LoopbackRequest&)>;

  // Listening when the constructor returns; throws std::runtime_error when it cannot.
  explicit LoopbackHttpServer(Handler handler);
  // Stops listening, ends every connection and waits for the server's threads: a handler
  // still blocked must be released before.
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  int Port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vel::test
