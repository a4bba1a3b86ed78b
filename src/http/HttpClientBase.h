#pragma once

// The HTTP client that the chat senders program against. A request never throws: it returns
// a Boolean and leaves status, headers, body and error in the client. The concrete transport
// is chosen at run time by class name through a process-wide registry, so the senders never
// name a transport.

#include <atomic>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/Exception.h"

namespace vel {

class THsmStream;
class TVelStringList;

class TVelHTTPClientBase {
 public:
  using TFactory = std::function<std::unique_ptr<TVelHTTPClientBase>()>;

  TVelHTTPClientBase();
  virtual ~TVelHTTPClientBase();
  TVelHTTPClientBase(const TVelHTTPClientBase&) = delete;
  TVelHTTPClientBase& operator=(const TVelHTTPClientBase&) = delete;

  // ---- Client-class registry (process-wide) ----
  // Selects the class that CreateClient makes; "TVel" is put in front of a name that does not
  // already begin with it (ASCII case-insensitive), so "CurlHttpClient" names
  // "TVelCurlHttpClient". Set once at start-up, before any client is made.
  static void SetClientClass(const std::string& className);
  static std::string ClientClass();
  // Adds a class to the registry of named classes (a transport's registration function calls
  // this; registering a name again replaces its factory).
  static void RegisterClientClass(const std::string& className, TFactory factory);
  static bool IsClientClassRegistered(const std::string& className);
  // A new client of the selected class, owned by the caller. senderClassName names the caller
  // in the error message (empty: no caller). Throws vel::Exception with
  // [sender + ": "] + "Default HTTP Client class is not defined" / "... is not registered".
  static std::unique_ptr<TVelHTTPClientBase> CreateClient(std::string_view senderClassName = {});

  // CA bundle (PEM) that new clients start with: when set, server certificates are verified
  // against this file instead of the system store. Empty (the default) means the system store.
  // Lets a test trust the HTTPS server it runs itself.
  static void SetDefaultCaFile(const std::string& path);
  static std::string DefaultCaFile();

  // ---- Requests; each returns true when the transport ran to its end, whatever the status ----
  bool Get(const std::string& url);
  // params are form-encoded and appended after '?' (or after '&' when url has a query already).
  bool Get(const std::string& url, const TVelStringList& params);
  bool Delete(const std::string& url, const std::string& contentType = {});
  // The stream is sent from its start; it is not owned and must live until the call returns.
  bool Post(const std::string& url, std::istream& params, const std::string& contentType = {});
  // The bytes of params (UTF-8 text) are the body.
  bool Post(const std::string& url, const std::string& params, const std::string& contentType = {});
  bool Post(const std::string& url, const char* params, const std::string& contentType = {}) {
    return Post(url, std::string(params ? params : ""), contentType);
  }
  // The list is form-encoded (name=value&...) and sent as the body.
  bool Post(const std::string& url, const TVelStringList& params,
            const std::string& contentType = {});
  bool Put(const std::string& url, std::istream& params, const std::string& contentType = {});
  bool Put(const std::string& url, const std::string& params, const std::string& contentType = {});
  // GET into the body store, then the store is written to fileName (created or replaced) and
  // emptied. The file is not touched when the request fails; file errors throw vel::Exception.
  bool DownloadFile(const std::string& url, const std::string& fileName);

  // Clears every outcome field and empties the body store.
  void ResetResponse();

  // ---- Outcome of the last request ----
  // The whole body as bytes (empty when the store is empty).
  std::string DataBytes();
  // The body decoded as UTF-8, whatever charset the answer declared. Bytes that are not valid
  // UTF-8 throw vel::Exception("No mapping for the Unicode character exists in the target
  // multi-byte code page").
  std::string DataAsString();
  THsmStream& DataStream() { return *mDataStream; }
  int ResponseCode() const { return mResponseCode; }
  const std::string& ResponseText() const { return mResponseText; }
  // Response header lines as received, status line first ("Name: value" for the others).
  TVelStringList& ResponseRawHeaders() { return *mResponseHeaders; }
  // Value of the first response header of that name (ASCII case-insensitive), "" when absent.
  std::string ResponseHeader(std::string_view name) const;
  int ErrorCode() const { return mErrorCode; }
  const std::string& ErrorMessage() const { return mErrorMessage; }

  // ---- Settings ----
  const std::string& URL() const { return mURL; }
  void SetURL(const std::string& url) { mURL = url; }
  const std::string& ContentType() const { return mContentType; }
  bool UseSSL() const { return mUseSSL; }
  std::istream* ParamsStream() const { return mParamsStream; }
  // Extra request headers, one "Name=Value" entry each, sent in list order.
  TVelStringList& CustomHeaders() { return *mCustomHeaders; }
  // Milliseconds; -1 (the initial value) keeps the transport's own value.
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int ms) { FConnectTimeout = ms; }
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int ms) { FReadTimeout = ms; }
  // Milliseconds for the whole request however steadily bytes come, so that a server
  // trickling its answer cannot hold the caller; -1 (the initial value) keeps the
  // transport's own bound.
  int RequestTimeout() const { return FRequestTimeout; }
  void SetRequestTimeout(int ms) { FRequestTimeout = ms; }
  // Largest answer body taken, in bytes; a longer answer fails the request with a clear
  // error. -1 (the initial value) keeps the transport's own bound (1 MiB).
  long long MaxResponseSize() const { return FMaxResponseSize; }
  void SetMaxResponseSize(long long bytes) { FMaxResponseSize = bytes; }
  // Client certificate to present. With the libcurl transport: the path of a PEM file holding
  // the certificate and its private key. Empty: none.
  const std::string& ClientCertificate() const { return FClientCertificate; }
  void SetClientCertificate(const std::string& value) { FClientCertificate = value; }
  // CA bundle to verify servers against; starts as DefaultCaFile(). Empty: the system store.
  const std::string& CaFile() const { return FCaFile; }
  void SetCaFile(const std::string& path) { FCaFile = path; }
  // A flag another thread may raise to end the request under way at once (it then fails
  // with "the request was cancelled"). Not owned; must outlive the client. Null: none.
  const std::atomic<bool>* CancelFlag() const { return FCancelFlag; }
  void SetCancelFlag(const std::atomic<bool>* flag) { FCancelFlag = flag; }

 protected:
  using TOperation = bool (TVelHTTPClientBase::*)();

  virtual bool DoGet() { return Execute(&TVelHTTPClientBase::InternalGet); }
  virtual bool DoDelete() { return Execute(&TVelHTTPClientBase::InternalDelete); }
  virtual bool DoPost() { return Execute(&TVelHTTPClientBase::InternalPost); }
  virtual bool DoPut() { return Execute(&TVelHTTPClientBase::InternalPut); }
  virtual bool InternalGet() = 0;
  virtual bool InternalDelete() = 0;
  virtual bool InternalPost() = 0;
  virtual bool InternalPut() = 0;
  virtual void HandleException(const std::exception& e);
  virtual void AfterExecute() = 0;
  virtual void BeforeExecute();
  virtual std::string EncodeFormParams(const TVelStringList& params) = 0;
  // One request cycle: BeforeExecute, the operation, AfterExecute; any exception ends in
  // HandleException and a false result.
  virtual bool Execute(TOperation operation);

  std::istream* mParamsStream = nullptr;
  std::unique_ptr<THsmStream> mDataStream;
  std::string mURL;
  int mErrorCode = 0;
  std::string mErrorMessage;
  std::string mResponseText;
  std::unique_ptr<TVelStringList> mResponseHeaders;
  int mResponseCode = 0;
  std::string mContentType;
  bool mUseSSL = false;
  std::unique_ptr<TVelStringList> mCustomHeaders;
  int FReadTimeout = -1;
  int FConnectTimeout = -1;
  int FRequestTimeout = -1;
  long long FMaxResponseSize = -1;
  std::string FClientCertificate;
  std::string FCaFile;
  const std::atomic<bool>* FCancelFlag = nullptr;

 private:
  void BeginRequest(const std::string& url, const std::string& contentType);
  bool PostStream(const std::string& url, std::istream& params, const std::string& contentType,
                  bool put);
};

}  // namespace vel
