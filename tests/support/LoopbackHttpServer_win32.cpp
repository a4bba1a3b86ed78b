#include "support/LoopbackHttpServer.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/Winsock_win32.h"

namespace vel::test {

namespace {

// How often blocked reads look whether the server is stopping: select() with a short wait
// instead of relying on closesocket() to wake a blocked call, which Wine does not promise.
constexpr int kPollMs = 50;

bool SameTextAscii(std::string a, std::string b) {
  for (auto* s : {&a, &b})
    for (char& c : *s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return a == b;
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

}  // namespace

struct LoopbackHttpServer::Impl {
  Handler handler;
  SOCKET listener = INVALID_SOCKET;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  std::mutex lock;
  std::vector<std::thread> connections;

  // Reads more bytes into `buffer`; false when the peer is gone or the server stops.
  bool ReadMore(SOCKET s, std::string& buffer) {
    while (!stopping) {
      if (!Readable(s, kPollMs)) continue;
      char chunk[8192];
      const int n = ::recv(s, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
    return false;
  }

  static bool SendAll(SOCKET s, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const int n = ::send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // One request off the connection (the bytes after it stay in `buffer`); false when the
  // connection ends first or the request is not one this server reads.
  bool ReadRequest(SOCKET s, std::string& buffer, LoopbackRequest& request, bool& close) {
    std::size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos)
      if (!ReadMore(s, buffer)) return false;
    const std::string head = buffer.substr(0, headEnd);
    buffer.erase(0, headEnd + 4);
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto sp1 = requestLine.find(' ');
    const auto sp2 = requestLine.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
    request.Method = requestLine.substr(0, sp1);
    request.Target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    std::size_t length = 0;
    while (lineEnd != std::string::npos) {
      const std::size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      const std::string line =
          head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon), value = Trim(line.substr(colon + 1));
      if (SameTextAscii(name, "Content-Length")) length = std::strtoul(value.c_str(), nullptr, 10);
      if (SameTextAscii(name, "Transfer-Encoding")) return false;  // no client here sends it
      if (SameTextAscii(name, "Connection") && SameTextAscii(value, "close")) close = true;
      request.Headers.emplace_back(std::move(name), std::move(value));
    }
    while (buffer.size() < length)
      if (!ReadMore(s, buffer)) return false;
    request.Body = buffer.substr(0, length);
    buffer.erase(0, length);
    return true;
  }

  void Serve(SOCKET s) {
    std::string buffer;
    for (bool close = false; !close && !stopping;) {
      LoopbackRequest request;
      if (!ReadRequest(s, buffer, request, close)) break;
      const LoopbackReply reply = handler(request);
      std::string out =
          "HTTP/1.1 " + std::to_string(reply.Status) + " " + Reason(reply.Status) + "\r\n";
      for (const auto& [n, v] : reply.Headers) out += n + ": " + v + "\r\n";
      if (!reply.Body.empty()) out += "Content-Type: " + reply.ContentType + "\r\n";
      if (reply.Status != 204)
        out += "Content-Length: " + std::to_string(reply.Body.size()) + "\r\n";
      if (close) out += "Connection: close\r\n";
      out += "\r\n" + reply.Body;
      if (!SendAll(s, out)) break;
    }
    ::shutdown(s, SD_SEND);
    ::closesocket(s);
  }

  void Accept() {
    while (!stopping) {
      if (!Readable(listener, kPollMs)) continue;
      SOCKET s = ::accept(listener, nullptr, nullptr);
      if (s == INVALID_SOCKET) continue;
      std::lock_guard guard(lock);
      connections.emplace_back([this, s] { Serve(s); });
    }
  }
};

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
  impl_->listener = BoundLoopbackSocket();
  if (impl_->listener == INVALID_SOCKET || ::listen(impl_->listener, SOMAXCONN) != 0) {
    if (impl_->listener != INVALID_SOCKET) ::closesocket(impl_->listener);
    throw std::runtime_error("LoopbackHttpServer: cannot listen on 127.0.0.1");
  }
  impl_->port = LocalPort(impl_->listener);
  impl_->acceptor = std::thread([impl = impl_.get()] { impl->Accept(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  impl_->stopping = true;
  impl_->acceptor.join();
  ::closesocket(impl_->listener);
  for (auto& t : impl_->connections) t.join();
}

int LoopbackHttpServer::Port() const {
  return impl_->port;
}

}  // namespace vel::test
