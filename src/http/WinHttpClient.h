#pragma once

// The HTTP transport of the Windows build, on WinHTTP: one request per call, from URL parsing to
// the body in the caller's stream, every failure raised as EWinHttpClientException with the
// WinHTTP error code and a readable message. TVelWinHttpClient adapts it to TVelHTTPClientBase
// and is registered by name. The code lives in WinHttpClient_win32.cpp.

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/Exception.h"
#include "http/HttpClientBase.h"

namespace vel {

class THsmStream;

// Registers "TVelWinHttpClient" in the client-class registry. Start-up calls it before
// TVelHTTPClientBase::SetClientClass("TVelWinHttpClient"). Calling it again does no harm.
void RegisterWinHttpClient();

class EWinHttpClientException : public Exception {
 public:
  explicit EWinHttpClientException(const std::string& message, int errorCode = -1)
      : Exception(message), FErrorCode(errorCode) {}
  // The WinHTTP (or system) error code of the failed step, or -1 when there is none.
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

struct TWinHttpUrlParts {
  std::string Protocol;  // "http", "https" (lower case)
  std::string Host;
  int Port = 0;         // explicit port, or the scheme's default
  std::string UrlPath;  // "/..." (at least "/")
  std::string Params;   // "?..." or empty
};

class TWinHttpRequest {
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

class TWinHttpResponse {
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
  friend class TWinHttpClient;
  std::vector<std::string> FHeaders;
  int FStatusCode = 0;
  std::string FStatusText;
  THsmStream* FContentStream = nullptr;
  std::int64_t FContentLength = 0;
  int FErrorCode = 0;
  std::string FErrorMessage;
};

class TWinHttpClient {
 public:
  TWinHttpClient();
  ~TWinHttpClient();
  TWinHttpClient(const TWinHttpClient&) = delete;
  TWinHttpClient& operator=(const TWinHttpClient&) = delete;

  TWinHttpRequest& Request() { return FRequest; }
  TWinHttpResponse& Response() { return FResponse; }
  // Milliseconds. 0 means the transport's defaults (60 s to connect, 30 s without an answer
  // or data).
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int ms) { FConnectTimeout = ms; }
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int ms) { FReadTimeout = ms; }
  // SHA-1 thumbprint (hexadecimal) of a client certificate in the local machine's "MY"
  // store; empty: none.
  const std::string& ClientCertificateThumbprint() const { return FClientCertThumbprint; }
  void SetClientCertificateThumbprint(const std::string& value) { FClientCertThumbprint = value; }
  // Raised by another thread, ends the request under way within a fraction of a second.
  void SetCancelFlag(const std::atomic<bool>* flag) { FCancelFlag = flag; }

  // Each returns true for a 2xx status, false for any other, and throws
  // EWinHttpClientException (or vel::Exception for a malformed URL) when the exchange fails.
  // The body of the answer goes to responseStream (positioned at 0 afterwards); a null body
  // sends no body bytes.
  bool Get(const std::string& url, THsmStream* responseStream);
  bool Post(const std::string& url, std::istream* body, THsmStream* responseStream);
  bool Post(const std::string& url, const std::string& body, THsmStream* responseStream);
  bool Put(const std::string& url, std::istream* body, THsmStream* responseStream);
  bool Put(const std::string& url, const std::string& body, THsmStream* responseStream);
  // The body of the answer is discarded.
  bool Delete(const std::string& url);

  // Resets request and response and releases the client certificate.
  void ResetToDefaults();
  void ReleaseClientCertificate();

  // Throws vel::Exception("TWinHttpClient.ParseURL failed with message: ...") for text that is
  // not an http(s) URL; an empty text gives empty parts.
  static TWinHttpUrlParts ParseURL(const std::string& url);
  // name=value&... with every name and value percent-encoded; '+' becomes "%2B".
  static std::string EncodeFormData(const std::vector<std::pair<std::string, std::string>>& form);

 private:
  struct TCertificate;
  bool ExecuteRequest(const std::string& verb, const std::string& url, const std::string* body);

  TWinHttpRequest FRequest;
  TWinHttpResponse FResponse;
  int FConnectTimeout = 0;
  int FReadTimeout = 0;
  std::string FClientCertThumbprint;
  std::unique_ptr<TCertificate> FClientCert;
  const std::atomic<bool>* FCancelFlag = nullptr;
};

class TVelWinHttpClient : public TVelHTTPClientBase {
 public:
  TVelWinHttpClient();
  ~TVelWinHttpClient() override;
  TWinHttpClient& HTTPClient() { return *mHTTPClient; }

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
  std::unique_ptr<TWinHttpClient> mHTTPClient;
};

}  // namespace vel
