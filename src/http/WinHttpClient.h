#pragma once

// The HTTP transport of the Windows build, on WinHTTP: one request per call, from URL parsing to
// the body in the caller's stream, every failure raised as EWinHttpClientException with the
// WinHTTP error code and a readable message. TVelWinHttpClient adapts it to TVelHTTPClientBase
// and is registered by name. The code lives in WinHttpClient_win32.cpp.

#include <memory>
#include <string>

#include "http/HttpTransport.h"

namespace vel {

// Registers "TVelWinHttpClient" in the client-class registry. Start-up calls it before
// TVelHTTPClientBase::SetClientClass("TVelWinHttpClient"). Calling it again does no harm.
void RegisterWinHttpClient();

class EWinHttpClientException : public EHttpTransportException {
 public:
  // errorCode: the WinHTTP (or system) error code of the failed step, or -1 when there is none.
  using EHttpTransportException::EHttpTransportException;
};

class TWinHttpClient : public THttpTransport {
 public:
  TWinHttpClient();
  ~TWinHttpClient() override;

  // The read time-out also bounds the wait for the answer to start; the cancel flag ends the
  // request under way within a fraction of a second. Failures throw EWinHttpClientException.

  // SHA-1 thumbprint (hexadecimal) of a client certificate in the local machine's "MY"
  // store; empty: none.
  const std::string& ClientCertificateThumbprint() const { return FClientCertThumbprint; }
  void SetClientCertificateThumbprint(const std::string& value) { FClientCertThumbprint = value; }

  // Resets request and response and releases the client certificate.
  void ResetToDefaults() override;
  void ReleaseClientCertificate();

  // Throws vel::Exception("TWinHttpClient.ParseURL failed with message: ...") for text that is
  // not an http(s) URL; an empty text gives empty parts.
  static TUrlParts ParseURL(const std::string& url);

 private:
  struct TCertificate;
  void ExecuteRequest(const std::string& verb, const std::string& url,
                      const std::string* body) override;

  std::string FClientCertThumbprint;
  std::unique_ptr<TCertificate> FClientCert;
};

class TVelWinHttpClient : public TVelHttpTransportClient {
 public:
  TVelWinHttpClient() : TVelHttpTransportClient(std::make_unique<TWinHttpClient>()) {}
  TWinHttpClient& HTTPClient() { return static_cast<TWinHttpClient&>(Transport()); }

 protected:
  void BeforeExecute() override;
};

}  // namespace vel
