#include <httplib.h>

#include <stdexcept>
#include <thread>

#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace vel::test {

// cpp-httplib comes prebuilt, without ThreadSanitizer instrumentation: how it hands a
// connection from one of its threads to another is invisible to the sanitizer, which then
// reports the library's own buffers when the chats are served at the same time. Reports from
// inside it say nothing about this project's code.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\nrace:libcpp-httplib.so\n";
}

struct LoopbackHttpServer::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;
};

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : impl_(std::make_unique<Impl>()) {
  auto serve = [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
    LoopbackRequest r;
    r.Method = req.method;
    r.Target = req.target.empty() ? req.path : req.target;
    for (const auto& [n, v] : req.headers) r.Headers.emplace_back(n, v);
    r.Body = req.body;
    LoopbackReply reply = handler(r);
    res.status = reply.Status;
    for (const auto& [n, v] : reply.Headers) res.set_header(n.c_str(), v);
    if (!reply.Body.empty()) res.set_content(reply.Body, reply.ContentType.c_str());
  };
  Impl* impl = impl_.get();
  impl->server.Post(R"(/.*)", serve);
  impl->server.Get(R"(/.*)", serve);
  impl->server.Put(R"(/.*)", serve);
  impl->server.Delete(R"(/.*)", serve);
  impl->port = impl->server.bind_to_any_port("127.0.0.1");
  if (impl->port <= 0) throw std::runtime_error("LoopbackHttpServer: cannot listen on 127.0.0.1");
  impl->thread = std::thread([impl] { impl->server.listen_after_bind(); });
  // stop() is only heard once the accept loop runs; a server torn down before that would hang.
  if (!WaitUntil([impl] { return impl->server.is_running(); })) {
    impl->server.stop();
    impl->thread.detach();
    impl_.release();  // the detached thread may still use it
    throw std::runtime_error("LoopbackHttpServer: the server did not start");
  }
}

LoopbackHttpServer::~LoopbackHttpServer() {
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

int LoopbackHttpServer::Port() const {
  return impl_->port;
}

}  // namespace vel::test
