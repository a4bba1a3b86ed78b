// The WinHTTP transport against the local server of tests/support/http_server.py, which CTest
// starts on the Linux side (VEL_HTTP_SERVER_STATE names its state file): what the server sees,
// what the client keeps of the answer, time-outs, cancellation and how failures are reported.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/StrLists.h"
#include "http/HsmStream.h"
#include "http/WinHttpClient.h"

namespace vel {
namespace {

struct TServer {
  int port = 0;
  int refusedPort = 0;
  int httpsPort = 0;  // self-signed certificate
};

TServer ReadServer() {
  TServer s;
  const char* file = std::getenv("VEL_HTTP_SERVER_STATE");
  if (!file) return s;
  std::ifstream in(file);
  int pid = 0;
  in >> s.port >> s.refusedPort >> pid >> s.httpsPort;
  return s;
}

std::vector<std::string> Lines(const std::string& raw) {
  std::vector<std::string> lines;
  std::string head = raw.substr(0, raw.find("\r\n\r\n"));
  std::istringstream in(head);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Body(const std::string& raw) {
  auto at = raw.find("\r\n\r\n");
  return at == std::string::npos ? "" : raw.substr(at + 4);
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool HasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

class WinHttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = ReadServer();
    ASSERT_NE(server.port, 0) << "VEL_HTTP_SERVER_STATE does not name a running test server";
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server.port) + path;
  }
  TServer server;
  TVelWinHttpClient client;
};

TEST_F(WinHttpClientTest, FormPostCarriesTheFixedHeadersInOrderAndTheBody) {
  client.CustomHeaders().Add("X-First=1");
  client.CustomHeaders().Add("X-Second=two words");
  ASSERT_TRUE(client.Post(Url("/echo/x?q=1"), std::string("a=1&b=2"))) << client.ErrorMessage();
  const std::string raw = client.DataAsString();
  const auto lines = Lines(raw);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "POST /echo/x?q=1 HTTP/1.1");
  EXPECT_TRUE(Has(lines, "Host: 127.0.0.1")) << raw;  // the host alone, without the port
  EXPECT_TRUE(Has(lines, "Accept: */*")) << raw;
  EXPECT_TRUE(Has(lines, "User-Agent: Mozilla/5.0 (compatible) Velmora HttpClient")) << raw;
  EXPECT_TRUE(Has(lines, "Content-Type: application/x-www-form-urlencoded")) << raw;
  EXPECT_TRUE(Has(lines, "Content-Length: 7")) << raw;
  auto first = std::find(lines.begin(), lines.end(), "X-First: 1");
  auto second = std::find(lines.begin(), lines.end(), "X-Second: two words");
  ASSERT_NE(first, lines.end()) << raw;
  ASSERT_NE(second, lines.end()) << raw;
  EXPECT_LT(first, second);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("Host:", 0) == 0; }),
            1)
      << raw;
  EXPECT_EQ(Body(raw), "a=1&b=2");

  EXPECT_EQ(client.ResponseCode(), 200);
  EXPECT_EQ(client.ResponseText(), "OK");
  EXPECT_EQ(client.ErrorCode(), 0);
  ASSERT_GE(client.ResponseRawHeaders().Count(), 1);
  EXPECT_EQ(client.ResponseRawHeaders().Strings(0), "HTTP/1.1 200 OK");
  EXPECT_EQ(client.ResponseHeader("content-type"), "text/plain");
}

TEST_F(WinHttpClientTest, BodyRulesForContentTypeAndLength) {
  // A JSON body goes out as its UTF-8 bytes under the caller's content type.
  const std::string json = "{\"text\":\"caf\xC3\xA9 \xE6\x97\xA5\"}";
  ASSERT_TRUE(client.Post(Url("/echo"), json, "application/json")) << client.ErrorMessage();
  std::string raw = client.DataAsString();
  EXPECT_TRUE(Has(Lines(raw), "Content-Type: application/json")) << raw;
  EXPECT_EQ(Body(raw), json);

  // No body bytes: no Content-Type (WinHTTP itself may still announce a length of 0).
  ASSERT_TRUE(client.Post(Url("/echo"), std::string())) << client.ErrorMessage();
  raw = client.DataAsString();
  EXPECT_FALSE(HasPrefix(Lines(raw), "Content-Type")) << raw;
  EXPECT_FALSE(HasPrefix(Lines(raw), "Content-Length: ") && !Has(Lines(raw), "Content-Length: 0"))
      << raw;
  EXPECT_EQ(Body(raw), "");

  // A stream body goes out from its start, whatever its position.
  std::istringstream body("0123456789");
  body.seekg(6);
  ASSERT_TRUE(client.Put(Url("/echo/p"), body, "text/plain")) << client.ErrorMessage();
  raw = client.DataAsString();
  EXPECT_EQ(Lines(raw)[0], "PUT /echo/p HTTP/1.1");
  EXPECT_EQ(Body(raw), "0123456789");

  ASSERT_TRUE(client.Delete(Url("/echo/d"))) << client.ErrorMessage();
  EXPECT_EQ(client.ResponseCode(), 200);
}

TEST_F(WinHttpClientTest, ErrorStatusesAreAnswersNotFailures) {
  for (int status : {404, 500}) {
    ASSERT_TRUE(client.Get(Url("/status/" + std::to_string(status)))) << client.ErrorMessage();
    EXPECT_EQ(client.ResponseCode(), status);
    EXPECT_EQ(client.ResponseText(), status == 404 ? "Not Found" : "Internal Server Error");
    EXPECT_EQ(client.ErrorCode(), 0);
    EXPECT_EQ(client.ErrorMessage(), "");
    EXPECT_EQ(client.DataAsString(), "page " + std::to_string(status));
  }
  // The transport itself reports false for a non-2xx status and keeps the page.
  TWinHttpClient transport;
  THsmStream page;
  EXPECT_FALSE(transport.Get(Url("/status/500"), &page));
  EXPECT_EQ(transport.Response().StatusCode(), 500);
  EXPECT_EQ(transport.Response().ContentLength(), 8);
  EXPECT_EQ(page.Position(), 0);
  EXPECT_EQ(page.ReadAll(), "page 500");
}

TEST_F(WinHttpClientTest, LargeBodiesAndRedirectsArriveWhole) {
  ASSERT_TRUE(client.Get(Url("/big/40000"))) << client.ErrorMessage();
  EXPECT_TRUE(client.DataStream().InFile());
  EXPECT_EQ(client.DataBytes(), std::string(40000, 'x'));

  ASSERT_TRUE(client.Get(Url("/redirect?to=" + Url("/status/404")))) << client.ErrorMessage();
  EXPECT_EQ(client.ResponseCode(), 404);  // the final answer's
  EXPECT_EQ(client.ResponseRawHeaders().Strings(0).rfind("HTTP/1.1 404", 0), 0u);
}

TEST_F(WinHttpClientTest, TransportFailuresAreReportedWithCodeAndMessage) {
  EXPECT_FALSE(client.Get("http://127.0.0.1:" + std::to_string(server.refusedPort) + "/"));
  EXPECT_EQ(client.ErrorCode(), 12029);
  EXPECT_EQ(
      client.ErrorMessage().rfind("TWinHttpClient.HttpSendRequest(2) failed with message: ", 0), 0u)
      << client.ErrorMessage();
  EXPECT_EQ(client.ResponseCode(), 0);

  for (const std::string url : {"not a url", "ftp://127.0.0.1/file", "http://", ""}) {
    EXPECT_FALSE(client.Get(url)) << url;
    EXPECT_EQ(client.ErrorCode(), -1) << url;
    EXPECT_NE(client.ErrorMessage().find("TWinHttpClient.ParseURL failed with message: "),
              std::string::npos)
        << client.ErrorMessage();
  }
}

TEST_F(WinHttpClientTest, ServerCertificateNobodyTrustsIsRefused) {
  ASSERT_NE(server.httpsPort, 0) << "the test server has no HTTPS port (openssl missing)";
  EXPECT_FALSE(client.Get("https://127.0.0.1:" + std::to_string(server.httpsPort) + "/echo"));
  EXPECT_GT(client.ErrorCode(), 12000) << client.ErrorMessage();
  EXPECT_EQ(
      client.ErrorMessage().rfind("TWinHttpClient.HttpSendRequest(2) failed with message: ", 0), 0u)
      << client.ErrorMessage();
  EXPECT_EQ(client.ResponseCode(), 0);
}

TEST_F(WinHttpClientTest, ServerThatNeverAnswersTimesOut) {
  client.SetConnectTimeout(1000);
  client.SetReadTimeout(1000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Post(Url("/never"), std::string("x=1")));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));  // the read time-out, not earlier
  EXPECT_LT(elapsed, std::chrono::seconds(6));
  EXPECT_EQ(client.ErrorCode(), 12002);
  EXPECT_EQ(
      client.ErrorMessage().rfind("TWinHttpClient.HttpReceiveResponse failed with message: ", 0),
      0u)
      << client.ErrorMessage();
  EXPECT_EQ(client.ResponseCode(), 0);
  EXPECT_EQ(client.DataAsString(), "");
}

TEST_F(WinHttpClientTest, TricklingServerIsCutAtTheRequestTimeout) {
  client.SetReadTimeout(1000);  // a byte every 200 ms never lets this one pass
  client.SetRequestTimeout(1500);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Get(Url("/trickle")));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1400));
  EXPECT_LT(elapsed, std::chrono::seconds(6));
  EXPECT_EQ(client.ErrorCode(), 12002) << client.ErrorMessage();
}

TEST_F(WinHttpClientTest, CancelFlagEndsARequestUnderWay) {
  std::atomic<bool> cancel{false};
  client.SetCancelFlag(&cancel);
  std::jthread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the request get going
    cancel = true;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Get(Url("/never")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(client.ErrorCode(), 12017);
  EXPECT_NE(client.ErrorMessage().find("failed with message: "), std::string::npos);

  // A client whose flag is down again works as before.
  cancel = false;
  EXPECT_TRUE(client.Get(Url("/echo"))) << client.ErrorMessage();
}

TEST(WinHttpRegistry, TheClassIsFoundByItsShortName) {
  RegisterWinHttpClient();
  TVelHTTPClientBase::SetClientClass("WinHttpClient");
  EXPECT_EQ(TVelHTTPClientBase::ClientClass(), "TVelWinHttpClient");
  auto client = TVelHTTPClientBase::CreateClient();
  EXPECT_NE(dynamic_cast<TVelWinHttpClient*>(client.get()), nullptr);
}

TEST(WinHttpFormEncoding, ReservedCharactersArePercentEncoded) {
  EXPECT_EQ(TWinHttpClient::EncodeFormData({{"a", "x y"}, {"b", "1&2+3"}, {"c", "line\nbreak"}}),
            "a=x%20y&b=1%262%2B3&c=line\nbreak");
  EXPECT_EQ(TWinHttpClient::EncodeFormData({}), "");
}

}  // namespace
}  // namespace vel
