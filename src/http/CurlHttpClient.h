#pragma once

// The HTTP transport on libcurl: one synchronous request per call, from URL parsing to the
// body in the caller's stream, every failure raised as EHttpClientException with a readable
// message. TVelCurlHttpClient adapts it to TVelHTTPClientBase and is registered by name.

#include <cstdint>
#include <string>

#include "http/HttpTransport.h"

namespace vel {

// Registers "TVelCurlHttpClient" in the client-class registry. Start-up calls it before
// TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient"). Calling it again does no harm.
void RegisterCurlHttpClient();

class EHttpClientException : public EHttpTransportException {
 public:
  // errorCode: the curl code of the failed step, or -1 when there is none.
  using EHttpTransportException::EHttpTransportException;
};

class TCurlHttpClient : public THttpTransport {
 public:
  static constexpr std::int64_t kDefaultMaxResponseSize = 1024 * 1024;

  TCurlHttpClient();
  ~TCurlHttpClient() override;

  // The read time-out counts time without a byte moving in either direction once connected;
  // the cancel flag ends the transfer under way within about a second.

  // Largest answer body taken; a longer one fails the request. 1 MiB unless set.
  std::int64_t MaxResponseSize() const { return FMaxResponseSize; }
  void SetMaxResponseSize(std::int64_t bytes) { FMaxResponseSize = bytes; }
  // PEM file with the client certificate and its key; empty: none.
  const std::string& ClientCertificate() const { return FClientCertificate; }
  void SetClientCertificate(const std::string& value) { FClientCertificate = value; }
  // CA bundle to verify the server against; empty: the system store.
  const std::string& CaFile() const { return FCaFile; }
  void SetCaFile(const std::string& value) { FCaFile = value; }

  // Throws vel::Exception("TCurlHttpClient.ParseURL failed with message: ...") for text that
  // is not an http(s) URL; an empty text gives empty parts.
  static TUrlParts ParseURL(const std::string& url);

 private:
  void ExecuteRequest(const std::string& verb, const std::string& url,
                      const std::string* body) override;
  [[noreturn]] void RaiseError(const std::string& operation, int code, const std::string& text);

  std::int64_t FMaxResponseSize = kDefaultMaxResponseSize;
  std::string FClientCertificate;
  std::string FCaFile;
};

class TVelCurlHttpClient : public TVelHttpTransportClient {
 public:
  TVelCurlHttpClient() : TVelHttpTransportClient(std::make_unique<TCurlHttpClient>()) {}
  TCurlHttpClient& HTTPClient() { return static_cast<TCurlHttpClient&>(Transport()); }

 protected:
  void BeforeExecute() override;
};

}  // namespace vel
