#pragma once

// The HTTP transport on libcurl: one synchronous request per call, from URL parsing to the
// body in the caller's stream, every failure raised as EHttpClientException with a readable
// message. TVelCurlHttpClient adapts it to TVelHTTPClientBase and is registered by name.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "common/Exception.h"
#include "http/HttpClientBase.h"

namespace vel {

class THsmStream;

// Registers "TVelCurlHttpClient" in the client-class registry. Start-up calls it before
// TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient"). Calling it again does no harm.
void RegisterCurlHttpClient();

class EHttpClientException : public Exception {
 public:
  explicit EHttpClientException(const std::string& message, int errorCode = -1)
      : Exception(message), FErrorCode(errorCode) {}
  // The curl code of the failed step, or -1 when there is none.
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

struct TUrlParts {
  std::string Protocol;  // "http", "https" (lower case)
  std::string Host;      // without brackets for an IPv6 literal
  int Port = 0;          // explicit port, or the scheme's default
  std::string UrlPath;   // "/..." (at least "/")
  std::string Params;    // "?..." or empty
};

class TCurlHttpRequest {
 public:
  using THeaders = std::vector<std::pair<std::string, std::string>>;
  THeaders& Headers() { return FHeaders; }
  const THeaders& Headers() const { return FHeaders; }
  const std::string& UserAgent() const { return FUserAgent; }
  void SetUserAgent(const std::string& value) { FUserAgent = value; }
  const std::string& ContentType() const { return FContentType; }
  void SetContentType(const std::string& value) { FContentType = value; }
  // Clears headers and content type; the user agent stays.
  void ResetToDefaults();

 private:
  THeaders FHeaders;
  std::string FUserAgent = "Mozilla/5.0 (compatible) Velmora HttpClient";
  std::string FContentType;
};

class TCurlHttpResponse {
 public:
  // Raw header lines of the final answer, status line first, without line ends.
  const std::vector<std::string>& Headers() const { return FHeaders; }
  int StatusCode() const { return FStatusCode; }
  const std::string& StatusText() const { return FStatusText; }
  THsmStream* ContentStream() const { return FContentStream; }
  std::int64_t ContentLength() const { return FContentLength; }
  int ErrorCode() const { return FErrorCode; }
  const std::string& ErrorMessage() const { return FErrorMessage; }
  void ResetToDefaults();

 private:
  friend class TCurlHttpClient;
  std::vector<std::string> FHeaders;
  int FStatusCode = 0;
  std::string FStatusText;
  THsmStream* FContentStream = nullptr;
  std::int64_t FContentLength = 0;
  int FErrorCode = 0;
  std::string FErrorMessage;
};

class TCurlHttpClient {
 public:
  static constexpr std::int64_t kDefaultMaxResponseSize = 1024 * 1024;

  TCurlHttpClient();
  ~TCurlHttpClient();
  TCurlHttpClient(const TCurlHttpClient&) = delete;
  TCurlHttpClient& operator=(const TCurlHttpClient&) = delete;

  TCurlHttpRequest& Request() { return FRequest; }
  TCurlHttpResponse& Response() { return FResponse; }
  // Milliseconds. 0 means the transport's defaults (60 s to connect, 30 s without data).
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int ms) { FConnectTimeout = ms; }
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int ms) { FReadTimeout = ms; }
  // Milliseconds for the whole request, connection to last byte, however steadily bytes
  // come. 0 means the transport's default (120 s).
  int RequestTimeout() const { return FRequestTimeout; }
  void SetRequestTimeout(int ms) { FRequestTimeout = ms; }
  // Largest answer body taken; a longer one fails the request. 1 MiB unless set.
  std::int64_t MaxResponseSize() const { return FMaxResponseSize; }
  void SetMaxResponseSize(std::int64_t bytes) { FMaxResponseSize = bytes; }
  // PEM file with the client certificate and its key; empty: none.
  const std::string& ClientCertificate() const { return FClientCertificate; }
  void SetClientCertificate(const std::string& value) { FClientCertificate = value; }
  // CA bundle to verify the server against; empty: the system store.
  const std::string& CaFile() const { return FCaFile; }
  void SetCaFile(const std::string& value) { FCaFile = value; }
  // Raised by another thread, ends the transfer under way within about a second.
  void SetCancelFlag(const std::atomic<bool>* flag) { FCancelFlag = flag; }

  // Each returns true for a 2xx status, false for any other, and throws EHttpClientException
  // (or vel::Exception for a malformed URL) when the exchange fails. The body of the answer
  // goes to responseStream (positioned at 0 afterwards); a null body sends no body bytes.
  bool Get(const std::string& url, THsmStream* responseStream);
  bool Post(const std::string& url, std::istream* body, THsmStream* responseStream);
  bool Post(const std::string& url, const std::string& body, THsmStream* responseStream);
  bool Put(const std::string& url, std::istream* body, THsmStream* responseStream);
  bool Put(const std::string& url, const std::string& body, THsmStream* responseStream);
  // The body of the answer is discarded.
  bool Delete(const std::string& url);

  // Resets request and response.
  void ResetToDefaults();

  // Throws vel::Exception("Invalid URL: ...") for text that is not an http(s) URL.
  static TUrlParts ParseURL(const std::string& url);
  // name=value&... with every name and value percent-encoded; '+' becomes "%2B".
  static std::string EncodeFormData(const std::vector<std::pair<std::string, std::string>>& form);

 private:
  bool ExecuteRequest(const std::string& verb, const std::string& url, const std::string* body);
  [[noreturn]] void RaiseError(const std::string& operation, int code, const std::string& text);

  TCurlHttpRequest FRequest;
  TCurlHttpResponse FResponse;
  int FConnectTimeout = 0;
  int FReadTimeout = 0;
  int FRequestTimeout = 0;
  std::int64_t FMaxResponseSize = kDefaultMaxResponseSize;
  std::string FClientCertificate;
  std::string FCaFile;
  const std::atomic<bool>* FCancelFlag = nullptr;
};

class TVelCurlHttpClient : public TVelHTTPClientBase {
 public:
  TVelCurlHttpClient();
  ~TVelCurlHttpClient() override;
  TCurlHttpClient& HTTPClient() { return *mHTTPClient; }

 protected:
  bool InternalGet() override;
  bool InternalDelete() override;
  bool InternalPost() override;
  bool InternalPut() override;
  void HandleException(const std::exception& e) override;
  void AfterExecute() override;
  void BeforeExecute() override;
  std::string EncodeFormParams(const TVelStringList& params) override;

 private:
  void CopyResponseHeaders();
  std::unique_ptr<TCurlHttpClient> mHTTPClient;
};

}  // namespace vel
