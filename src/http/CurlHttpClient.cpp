#include "http/CurlHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "common/Strings.h"
#include "http/HsmStream.h"
#include "http/WireNumber.h"

namespace vel {

namespace {

constexpr const char* kClassName = "TCurlHttpClient";

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct TCurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct TSlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct TUrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

// State shared with the libcurl callbacks of one request.
struct TTransfer {
  std::vector<std::string>* headers = nullptr;
  std::string statusText;
  bool gotStatus = false;
  THsmStream* content = nullptr;
  bool noContentStream = false;
  std::string writeError;
  std::int64_t received = 0;  // body bytes of the current answer
  std::int64_t maxBody = 0;
  // Read time-out: the longest stretch without a byte moving once the connection stands.
  CURL* handle = nullptr;
  std::chrono::milliseconds readTimeout{0};
  std::chrono::steady_clock::time_point lastActivity;
  curl_off_t lastTotal = -1;
  bool timedOut = false;
  const std::atomic<bool>* cancel = nullptr;
  bool cancelled = false;
};

int ProgressCallback(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* t = static_cast<TTransfer*>(user);
  if (t->cancel && t->cancel->load()) {
    t->cancelled = true;
    return 1;
  }
  const auto now = std::chrono::steady_clock::now();
  curl_off_t connected = 0;
  curl_easy_getinfo(t->handle, CURLINFO_CONNECT_TIME_T, &connected);
  if (connected == 0 || dlnow + ulnow != t->lastTotal) {
    t->lastTotal = dlnow + ulnow;
    t->lastActivity = now;
    return 0;
  }
  if (now - t->lastActivity < t->readTimeout) return 0;
  t->timedOut = true;
  return 1;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<TTransfer*>(user);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (StartsWithText("HTTP/", line)) {
    // A new answer (after a redirect or an interim 1xx): only the last one is kept.
    t->headers->clear();
    t->received = 0;
    t->gotStatus = true;
    t->statusText.clear();
    std::size_t sp1 = line.find(' ');
    if (sp1 != std::string::npos) {
      std::size_t sp2 = line.find(' ', sp1 + 1);
      if (sp2 != std::string::npos) t->statusText = line.substr(sp2 + 1);
    }
  }
  if (!line.empty()) t->headers->push_back(std::move(line));
  return size * count;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<TTransfer*>(user);
  if (!t->content) {
    t->noContentStream = true;
    return 0;
  }
  t->received += static_cast<std::int64_t>(size * count);
  if (t->received > t->maxBody) {
    t->writeError = "the answer body is larger than " + std::to_string(t->maxBody) + " bytes";
    return 0;
  }
  try {
    t->content->Write(data, size * count);
  } catch (const std::exception& e) {
    t->writeError = e.what();
    return 0;
  }
  return size * count;
}

}  // namespace

void RegisterCurlHttpClient() {
  TVelHTTPClientBase::RegisterClientClass("TVelCurlHttpClient",
                                          [] { return std::make_unique<TVelCurlHttpClient>(); });
}

// ---- Client ----

TCurlHttpClient::TCurlHttpClient() {
  GlobalInit();
}

TCurlHttpClient::~TCurlHttpClient() = default;

TUrlParts TCurlHttpClient::ParseURL(const std::string& url) {
  TUrlParts parts;
  if (url.empty()) return parts;
  std::unique_ptr<CURLU, TUrlDeleter> u(curl_url());
  if (!u) throw Exception(std::string(kClassName) + ".ParseURL failed with message: out of memory");
  CURLUcode rc = curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0);
  if (rc != CURLUE_OK)
    throw Exception(std::string(kClassName) +
                    ".ParseURL failed with message: " + curl_url_strerror(rc));
  auto part = [&](CURLUPart which, unsigned flags = 0) {
    char* value = nullptr;
    std::string text;
    if (curl_url_get(u.get(), which, &value, flags) == CURLUE_OK && value) text = value;
    curl_free(value);
    return text;
  };
  parts.Protocol = AsciiLowerCase(part(CURLUPART_SCHEME));
  if (parts.Protocol != "http" && parts.Protocol != "https")
    throw Exception(std::string(kClassName) +
                    ".ParseURL failed with message: Unrecognized scheme.");
  parts.Host = part(CURLUPART_HOST);
  if (parts.Host.size() > 1 && parts.Host.front() == '[' && parts.Host.back() == ']')
    parts.Host = parts.Host.substr(1, parts.Host.size() - 2);
  parts.Port =
      static_cast<int>(ParseWireInteger(part(CURLUPART_PORT, CURLU_DEFAULT_PORT)).value_or(0));
  parts.UrlPath = part(CURLUPART_PATH);
  if (parts.UrlPath.empty()) parts.UrlPath = "/";
  std::string query = part(CURLUPART_QUERY);
  if (!query.empty()) parts.Params = "?" + query;
  return parts;
}

void TCurlHttpClient::RaiseError(const std::string& operation, int code, const std::string& text) {
  throw EHttpClientException(SetResponseError(code, std::string(kClassName) + "." + operation +
                                                        " failed with message: " + text),
                             code);
}

void TCurlHttpClient::ExecuteRequest(const std::string& verb, const std::string& url,
                                     const std::string* body) {
  const TUrlParts parts = ParseURL(url);
  if (parts.Host.empty())
    throw Exception(std::string(kClassName) + ".ParseURL failed with message: Invalid url.");

  std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
  if (!curl) RaiseError("HttpOpen", -1, "cannot create a libcurl handle");
  CURL* h = curl.get();

  char errorBuffer[CURL_ERROR_SIZE] = {0};
  TTransfer transfer;
  transfer.headers = &ResponseHeaders();
  transfer.content = FResponse.ContentStream();

  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(h, CURLOPT_USERAGENT, FRequest.UserAgent().c_str());
  // Redirects are followed, but never from https down to http. A POST stays a POST with its
  // body after a 301 or 302 too (browsers turn it into a GET without a body, which would
  // lose the message); a 303 asks for a GET.
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_POSTREDIR,
                   static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR,
                   parts.Protocol == "https" ? "https" : "http,https");

  const int connectMs = FConnectTimeout > 0 ? FConnectTimeout : kDefaultConnectTimeoutMs;
  const int readMs = FReadTimeout > 0 ? FReadTimeout : kDefaultReadTimeoutMs;
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectMs));
  // The whole request is bounded too: a server that trickles a byte now and then passes
  // the read time-out for ever.
  const int totalMs = FRequestTimeout > 0 ? FRequestTimeout : kDefaultRequestTimeoutMs;
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(totalMs));
  transfer.maxBody = FMaxResponseSize > 0 ? FMaxResponseSize : kDefaultMaxResponseSize;
  // Refused at once when the announced length is too long already.
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(transfer.maxBody));
  // No byte in either direction for the read time-out ends the request.
  transfer.handle = h;
  transfer.readTimeout = std::chrono::milliseconds(readMs);
  transfer.lastActivity = std::chrono::steady_clock::now();
  transfer.cancel = FCancelFlag;
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);

  if (!FCaFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, FCaFile.c_str());
  if (!FClientCertificate.empty()) {
    std::ifstream probe(FClientCertificate);
    if (!probe) RaiseError("SetClientCertificate", -1, "cannot read " + FClientCertificate);
    curl_easy_setopt(h, CURLOPT_SSLCERT, FClientCertificate.c_str());
    curl_easy_setopt(h, CURLOPT_SSLCERTTYPE, "PEM");
    curl_easy_setopt(h, CURLOPT_SSLKEY, FClientCertificate.c_str());
    curl_easy_setopt(h, CURLOPT_SSLKEYTYPE, "PEM");
  }

  // Header block: Host, then Content-Type (Content-Length comes from the body size) only
  // when there are body bytes, then the request's own headers in order.
  std::unique_ptr<curl_slist, TSlistDeleter> headerList;
  auto addHeader = [&](const std::string& line) {
    curl_slist* next = curl_slist_append(headerList.get(), line.c_str());
    if (!next) RaiseError("HttpOpenRequest", -1, "out of memory");
    headerList.release();
    headerList.reset(next);
  };
  const bool hasBody = body && !body->empty();
  addHeader("Host: " +
            (parts.Host.find(':') != std::string::npos ? "[" + parts.Host + "]" : parts.Host));
  if (hasBody && !FRequest.ContentType().empty())
    addHeader("Content-Type: " + FRequest.ContentType());
  for (const auto& [name, value] : FRequest.Headers())
    addHeader(value.empty() ? name + ";" : name + ": " + value);
  addHeader("Expect:");  // the body goes out at once, without waiting for 100 Continue
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());

  if (verb == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else {
    if (hasBody) {
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->data());
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    }
    // A POST with a body is curl's own POST, which a 301/302 redirect keeps (with
    // CURLOPT_POSTREDIR); a custom method would go out again without the body.
    if (verb != "POST" || !hasBody) curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, verb.c_str());
  }

  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);

  const auto started = std::chrono::steady_clock::now();
  CURLcode rc = curl_easy_perform(h);

  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  SetResponseStatusCode(static_cast<int>(status));
  SetResponseStatusText(transfer.statusText);

  if (transfer.noContentStream)
    throw EHttpClientException(std::string(kClassName) + ": Response stream is not assigned.",
                               static_cast<int>(CURLE_WRITE_ERROR));
  if (transfer.cancelled) {
    rc = CURLE_ABORTED_BY_CALLBACK;
    snprintf(errorBuffer, sizeof errorBuffer, "the request was cancelled");
  }
  if (rc == CURLE_FILESIZE_EXCEEDED)
    transfer.writeError =
        "the answer body is larger than " + std::to_string(transfer.maxBody) + " bytes";
  // libcurl's own timer may fire a little before ours reads the full total time.
  const auto totalSlack =
      std::min(std::chrono::milliseconds(100), std::chrono::milliseconds(totalMs) / 10);
  if (rc == CURLE_OPERATION_TIMEDOUT && !transfer.timedOut &&
      std::chrono::steady_clock::now() - started >=
          std::chrono::milliseconds(totalMs) - totalSlack) {
    snprintf(errorBuffer, sizeof errorBuffer, "the request took longer than %d milliseconds in all",
             totalMs);
  }
  if (transfer.timedOut) {
    rc = CURLE_OPERATION_TIMEDOUT;
    snprintf(errorBuffer, sizeof errorBuffer,
             "Operation timed out after %d milliseconds with no data received", readMs);
  }
  if (rc != CURLE_OK) {
    std::string text = !transfer.writeError.empty() ? transfer.writeError
                       : errorBuffer[0]             ? std::string(errorBuffer)
                                                    : std::string(curl_easy_strerror(rc));
    std::string operation;
    if (transfer.gotStatus) {
      operation = "HttpReadData";
    } else {
      curl_off_t connected = 0;
      curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &connected);
      if (connected > 0 &&
          (rc == CURLE_OPERATION_TIMEDOUT || rc == CURLE_GOT_NOTHING || rc == CURLE_RECV_ERROR))
        operation = "HttpReceiveResponse";
      else
        operation = body ? "HttpSendRequest(1)" : "HttpSendRequest(2)";
    }
    RaiseError(operation, static_cast<int>(rc), text);
  }

  curl_off_t length = -1;
  curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  SetResponseContentLength(length > 0 ? static_cast<std::int64_t>(length) : 0);
}

// ---- Adapter ----

void TVelCurlHttpClient::BeforeExecute() {
  TVelHttpTransportClient::BeforeExecute();
  TCurlHttpClient& transport = HTTPClient();
  transport.SetMaxResponseSize(FMaxResponseSize > 0 ? FMaxResponseSize
                                                    : TCurlHttpClient::kDefaultMaxResponseSize);
  transport.SetClientCertificate(FClientCertificate);
  transport.SetCaFile(FCaFile);
}

}  // namespace vel
