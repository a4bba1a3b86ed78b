#pragma once

// Local servers for the transport tests: a raw socket server that records the exact bytes of
// each request (header lines as sent, order included) and answers with fixed bytes or never,
// and a self-signed certificate made at test time for an HTTPS server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vel::test {

class RawHttpServer {
 public:
  // answer: the bytes sent back after each request. With neverAnswer, every connection is
  // read and then held open without a reply until the server goes.
  explicit RawHttpServer(std::string answer, bool neverAnswer = false)
      : answer_(std::move(answer)), neverAnswer_(neverAnswer) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 16) != 0)
      throw std::runtime_error("RawHttpServer: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (::pipe(wake_) != 0) throw std::runtime_error("RawHttpServer: pipe");
    thread_ = std::thread([this] { Run(); });
  }
  ~RawHttpServer() {
    char c = 'x';
    (void)!::write(wake_[1], &c, 1);
    thread_.join();
    for (int fd : held_) ::close(fd);
    ::close(listen_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  int Port() const { return port_; }
  std::string Url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // Waits for the n-th (1-based) complete request and returns its raw bytes ("" on time-out).
  std::string Request(std::size_t n = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [&] { return requests_.size() >= n; })) return {};
    return requests_[n - 1];
  }
  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }

  // Header lines of a raw request (request line first), without line ends.
  static std::vector<std::string> Lines(const std::string& raw) {
    std::vector<std::string> lines;
    std::size_t end = raw.find("\r\n\r\n");
    std::size_t pos = 0;
    while (pos < end) {
      std::size_t eol = raw.find("\r\n", pos);
      lines.push_back(raw.substr(pos, eol - pos));
      pos = eol + 2;
    }
    return lines;
  }
  static std::string Body(const std::string& raw) {
    std::size_t end = raw.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : raw.substr(end + 4);
  }

 private:
  void Run() {
    for (;;) {
      pollfd fds[2] = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string raw;
      if (!ReadRequest(fd, raw)) {
        ::close(fd);
        continue;
      }
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(raw);
      }
      cv_.notify_all();
      if (neverAnswer_) {
        held_.push_back(fd);
        continue;
      }
      std::size_t done = 0;
      while (done < answer_.size()) {
        ssize_t n = ::send(fd, answer_.data() + done, answer_.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      ::shutdown(fd, SHUT_WR);
      ::close(fd);
    }
  }
  bool ReadRequest(int fd, std::string& raw) {
    char buf[4096];
    std::size_t need = std::string::npos;
    for (;;) {
      std::size_t head = raw.find("\r\n\r\n");
      if (head != std::string::npos && need == std::string::npos) {
        need = head + 4;
        for (const auto& line : Lines(raw)) {
          if (line.size() > 15 && strncasecmp(line.c_str(), "Content-Length:", 15) == 0)
            need += std::stoul(line.substr(15));
        }
      }
      if (need != std::string::npos && raw.size() >= need) return true;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return false;
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      raw.append(buf, static_cast<std::size_t>(n));
    }
  }

  std::string answer_;
  bool neverAnswer_;
  int listen_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::vector<int> held_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> requests_;
};

// A self-signed certificate for 127.0.0.1 and localhost, written as PEM files; the
// certificate file doubles as the CA bundle a client trusts. Returns false on failure.
inline bool MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile,
                                      const std::string& commonName = "localhost") {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  if (!key) return false;
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                            std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                            std::pair{NID_key_usage, "critical,digitalSignature,keyCertSign"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext) {
      X509_add_ext(cert, ext, -1);
      X509_EXTENSION_free(ext);
    }
  }
  bool ok = X509_sign(cert, key, EVP_sha256()) > 0;
  FILE* f = ok ? std::fopen(certFile.c_str(), "w") : nullptr;
  ok = f && PEM_write_X509(f, cert);
  if (f) std::fclose(f);
  f = ok ? std::fopen(keyFile.c_str(), "w") : nullptr;
  ok = f && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  if (f) std::fclose(f);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace vel::test
