// The libcurl transport against real servers on 127.0.0.1: what a server sees, what the
// client keeps of the answer, and how failures are reported.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "LocalServers.h"
#include "common/StrLists.h"
#include "http/CurlHttpClient.h"
#include "http/HsmStream.h"
#include "support/TestSupport.h"

namespace vel {
namespace {

using test::RawHttpServer;

const char* const kOk =
    "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok";

class CurlClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Test traffic must never go through a proxy from the environment.
    setenv("NO_PROXY", "*", 1);
    setenv("no_proxy", "*", 1);
  }
  TVelCurlHttpClient client;
};

// Runs an httplib server on 127.0.0.1 for the life of the object.
class HttpServer {
 public:
  explicit HttpServer(httplib::Server& server) : server_(server) {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is only heard once the accept loop runs.
    test::WaitUntil([this] { return server_.is_running(); });
  }
  ~HttpServer() {
    server_.stop();
    thread_.join();
  }
  std::string Url(const std::string& path, const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  int Port() const { return port_; }

 private:
  httplib::Server& server_;
  int port_ = 0;
  std::thread thread_;
};

TEST_F(CurlClientTest, FormPostCarriesTheFixedHeadersInOrderAndTheBody) {
  RawHttpServer server(kOk);
  client.CustomHeaders().Add("X-First=1");
  client.CustomHeaders().Add("X-Second=two words");
  ASSERT_TRUE(client.Post(server.Url("/path/x?q=1"), std::string("a=1&b=2")));
  const std::string raw = server.Request();
  auto lines = RawHttpServer::Lines(raw);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "POST /path/x?q=1 HTTP/1.1");
  auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("Host: 127.0.0.1")) << raw;  // the host alone, without the port
  EXPECT_TRUE(has("Accept: */*")) << raw;
  EXPECT_TRUE(has("User-Agent: Mozilla/5.0 (compatible) Velmora HttpClient")) << raw;
  EXPECT_TRUE(has("Content-Type: application/x-www-form-urlencoded")) << raw;
  EXPECT_TRUE(has("Content-Length: 7")) << raw;
  auto first = std::find(lines.begin(), lines.end(), "X-First: 1");
  auto second = std::find(lines.begin(), lines.end(), "X-Second: two words");
  ASSERT_NE(first, lines.end());
  ASSERT_NE(second, lines.end());
  EXPECT_LT(first, second);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("Host:", 0) == 0; }),
            1);
  EXPECT_EQ(RawHttpServer::Body(raw), "a=1&b=2");

  EXPECT_EQ(client.ResponseCode(), 200);
  EXPECT_EQ(client.ResponseText(), "OK");
  EXPECT_EQ(client.ErrorCode(), 0);
  EXPECT_EQ(client.DataAsString(), "ok");
  ASSERT_GE(client.ResponseRawHeaders().Count(), 1);
  EXPECT_EQ(client.ResponseRawHeaders().Strings(0), "HTTP/1.1 200 OK");
  EXPECT_EQ(client.ResponseHeader("content-type"), "text/plain");
  EXPECT_TRUE(client.CustomHeaders().Count() == 2);  // the request does not consume them
}

TEST_F(CurlClientTest, BodyRulesForContentTypeAndLength) {
  {  // no body bytes: neither Content-Type nor Content-Length
    RawHttpServer server(kOk);
    ASSERT_TRUE(client.Post(server.Url("/"), std::string()));
    auto lines = RawHttpServer::Lines(server.Request());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "POST / HTTP/1.1");
    for (const auto& l : lines) {
      EXPECT_NE(l.rfind("Content-Type", 0), 0u) << l;
      EXPECT_NE(l.rfind("Content-Length", 0), 0u) << l;
    }
  }
  {  // a content type given by the caller
    RawHttpServer server(kOk);
    ASSERT_TRUE(client.Post(server.Url("/"), std::string("{}"), "application/json"));
    auto lines = RawHttpServer::Lines(server.Request());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Type: application/json"), lines.end());
  }
  {  // a custom Content-Type header replaces the default one; it is sent once
    RawHttpServer server(kOk);
    client.CustomHeaders().Add("content-type=text/plain");
    ASSERT_TRUE(client.Post(server.Url("/"), std::string("hello")));
    auto lines = RawHttpServer::Lines(server.Request());
    int count = 0;
    for (const auto& l : lines)
      if (strncasecmp(l.c_str(), "content-type:", 13) == 0) {
        ++count;
        EXPECT_EQ(l, "content-type: text/plain");
      }
    EXPECT_EQ(count, 1);
    client.CustomHeaders().Clear();
  }
  {  // a stream body goes out from its start, whatever its position
    RawHttpServer server(kOk);
    std::istringstream body("0123456789");
    body.seekg(6);
    ASSERT_TRUE(client.Put(server.Url("/p"), body, "text/plain"));
    const std::string raw = server.Request();
    EXPECT_EQ(RawHttpServer::Lines(raw)[0], "PUT /p HTTP/1.1");
    EXPECT_EQ(RawHttpServer::Body(raw), "0123456789");
  }
  {  // DELETE without a body
    RawHttpServer server(kOk);
    ASSERT_TRUE(client.Delete(server.Url("/d")));
    const std::string raw = server.Request();
    EXPECT_EQ(RawHttpServer::Lines(raw)[0], "DELETE /d HTTP/1.1");
    EXPECT_EQ(RawHttpServer::Body(raw), "");
  }
}

TEST_F(CurlClientTest, GetWithParamsBuildsTheQuery) {
  RawHttpServer server(kOk);
  TVelStringList params;
  ASSERT_TRUE(client.Get(server.Url("/g"), params));
  EXPECT_EQ(RawHttpServer::Lines(server.Request(1))[0], "GET /g HTTP/1.1");
  params.Add("a=1");
  params.Add("b=x y+z");
  ASSERT_TRUE(client.Get(server.Url("/g"), params));
  EXPECT_EQ(RawHttpServer::Lines(server.Request(2))[0], "GET /g?a=1&b=x%20y%2Bz HTTP/1.1");
  ASSERT_TRUE(client.Get(server.Url("/g?k=v"), params));
  EXPECT_EQ(RawHttpServer::Lines(server.Request(3))[0], "GET /g?k=v&a=1&b=x%20y%2Bz HTTP/1.1");
  EXPECT_TRUE(client.UseSSL() == false);
}

TEST(CurlFormEncoding, ReservedCharactersArePercentEncodedAndPlusIsKept) {
  EXPECT_EQ(TCurlHttpClient::EncodeFormData({{"a", "x y"}, {"b", "1&2"}}), "a=x%20y&b=1%262");
  EXPECT_EQ(TCurlHttpClient::EncodeFormData({}), "");
  // A raw '+' would read as a space on the server.
  EXPECT_EQ(TCurlHttpClient::EncodeFormData({{"lang", "C++"}, {"a+b", "="}}),
            "lang=C%2B%2B&a%2Bb=%3D");
  // Line breaks and non-ASCII text stay as their bytes.
  EXPECT_EQ(TCurlHttpClient::EncodeFormData({{"t", "a\r\nb\xC3\xA9"}}), "t=a\r\nb\xC3\xA9");
}

TEST_F(CurlClientTest, ErrorStatusesAreAnswersNotFailures) {
  httplib::Server http;
  http.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("<h1>no such page</h1>", "text/html");
  });
  http.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("server trouble", "text/plain");
  });
  http.Get("/empty", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  HttpServer server(http);

  ASSERT_TRUE(client.Get(server.Url("/missing")));
  EXPECT_EQ(client.ResponseCode(), 404);
  EXPECT_EQ(client.ResponseText(), "Not Found");
  EXPECT_EQ(client.ErrorCode(), 0);
  EXPECT_EQ(client.ErrorMessage(), "");
  EXPECT_EQ(client.DataAsString(), "<h1>no such page</h1>");
  EXPECT_EQ(client.ResponseRawHeaders().Strings(0).rfind("HTTP/1.1 404", 0), 0u);

  ASSERT_TRUE(client.Get(server.Url("/broken")));
  EXPECT_EQ(client.ResponseCode(), 500);
  EXPECT_EQ(client.DataBytes(), "server trouble");

  ASSERT_TRUE(client.Get(server.Url("/empty")));
  EXPECT_EQ(client.ResponseCode(), 204);
  EXPECT_EQ(client.DataBytes(), "");
  EXPECT_EQ(client.DataAsString(), "");

  // The transport itself reports false for a non-2xx status and keeps the page.
  TCurlHttpClient transport;
  THsmStream page;
  EXPECT_FALSE(transport.Get(server.Url("/broken"), &page));
  EXPECT_EQ(transport.Response().StatusCode(), 500);
  EXPECT_EQ(transport.Response().ContentLength(), 14);
  EXPECT_EQ(page.Position(), 0);
  EXPECT_EQ(page.ReadAll(), "server trouble");
}

TEST_F(CurlClientTest, LargeBodiesSpillToATemporaryFileThatIsRemoved) {
  httplib::Server http;
  http.Get("/size/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
    std::size_t n = std::stoul(req.matches[1]);
    std::string body(n, 'x');
    for (std::size_t i = 0; i < n; i += 97) body[i] = static_cast<char>('a' + i % 26);
    res.set_content(body, "application/octet-stream");
  });
  HttpServer server(http);

  ASSERT_TRUE(client.Get(server.Url("/size/32759")));
  EXPECT_FALSE(client.DataStream().InFile());
  EXPECT_EQ(client.DataBytes().size(), 32759u);

  ASSERT_TRUE(client.Get(server.Url("/size/32760")));
  ASSERT_TRUE(client.DataStream().InFile());
  const std::string temp = client.DataStream().TempFileName();
  EXPECT_TRUE(std::filesystem::exists(temp));
  const std::string body = client.DataBytes();
  ASSERT_EQ(body.size(), 32760u);
  EXPECT_EQ(body[97], static_cast<char>('a' + 97 % 26));
  EXPECT_EQ(body[32689], static_cast<char>('a' + 32689 % 26));

  ASSERT_TRUE(client.Get(server.Url("/size/10")));  // the next request empties the store
  EXPECT_FALSE(std::filesystem::exists(temp));

  std::string temp2;
  {
    TVelCurlHttpClient other;
    ASSERT_TRUE(other.Get(server.Url("/size/100000")));
    temp2 = other.DataStream().TempFileName();
    EXPECT_TRUE(std::filesystem::exists(temp2));
  }
  EXPECT_FALSE(std::filesystem::exists(temp2));  // freeing the client removes it too
}

TEST_F(CurlClientTest, BodyThatIsNotUtf8IsRefusedAsText) {
  RawHttpServer server(
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\na\xFF"
      "b");
  ASSERT_TRUE(client.Get(server.Url("/")));
  EXPECT_EQ(client.DataBytes(),
            "a\xFF"
            "b");
  try {
    client.DataAsString();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(),
                 "No mapping for the Unicode character exists in the target multi-byte code page");
  }
}

TEST_F(CurlClientTest, AnswerWithoutContentLengthIsReadToTheEnd) {
  RawHttpServer server("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end");
  TCurlHttpClient transport;
  THsmStream body;
  ASSERT_TRUE(transport.Get(server.Url("/"), &body));
  EXPECT_EQ(transport.Response().ContentLength(), 0);
  EXPECT_EQ(body.ReadAll(), "until the end");
}

TEST_F(CurlClientTest, ServerThatNeverAnswersTimesOut) {
  RawHttpServer server("", /*neverAnswer=*/true);
  client.SetConnectTimeout(1000);
  client.SetReadTimeout(1000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Post(server.Url("/"), std::string("x=1")));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));  // the read time-out, not earlier
  EXPECT_LT(elapsed, std::chrono::seconds(6));
  EXPECT_EQ(client.ErrorCode(), 28);  // libcurl's time-out
  EXPECT_EQ(
      client.ErrorMessage().rfind("TCurlHttpClient.HttpReceiveResponse failed with message: ", 0),
      0u)
      << client.ErrorMessage();
  EXPECT_EQ(client.ResponseCode(), 0);
  EXPECT_EQ(client.DataAsString(), "");
  EXPECT_EQ(server.Count(), 1u);
}

TEST_F(CurlClientTest, TransportFailuresAreReportedWithCodeAndMessage) {
  // Nothing listens on this port any more.
  int closedPort;
  {
    RawHttpServer probe(kOk);
    closedPort = probe.Port();
  }
  EXPECT_FALSE(client.Get("http://127.0.0.1:" + std::to_string(closedPort) + "/"));
  EXPECT_EQ(client.ErrorCode(), 7);
  EXPECT_EQ(
      client.ErrorMessage().rfind("TCurlHttpClient.HttpSendRequest(2) failed with message: ", 0),
      0u)
      << client.ErrorMessage();

  EXPECT_FALSE(client.Post("http://no-such-host.invalid/x", std::string("a=1")));
  EXPECT_EQ(client.ErrorCode(), 6);
  EXPECT_EQ(client.ErrorMessage(),
            "TCurlHttpClient.HttpSendRequest(1) failed with message: Could not resolve host: "
            "no-such-host.invalid");

  for (const std::string url : {"not a url", "ftp://127.0.0.1/file", "http://"}) {
    EXPECT_FALSE(client.Get(url)) << url;
    EXPECT_EQ(client.ErrorCode(), -1) << url;
    EXPECT_NE(client.ErrorMessage().find("ParseURL"), std::string::npos) << client.ErrorMessage();
  }
  EXPECT_FALSE(client.Get(""));
  EXPECT_EQ(client.ErrorCode(), -1);
}

TEST_F(CurlClientTest, BodyCutShortIsAFailureNotASuccess) {
  RawHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this");
  EXPECT_FALSE(client.Get(server.Url("/")));
  EXPECT_EQ(client.ErrorCode(), 18);  // libcurl's partial file
  EXPECT_EQ(client.ErrorMessage().rfind("TCurlHttpClient.HttpReadData failed with message: ", 0),
            0u)
      << client.ErrorMessage();
  EXPECT_EQ(client.ResponseCode(), 200);  // what did arrive is still described
}

TEST_F(CurlClientTest, ProxyFromTheEnvironmentIsUsed) {
  RawHttpServer proxy(kOk);
  setenv("http_proxy", proxy.Url("").c_str(), 1);
  unsetenv("NO_PROXY");
  unsetenv("no_proxy");
  const bool ok = client.Get("http://service.invalid/status?x=1");
  unsetenv("http_proxy");
  setenv("NO_PROXY", "*", 1);
  setenv("no_proxy", "*", 1);
  ASSERT_TRUE(ok) << client.ErrorMessage();
  auto lines = RawHttpServer::Lines(proxy.Request());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "GET http://service.invalid/status?x=1 HTTP/1.1");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Host: service.invalid"), lines.end());
}

TEST_F(CurlClientTest, DownloadFileWritesTheBodyOnlyWhenTheRequestRan) {
  test::TempDir dir;
  RawHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  const std::string file = dir.file("out.bin");
  test::WriteFile(file, "old content that is longer");
  ASSERT_TRUE(client.DownloadFile(server.Url("/f"), file));
  EXPECT_EQ(test::ReadFile(file), "hello");
  EXPECT_EQ(client.DataStream().Size(), 0);

  const std::string missing = dir.file("never.bin");
  EXPECT_FALSE(client.DownloadFile("http://no-such-host.invalid/f", missing));
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(CurlClientTest, HttpsIsVerifiedAgainstTheGivenCaFile) {
  test::TempDir dir;
  const std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
  ASSERT_TRUE(test::MakeSelfSignedCertificate(cert, key));
  httplib::SSLServer https(cert.c_str(), key.c_str());
  ASSERT_TRUE(https.is_valid());
  https.Get("/secure", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("secret:" + req.get_header_value("Host"), "text/plain");
  });
  HttpServer server(https);
  const std::string url = server.Url("/secure", "https");

  // Not in the system store: refused.
  EXPECT_FALSE(client.Get(url));
  EXPECT_EQ(client.ErrorCode(), 60) << client.ErrorMessage();
  EXPECT_TRUE(client.UseSSL());

  client.SetCaFile(cert);
  ASSERT_TRUE(client.Get(url)) << client.ErrorMessage();
  EXPECT_EQ(client.ResponseCode(), 200);
  EXPECT_EQ(client.DataAsString(), "secret:127.0.0.1");

  // New clients start with the process-wide CA file.
  TVelHTTPClientBase::SetDefaultCaFile(cert);
  TVelCurlHttpClient fresh;
  TVelHTTPClientBase::SetDefaultCaFile("");
  EXPECT_EQ(fresh.CaFile(), cert);
  EXPECT_TRUE(fresh.Get(url)) << fresh.ErrorMessage();

  // A client certificate file that cannot be read fails the request before it is sent.
  client.SetClientCertificate(dir.file("missing.pem"));
  EXPECT_FALSE(client.Get(url));
  EXPECT_EQ(client.ErrorMessage().rfind("TCurlHttpClient.SetClientCertificate failed", 0), 0u);
}

TEST_F(CurlClientTest, ClientCertificateIsPresented) {
  test::TempDir dir;
  const std::string cert = dir.file("server.pem"), key = dir.file("server.key");
  const std::string clientCert = dir.file("client.crt"), clientKey = dir.file("client.key");
  ASSERT_TRUE(test::MakeSelfSignedCertificate(cert, key));
  ASSERT_TRUE(test::MakeSelfSignedCertificate(clientCert, clientKey, "velclient"));
  const std::string bundle = dir.file("client.pem");
  test::WriteFile(bundle, test::ReadFile(clientCert) + test::ReadFile(clientKey));
  httplib::SSLServer https(cert.c_str(), key.c_str(), clientCert.c_str());
  ASSERT_TRUE(https.is_valid());
  https.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello client", "text/plain");
  });
  HttpServer server(https);
  client.SetCaFile(cert);

  EXPECT_FALSE(client.Get(server.Url("/", "https")));  // the server demands a certificate
  EXPECT_NE(client.ErrorCode(), 0);

  client.SetClientCertificate(bundle);
  ASSERT_TRUE(client.Get(server.Url("/", "https"))) << client.ErrorMessage();
  EXPECT_EQ(client.DataAsString(), "hello client");
}

TEST_F(CurlClientTest, RedirectsAreFollowedButNeverFromHttpsToHttp) {
  httplib::Server http;
  int plainHits = 0;
  http.Get("/target", [&](const httplib::Request&, httplib::Response& res) {
    ++plainHits;
    res.set_content("arrived", "text/plain");
  });
  HttpServer plain(http);
  http.Get("/hop", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(plain.Url("/target"));
  });
  ASSERT_TRUE(client.Get(plain.Url("/hop")));
  EXPECT_EQ(client.ResponseCode(), 200);
  EXPECT_EQ(client.DataAsString(), "arrived");
  EXPECT_EQ(client.ResponseRawHeaders().Strings(0), "HTTP/1.1 200 OK");  // the final answer's
  EXPECT_EQ(plainHits, 1);

  test::TempDir dir;
  const std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
  ASSERT_TRUE(test::MakeSelfSignedCertificate(cert, key));
  httplib::SSLServer https(cert.c_str(), key.c_str());
  https.Get("/down", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(plain.Url("/target"));
  });
  HttpServer secure(https);
  client.SetCaFile(cert);
  EXPECT_FALSE(client.Get(secure.Url("/down", "https")));
  EXPECT_NE(client.ErrorCode(), 0);
  EXPECT_EQ(plainHits, 1);
}

TEST_F(CurlClientTest, RedirectedPostKeepsItsBody) {
  httplib::Server http;
  std::mutex lock;
  std::vector<std::string> arrived;  // method and body as the target saw them
  auto target = [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard guard(lock);
    arrived.push_back(req.method + " " + req.body);
    res.set_content("ok", "text/plain");
  };
  http.Post("/target", target);
  http.Get("/target", target);
  HttpServer server(http);
  for (int status : {301, 302, 303}) {
    http.Post("/moved" + std::to_string(status),
              [&, status](const httplib::Request&, httplib::Response& res) {
                res.set_redirect(server.Url("/target"), status);
              });
  }
  for (int status : {301, 302, 303}) {
    ASSERT_TRUE(client.Post(server.Url("/moved" + std::to_string(status)),
                            std::string("chat_id=1&text=hello")))
        << client.ErrorMessage();
    EXPECT_EQ(client.ResponseCode(), 200);
  }
  std::lock_guard guard(lock);
  // A 303 asks for a GET; 301 and 302 keep the POST and its body.
  EXPECT_EQ(arrived, (std::vector<std::string>{"POST chat_id=1&text=hello",
                                               "POST chat_id=1&text=hello", "GET "}));
}

TEST_F(CurlClientTest, AnswerBodyIsBoundedTo1MiB) {
  const std::string big(1024 * 1024 + 1, 'x');
  // Announced by its length, or only found out while reading.
  for (const std::string& head :
       {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n",
        std::string("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")}) {
    RawHttpServer server(head + big);
    EXPECT_FALSE(client.Get(server.Url("/")));
    EXPECT_NE(client.ErrorMessage().find("the answer body is larger than 1048576 bytes"),
              std::string::npos)
        << client.ErrorMessage();
  }
  RawHttpServer exact("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big.substr(1));
  ASSERT_TRUE(client.Get(exact.Url("/"))) << client.ErrorMessage();
  EXPECT_EQ(client.DataBytes().size(), big.size() - 1);
}

TEST_F(CurlClientTest, TricklingServerIsCutAtTheRequestTimeout) {
  // Headers, then one byte every 200 ms: never quiet long enough for the read time-out.
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread trickle([listener] {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return;
    int fd = ::accept(listener, nullptr, nullptr);
    char buf[4096];
    (void)!::recv(fd, buf, sizeof buf, 0);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    bool open = ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) > 0;
    for (int i = 0; open && i < 100; ++i) {  // 20 s at most
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      open = ::send(fd, "x", 1, MSG_NOSIGNAL) == 1;
    }
    ::close(fd);
  });
  client.SetReadTimeout(1000);
  client.SetRequestTimeout(1500);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Get("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/"));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1400));
  EXPECT_LT(elapsed, std::chrono::seconds(6));
  EXPECT_NE(client.ErrorMessage().find("took longer than 1500 milliseconds"), std::string::npos)
      << client.ErrorMessage();
  trickle.join();  // the closed connection ends it
  ::close(listener);
}

TEST(CurlUrlParsing, PartsOfAUrl) {
  TUrlParts p = TCurlHttpClient::ParseURL("https://example.org:8443/a/b?x=1&y=2");
  EXPECT_EQ(p.Protocol, "https");
  EXPECT_EQ(p.Host, "example.org");
  EXPECT_EQ(p.Port, 8443);
  EXPECT_EQ(p.UrlPath, "/a/b");
  EXPECT_EQ(p.Params, "?x=1&y=2");
  p = TCurlHttpClient::ParseURL("HTTP://Example.org");
  EXPECT_EQ(p.Protocol, "http");
  EXPECT_EQ(p.Port, 80);
  EXPECT_EQ(p.UrlPath, "/");
  EXPECT_EQ(p.Params, "");
  p = TCurlHttpClient::ParseURL("");
  EXPECT_EQ(p.Host, "");
  EXPECT_THROW(TCurlHttpClient::ParseURL("gopher://x/"), Exception);
}

}  // namespace
}  // namespace vel
