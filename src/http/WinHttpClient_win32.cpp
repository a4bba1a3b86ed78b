#include "http/WinHttpClient.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
// clang-format on

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/Strings.h"
#include "common/Utf.h"
#include "common/WinApi_win32.h"
#include "http/HsmStream.h"

// Every request runs in WinHTTP's asynchronous mode: the calling thread still waits for each
// step, but it waits on a completion it can abandon, so that a stop (the cancel flag) or a
// time-out ends a request under way at once. The synchronous mode offers neither: a send
// blocks until WinHTTP gives up, and closing the handle from another thread does not unblock it
// everywhere.

namespace vel {

namespace {

constexpr const char* kClassName = "TWinHttpClient";
// WinHTTP's own time-outs come first; a step's backstop, this margin past them, only backs them
// up where they are ignored. It counts from WinHTTP's last sign of progress, so that a proxy
// answered with authentication (several exchanges in one step) is not cut short, and it waits
// while WinHTTP looks for a proxy (WPAD, a PAC script), which has time-outs of its own: there the
// request's time-out alone decides.
constexpr int kDeadlineMarginMs = 1000;
// How often a wait looks at the cancel flag.
constexpr std::chrono::milliseconds kCancelPoll{50};

using win::Narrow;
using win::Wide;

std::string Narrow(const wchar_t* text, std::size_t length) {
  return Narrow(std::wstring_view(text, length));
}

const char* WinHttpErrorText(DWORD code) {
  switch (code) {
    case 12001:
      return "Out of handles.";
    case 12002:
      return "The request has timed out.";
    case 12004:
      return "Internal error.";
    case 12005:
      return "Invalid url.";
    case 12006:
      return "Unrecognized scheme.";
    case 12007:
      return "The server name cannot be resolved.";
    case 12009:
      return "A request to WinHttpQueryOption or WinHttpSetOption specified an invalid option "
             "value.";
    case 12011:
      return "The requested option cannot be set, only queried.";
    case 12012:
      return "The WinHTTP function support is being shut down or unloaded.";
    case 12015:
      return "The login attempt failed.";
    case 12017:
      return "The operation was canceled.";
    case 12018:
      return "The type of handle supplied is incorrect for this operation.";
    case 12019:
      return "The requested operation cannot be carried out because the handle supplied is not in "
             "the correct state.";
    case 12029:
      return "Connection to the server failed.";
    case 12030:
      return "The connection with the server has been reset or terminated, or an incompatible SSL "
             "protocol was encountered.";
    case 12032:
      return "The WinHTTP function failed. The desired function can be retried on the same request "
             "handle.";
    case 12037:
      return "A required certificate is not within its validity period.";
    case 12038:
      return "A certificate CN name does not match the passed value.";
    case 12044:
      return "The server requires SSL client Authentication.";
    case 12045:
      return "A certificate chain was processed, but terminated in a root certificate that is not "
             "trusted by the trust provider.";
    case 12057:
      return "Certificate revocation cannot be checked because the revocation server was offline.";
    case 12100:
      return "The requested operation cannot be performed before calling the Open method.";
    case 12101:
      return "The requested operation cannot be performed before calling the Send method.";
    case 12102:
      return "The requested operation cannot be performed after calling the Send method.";
    case 12103:
      return "The specified option cannot be requested after the Open method has been called.";
    case 12150:
      return "The requested header cannot be located.";
    case 12152:
      return "The server response cannot be parsed.";
    case 12153:
      return "Invalid header";
    case 12154:
      return "Invalid query request.";
    case 12155:
      return "Header already exists";
    case 12156:
      return "The redirection failed because either the scheme changed or all attempts made to "
             "redirect failed.";
    case 12157:
      return "An error occurred with a secure channel.";
    case 12166:
      return "An error occurred executing the script code in the Proxy Auto-Configuration (PAC) "
             "file.";
    case 12167:
      return "The PAC file cannot be downloaded.";
    case 12169:
      return "Invalid certificate.";
    case 12170:
      return "A certificate has been revoked";
    case 12172:
      return "Not Initialized.";
    case 12175:
      return "One or more errors were found in the Secure Sockets Layer (SSL) certificate sent by "
             "the server.";
    case 12178:
      return "A proxy for the specified URL cannot be located.";
    case 12179:
      return "A certificate is not valid for the requested usage";
    case 12180:
      return "A proxy for the specified URL cannot be located.";
    case 12181:
      return "A larger number of headers were present in a response than WinHTTP could receive.";
    case 12182:
      return "The size of headers received exceeds the limit for the request handle";
    case 12183:
      return "An overflow condition is encountered in the course of parsing chunked encoding.";
    case 12184:
      return "An incoming response exceeds an internal WinHTTP size limit.";
    case 12185:
      return "The context for the SSL client certificate does not have a private key associated "
             "with it. The client certificate may have been imported to the computer without the "
             "private key.";
    case 12186:
      return "The application does not have the required privileges to access the private key "
             "associated with the client certificate.";
    case 0x8000FFFF:
      return "Unexpected value";
    default:
      return "Unknown Error";
  }
}

// The system's message for the code (WinHTTP's own codes from winhttp.dll's message table),
// without trailing blanks, line ends and periods; the table above when the system has none.
std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE module = nullptr;
  if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) {
    module = GetModuleHandleW(L"winhttp.dll");
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  } else {
    flags |= FORMAT_MESSAGE_FROM_SYSTEM;
  }
  DWORD n = FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() <= 32 || text.back() == L'.')) text.pop_back();
  return text.empty() ? WinHttpErrorText(code) : Narrow(text);
}

struct THandleCloser {
  void operator()(HINTERNET h) const {
    if (h) WinHttpCloseHandle(h);
  }
};
using THandle = std::unique_ptr<void, THandleCloser>;

// What the status callback of one request reports to the thread that waits for it. It lives
// as long as WinHTTP may still call back: the callback's own reference goes only when the
// request handle reports that it is closing, and that may come long after the request was
// abandoned (or, where the notice never comes, not at all).
struct TAsyncState {
  std::mutex lock;
  std::condition_variable changed;
  bool complete = false;  // the step under way has finished
  DWORD error = 0;        // ... with this error (0: success)
  DWORD bytes = 0;        // bytes available or read
  bool closed = false;    // the request handle has closed
  // WinHTTP's last notice of progress, and whether it is looking for a proxy since then.
  std::chrono::steady_clock::time_point progress = std::chrono::steady_clock::now();
  bool detectingProxy = false;
  // Buffers WinHTTP reads from or writes into while a step is under way.
  std::string body;
  std::wstring headers;
  std::vector<char> buffer;

  void Finish(DWORD err, DWORD count) {
    std::lock_guard guard(lock);
    complete = true;
    error = err;
    bytes = count;
    changed.notify_all();
  }
  void Progress(bool detecting) {
    std::lock_guard guard(lock);
    progress = std::chrono::steady_clock::now();
    detectingProxy = detecting;
  }
};
using TStateRef = std::shared_ptr<TAsyncState>;

void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                             DWORD infoLength) {
  auto* ref = reinterpret_cast<TStateRef*>(context);
  if (!ref) return;
  TAsyncState& s = **ref;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      s.Finish(0, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      s.Finish(0, info ? *static_cast<DWORD*>(info) : 0);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      s.Finish(0, infoLength);
      break;
    case WINHTTP_CALLBACK_STATUS_DETECTING_PROXY:
      s.Progress(true);
      break;
    case WINHTTP_CALLBACK_STATUS_RESOLVING_NAME:
    case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED:
    case WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER:
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
    case WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE:
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
    case WINHTTP_CALLBACK_STATUS_REDIRECT:
      s.Progress(false);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
      s.Finish(result && result->dwError ? result->dwError : ERROR_WINHTTP_INTERNAL_ERROR, 0);
      break;
    }
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: {
      {
        std::lock_guard guard(s.lock);
        s.closed = true;
        s.changed.notify_all();
      }
      delete ref;  // nothing calls back for this handle any more
      break;
    }
    default:
      break;
  }
}

std::vector<unsigned char> HexToBytes(const std::string& hex) {
  std::vector<unsigned char> bytes;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string clean;
  for (char c : hex)
    if (c != ' ' && c != ':') clean += c;
  if (clean.size() % 2 != 0) return {};
  for (std::size_t i = 0; i < clean.size(); i += 2) {
    int hi = digit(clean[i]), lo = digit(clean[i + 1]);
    if (hi < 0 || lo < 0) return {};
    bytes.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return bytes;
}

}  // namespace

struct TWinHttpClient::TCertificate {
  PCCERT_CONTEXT context = nullptr;
  ~TCertificate() {
    if (context) CertFreeCertificateContext(context);
  }
};

void RegisterWinHttpClient() {
  TVelHTTPClientBase::RegisterClientClass("TVelWinHttpClient",
                                          [] { return std::make_unique<TVelWinHttpClient>(); });
}

// ---- Client ----

TWinHttpClient::TWinHttpClient() = default;

TWinHttpClient::~TWinHttpClient() = default;

void TWinHttpClient::ResetToDefaults() {
  THttpTransport::ResetToDefaults();
  ReleaseClientCertificate();
}

void TWinHttpClient::ReleaseClientCertificate() {
  FClientCert.reset();
  FClientCertThumbprint.clear();
}

TUrlParts TWinHttpClient::ParseURL(const std::string& url) {
  TUrlParts parts;
  if (url.empty()) return parts;
  const std::wstring wide = Wide(url);
  std::wstring scheme(64, L'\0'), host(512, L'\0'), path(4096, L'\0'), extra(4096, L'\0');
  URL_COMPONENTS uc{};
  uc.dwStructSize = sizeof uc;
  uc.lpszScheme = scheme.data();
  uc.dwSchemeLength = static_cast<DWORD>(scheme.size());
  uc.lpszHostName = host.data();
  uc.dwHostNameLength = static_cast<DWORD>(host.size());
  uc.lpszUrlPath = path.data();
  uc.dwUrlPathLength = static_cast<DWORD>(path.size());
  uc.lpszExtraInfo = extra.data();
  uc.dwExtraInfoLength = static_cast<DWORD>(extra.size());
  if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &uc)) {
    const DWORD code = GetLastError();
    throw Exception(std::string(kClassName) + ".ParseURL failed with message: " + ErrorText(code));
  }
  parts.Protocol = AsciiLowerCase(Narrow(uc.lpszScheme, uc.dwSchemeLength));
  if (parts.Protocol != "http" && parts.Protocol != "https")
    throw Exception(std::string(kClassName) +
                    ".ParseURL failed with message: " + WinHttpErrorText(12006));
  parts.Host = Narrow(uc.lpszHostName, uc.dwHostNameLength);
  if (parts.Host.size() > 1 && parts.Host.front() == '[' && parts.Host.back() == ']')
    parts.Host = parts.Host.substr(1, parts.Host.size() - 2);
  if (parts.Host.empty())
    throw Exception(std::string(kClassName) +
                    ".ParseURL failed with message: " + WinHttpErrorText(12005));
  parts.Port = uc.nPort;
  parts.UrlPath = Narrow(uc.lpszUrlPath, uc.dwUrlPathLength);
  if (parts.UrlPath.empty()) parts.UrlPath = "/";
  parts.Params = Narrow(uc.lpszExtraInfo, uc.dwExtraInfoLength);
  // A fragment never goes to the server.
  if (auto hash = parts.Params.find('#'); hash != std::string::npos) parts.Params.resize(hash);
  return parts;
}

void TWinHttpClient::ExecuteRequest(const std::string& verb, const std::string& url,
                                    const std::string* body) {
  const TUrlParts parts = ParseURL(url);
  if (parts.Host.empty())
    throw Exception(std::string(kClassName) +
                    ".ParseURL failed with message: " + WinHttpErrorText(12005));

  auto raise = [this](const std::string& operation, DWORD code) {
    // WinHTTP reports its receive time-out as the socket's where it keeps its own.
    if (code == WSAETIMEDOUT) code = ERROR_WINHTTP_TIMEOUT;
    throw EWinHttpClientException(
        SetResponseError(static_cast<int>(code), std::string(kClassName) + "." + operation +
                                                     " failed with message: " + ErrorText(code)),
        static_cast<int>(code));
  };

  const int connectMs = FConnectTimeout > 0 ? FConnectTimeout : kDefaultConnectTimeoutMs;
  const int readMs = FReadTimeout > 0 ? FReadTimeout : kDefaultReadTimeoutMs;
  const int requestMs = FRequestTimeout > 0 ? FRequestTimeout : kDefaultRequestTimeoutMs;
  // The whole request is bounded too: a server that trickles a byte now and then passes the
  // read time-out for ever.
  const auto requestDeadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(requestMs);

  THandle session(WinHttpOpen(Wide(FRequest.UserAgent()).c_str(),
                              WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (!session) {
    // Older systems know no automatic proxy: the configured one then.
    session.reset(WinHttpOpen(Wide(FRequest.UserAgent()).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    if (!session) raise("HttpOpen", GetLastError());
  }
  WinHttpSetTimeouts(session.get(), connectMs, connectMs, readMs, readMs);
  DWORD option = static_cast<DWORD>(readMs);
  WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &option, sizeof option);
  // Redirects are followed, but never from https down to http.
  option = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  WinHttpSetOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, &option, sizeof option);

  THandle connection(WinHttpConnect(session.get(), Wide(parts.Host).c_str(),
                                    static_cast<INTERNET_PORT>(parts.Port), 0));
  if (!connection) raise("HttpConnect", GetLastError());

  const bool secure = parts.Protocol == "https";
  THandle request(WinHttpOpenRequest(
      connection.get(), Wide(verb).c_str(), Wide(parts.UrlPath + parts.Params).c_str(), L"HTTP/1.1",
      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) raise("HttpOpenRequest", GetLastError());

  if (!FClientCertThumbprint.empty()) {
    if (!FClientCert || !FClientCert->context) {
      auto cert = std::make_unique<TCertificate>();
      HCERTSTORE store =
          CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                        CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_MAXIMUM_ALLOWED_FLAG, L"MY");
      if (store) {
        std::vector<unsigned char> hash = HexToBytes(FClientCertThumbprint);
        CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
        if (!hash.empty())
          cert->context = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                     0, CERT_FIND_SHA1_HASH, &blob, nullptr);
        CertCloseStore(store, 0);
      }
      if (!cert->context) raise("SetClientCertificate", GetLastError());
      FClientCert = std::move(cert);
    }
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                          const_cast<CERT_CONTEXT*>(FClientCert->context), sizeof(CERT_CONTEXT)))
      raise("SetClientCertificate [WinHttpSetOption]", GetLastError());
  }

  // The state the callback reports into. WinHTTP holds one reference (freed when the request
  // handle closes); this function holds the other.
  TStateRef state = std::make_shared<TAsyncState>();
  auto* callbackRef = new TStateRef(state);
  if (WinHttpSetStatusCallback(
          request.get(), StatusCallback,
          WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
              WINHTTP_CALLBACK_FLAG_DETECTING_PROXY | WINHTTP_CALLBACK_FLAG_RESOLVE_NAME |
              WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SEND_REQUEST |
              WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE | WINHTTP_CALLBACK_FLAG_REDIRECT,
          0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    const DWORD code = GetLastError();
    delete callbackRef;
    raise("HttpOpenRequest", code);
  }
  DWORD_PTR contextValue = reinterpret_cast<DWORD_PTR>(callbackRef);
  if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &contextValue,
                        sizeof contextValue)) {
    const DWORD code = GetLastError();
    delete callbackRef;
    raise("HttpOpenRequest", code);
  }

  // Closing the request handle ends whatever step is under way. The state stays alive for
  // the callback; this function no longer waits for it.
  auto abandon = [&] { request.reset(); };

  // Waits for the step started last; its error (0: done). A raised cancel flag, the request's
  // time-out or the step's backstop abandons the request.
  auto waitStep = [&](const std::string& operation, int timeoutMs) {
    const auto backstop = std::chrono::milliseconds(timeoutMs + kDeadlineMarginMs);
    std::unique_lock lock(state->lock);
    while (!state->complete) {
      if (FCancelFlag && FCancelFlag->load()) {
        lock.unlock();
        abandon();
        raise(operation, ERROR_WINHTTP_OPERATION_CANCELLED);
      }
      const auto now = std::chrono::steady_clock::now();
      if (now >= requestDeadline || (!state->detectingProxy && now >= state->progress + backstop)) {
        lock.unlock();
        abandon();
        raise(operation, ERROR_WINHTTP_TIMEOUT);
      }
      state->changed.wait_for(lock, kCancelPoll);
    }
    state->complete = false;
    const DWORD error = state->error;
    const DWORD bytes = state->bytes;
    lock.unlock();
    if (error != 0) raise(operation, error);
    return bytes;
  };
  auto begin = [&] {
    std::lock_guard guard(state->lock);
    state->progress = std::chrono::steady_clock::now();
    state->detectingProxy = false;
    state->complete = false;
    state->error = 0;
    state->bytes = 0;
  };

  // Header block: Host (the host alone), then Content-Type only when there are body bytes,
  // then the request's own headers in order. The length of the body goes out with it.
  const bool hasBody = body && !body->empty();
  std::string block =
      "Host: " + (parts.Host.find(':') != std::string::npos ? "[" + parts.Host + "]" : parts.Host) +
      "\r\n";
  if (hasBody && !FRequest.ContentType().empty())
    block += "Content-Type: " + FRequest.ContentType() + "\r\n";
  for (const auto& [name, value] : FRequest.Headers()) block += name + ": " + value + "\r\n";
  state->headers = Wide(block);
  if (hasBody) state->body = *body;

  const std::string sendOperation = body ? "HttpSendRequest(1)" : "HttpSendRequest(2)";
  if (!WinHttpAddRequestHeaders(request.get(), state->headers.c_str(),
                                static_cast<DWORD>(state->headers.size()),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
    raise(sendOperation, GetLastError());

  begin();
  const DWORD bodyLength = static_cast<DWORD>(state->body.size());
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                          hasBody ? state->body.data() : WINHTTP_NO_REQUEST_DATA, bodyLength,
                          bodyLength, contextValue))
    raise(sendOperation, GetLastError());
  waitStep(sendOperation, connectMs + readMs);

  begin();
  if (!WinHttpReceiveResponse(request.get(), nullptr)) raise("HttpReceiveResponse", GetLastError());
  waitStep("HttpReceiveResponse", readMs);

  auto queryNumber = [&](DWORD level) -> DWORD {
    DWORD value = 0, size = sizeof value;
    if (!WinHttpQueryHeaders(request.get(), level | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX))
      return 0;
    return value;
  };
  auto queryString = [&](DWORD level) -> std::string {
    DWORD size = 0;
    if (!WinHttpQueryHeaders(request.get(), level, WINHTTP_HEADER_NAME_BY_INDEX,
                             WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX)) {
      const DWORD code = GetLastError();
      if (code == ERROR_WINHTTP_HEADER_NOT_FOUND) return {};
      if (code != ERROR_INSUFFICIENT_BUFFER) raise("GetHttpQuerySInfo", code);
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request.get(), level, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
      raise("HttpQueryHeaders", GetLastError());
    text.resize(size / sizeof(wchar_t));
    return Narrow(text);
  };

  const DWORD status = queryNumber(WINHTTP_QUERY_STATUS_CODE);
  SetResponseStatusCode(static_cast<int>(status));
  SetResponseStatusText(queryString(WINHTTP_QUERY_STATUS_TEXT));
  const std::string raw = queryString(WINHTTP_QUERY_RAW_HEADERS_CRLF);
  std::size_t start = 0;
  while (start < raw.size()) {
    std::size_t end = raw.find("\r\n", start);
    if (end == std::string::npos) end = raw.size();
    if (end > start) ResponseHeaders().push_back(raw.substr(start, end - start));
    start = end + 2;
  }
  SetResponseContentLength(queryNumber(WINHTTP_QUERY_CONTENT_LENGTH));

  // Body: until WinHTTP has nothing more. A failure on the way is a failed request: what was
  // read is kept in the stream, but the caller must not take a cut body for the whole one.
  for (;;) {
    begin();
    if (!WinHttpQueryDataAvailable(request.get(), nullptr))
      raise("HttpQueryDataAvailable", GetLastError());
    const DWORD available = waitStep("HttpQueryDataAvailable", readMs);
    if (available == 0) break;
    if (!FResponse.ContentStream())
      throw EWinHttpClientException(
          SetResponseError(-1, std::string(kClassName) + ": Response stream is not assigned."));
    if (state->buffer.size() < available + 1) state->buffer.resize(available + 1);
    begin();
    if (!WinHttpReadData(request.get(), state->buffer.data(), available, nullptr))
      raise("HttpReadData", GetLastError());
    const DWORD read = waitStep("HttpReadData", readMs);
    if (read == 0) break;
    try {
      FResponse.ContentStream()->Write(state->buffer.data(), read);
    } catch (const std::exception& e) {
      throw EWinHttpClientException(SetResponseError(
          -1, std::string(kClassName) + ".HttpReadData failed with message: " + e.what()));
    }
  }
}

// ---- Adapter ----

void TVelWinHttpClient::BeforeExecute() {
  TVelHttpTransportClient::BeforeExecute();
  HTTPClient().SetClientCertificateThumbprint(FClientCertificate);
}

}  // namespace vel
