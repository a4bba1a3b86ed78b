#pragma once

// What every HTTP transport shares: the parts of a URL, the request and response holders,
// THttpTransport, which implements the verbs over a transport's one ExecuteRequest, and
// TVelHttpTransportClient, which adapts a transport to TVelHTTPClientBase. Each transport
// (libcurl on Linux, WinHTTP on Windows) keeps only what talks to its own API.

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

// A failed exchange; each transport raises its own class derived from this one.
class EHttpTransportException : public Exception {
 public:
  explicit EHttpTransportException(const std::string& message, int errorCode = -1)
      : Exception(message), FErrorCode(errorCode) {}
  // The transport's code of the failed step, or -1 when there is none.
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

class THttpRequest {
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

class THttpResponse {
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
  friend class THttpTransport;
  std::vector<std::string> FHeaders;
  int FStatusCode = 0;
  std::string FStatusText;
  THsmStream* FContentStream = nullptr;
  std::int64_t FContentLength = 0;
  int FErrorCode = 0;
  std::string FErrorMessage;
};

// One synchronous request per call. A transport implements ExecuteRequest; the verbs here
// point the response at the caller's stream and hand it the body's bytes.
class THttpTransport {
 public:
  virtual ~THttpTransport();
  THttpTransport(const THttpTransport&) = delete;
  THttpTransport& operator=(const THttpTransport&) = delete;

  THttpRequest& Request() { return FRequest; }
  THttpResponse& Response() { return FResponse; }
  // Used when a time-out is 0 (not set): a request must never wait for ever.
  static constexpr int kDefaultConnectTimeoutMs = 60000;
  static constexpr int kDefaultReadTimeoutMs = 30000;
  static constexpr int kDefaultRequestTimeoutMs = 120000;

  // Milliseconds. 0 means the defaults above: to connect, and without data moving.
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int ms) { FConnectTimeout = ms; }
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int ms) { FReadTimeout = ms; }
  // Milliseconds for the whole request, connection to last byte, however steadily bytes
  // come. 0 means the default above.
  int RequestTimeout() const { return FRequestTimeout; }
  void SetRequestTimeout(int ms) { FRequestTimeout = ms; }
  // Raised by another thread, ends the request under way soon after.
  void SetCancelFlag(const std::atomic<bool>* flag) { FCancelFlag = flag; }

  // Each returns true for a 2xx status, false for any other, and throws the transport's
  // exception (or vel::Exception for a malformed URL) when the exchange fails. The body of the
  // answer goes to responseStream (positioned at 0 afterwards); a null body sends no body bytes.
  bool Get(const std::string& url, THsmStream* responseStream);
  bool Post(const std::string& url, std::istream* body, THsmStream* responseStream);
  bool Post(const std::string& url, const std::string& body, THsmStream* responseStream);
  bool Put(const std::string& url, std::istream* body, THsmStream* responseStream);
  bool Put(const std::string& url, const std::string& body, THsmStream* responseStream);
  // The body of the answer is discarded.
  bool Delete(const std::string& url);

  // Resets request and response.
  virtual void ResetToDefaults();

  // name=value&... with every name and value percent-encoded; '+' becomes "%2B".
  static std::string EncodeFormData(const std::vector<std::pair<std::string, std::string>>& form);

 protected:
  THttpTransport() = default;

  // Sends verb to url with body (null: no body), the request's headers and the settings above;
  // fills in status, headers and length of the answer through the functions below and writes
  // its body to the response's stream. Throws when the exchange fails.
  virtual void ExecuteRequest(const std::string& verb, const std::string& url,
                              const std::string* body) = 0;

  std::vector<std::string>& ResponseHeaders() { return FResponse.FHeaders; }
  void SetResponseStatusCode(int code) { FResponse.FStatusCode = code; }
  void SetResponseStatusText(const std::string& text) { FResponse.FStatusText = text; }
  void SetResponseContentLength(std::int64_t length) { FResponse.FContentLength = length; }
  // Records a failure in the response; returns the message as kept there.
  const std::string& SetResponseError(int code, const std::string& message) {
    FResponse.FErrorCode = code;
    FResponse.FErrorMessage = message;
    return FResponse.FErrorMessage;
  }

  THttpRequest FRequest;
  THttpResponse FResponse;
  int FConnectTimeout = 0;
  int FReadTimeout = 0;
  int FRequestTimeout = 0;
  const std::atomic<bool>* FCancelFlag = nullptr;

 private:
  // Runs the request, then positions the response's stream at 0; true for a 2xx status.
  bool Run(const std::string& verb, const std::string& url, const std::string* body);
  // Points the response at responseStream and runs the request; a stream body is read whole
  // from its start first.
  bool Send(const std::string& verb, const std::string& url, const std::string* body,
            THsmStream* responseStream);
  bool SendStream(const std::string& verb, const std::string& url, std::istream* body,
                  THsmStream* responseStream);
};

// A TVelHTTPClientBase over a transport: before each request the transport is reset and given
// the fixed headers, the caller's headers, the time-outs and the cancel flag; afterwards status,
// headers and failure come back from its response.
class TVelHttpTransportClient : public TVelHTTPClientBase {
 public:
  ~TVelHttpTransportClient() override;

 protected:
  explicit TVelHttpTransportClient(std::unique_ptr<THttpTransport> transport);
  THttpTransport& Transport() { return *mTransport; }

  bool InternalGet() override;
  bool InternalDelete() override;
  bool InternalPost() override;
  bool InternalPut() override;
  void HandleException(const std::exception& e) override;
  void AfterExecute() override;
  // A transport's client adds the settings only its transport knows after calling this.
  void BeforeExecute() override;
  std::string EncodeFormParams(const TVelStringList& params) override;

 private:
  void CopyResponseHeaders();
  std::unique_ptr<THttpTransport> mTransport;
};

}  // namespace vel
