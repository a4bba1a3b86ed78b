#include "http/HttpTransport.h"

#include <istream>
#include <iterator>

#include "common/StrLists.h"
#include "common/Strings.h"
#include "http/HsmStream.h"

namespace vel {

namespace {

std::string ReadStream(std::istream& in) {
  in.clear();
  in.seekg(0, std::ios::beg);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.clear();
  return bytes;
}

}  // namespace

// ---- Request / response ----

void THttpRequest::ResetToDefaults() {
  FHeaders.clear();
  FContentType.clear();
}

void THttpResponse::ResetToDefaults() {
  FHeaders.clear();
  FStatusCode = 0;
  FStatusText.clear();
  FContentStream = nullptr;
  FContentLength = 0;
  FErrorCode = 0;
  FErrorMessage.clear();
}

// ---- Transport ----

THttpTransport::~THttpTransport() = default;

void THttpTransport::ResetToDefaults() {
  FRequest.ResetToDefaults();
  FResponse.ResetToDefaults();
}

std::string THttpTransport::EncodeFormData(
    const std::vector<std::pair<std::string, std::string>>& form) {
  // A raw '+' reads as a space in a form body, so it is sent as %2B.
  auto encode = [](const std::string& s) {
    return ReplaceSubstringAll(PercentEncode(s), "+", "%2B");
  };
  std::string text;
  for (const auto& [name, value] : form) {
    if (!text.empty()) text += '&';
    text += encode(name) + "=" + encode(value);
  }
  return text;
}

bool THttpTransport::Run(const std::string& verb, const std::string& url, const std::string* body) {
  ExecuteRequest(verb, url, body);
  if (FResponse.FContentStream) FResponse.FContentStream->SetPosition(0);
  return FResponse.FStatusCode >= 200 && FResponse.FStatusCode <= 299;
}

bool THttpTransport::Send(const std::string& verb, const std::string& url, const std::string* body,
                          THsmStream* responseStream) {
  FResponse.FContentStream = responseStream;
  return Run(verb, url, body);
}

bool THttpTransport::SendStream(const std::string& verb, const std::string& url, std::istream* body,
                                THsmStream* responseStream) {
  FResponse.FContentStream = responseStream;
  if (!body) return Run(verb, url, nullptr);
  std::string bytes = ReadStream(*body);
  return Run(verb, url, &bytes);
}

bool THttpTransport::Get(const std::string& url, THsmStream* responseStream) {
  return Send("GET", url, nullptr, responseStream);
}

bool THttpTransport::Post(const std::string& url, std::istream* body, THsmStream* responseStream) {
  return SendStream("POST", url, body, responseStream);
}

bool THttpTransport::Post(const std::string& url, const std::string& body,
                          THsmStream* responseStream) {
  return Send("POST", url, &body, responseStream);
}

bool THttpTransport::Put(const std::string& url, std::istream* body, THsmStream* responseStream) {
  return SendStream("PUT", url, body, responseStream);
}

bool THttpTransport::Put(const std::string& url, const std::string& body,
                         THsmStream* responseStream) {
  return Send("PUT", url, &body, responseStream);
}

bool THttpTransport::Delete(const std::string& url) {
  THsmStream discard(true);
  FResponse.FContentStream = &discard;
  bool result = false;
  try {
    result = Run("DELETE", url, nullptr);
  } catch (...) {
    FResponse.FContentStream = nullptr;
    throw;
  }
  FResponse.FContentStream = nullptr;
  return result;
}

// ---- Adapter ----

TVelHttpTransportClient::TVelHttpTransportClient(std::unique_ptr<THttpTransport> transport)
    : mTransport(std::move(transport)) {}

TVelHttpTransportClient::~TVelHttpTransportClient() = default;

bool TVelHttpTransportClient::InternalGet() {
  return mTransport->Get(mURL, mDataStream.get());
}

bool TVelHttpTransportClient::InternalDelete() {
  return mTransport->Delete(mURL);
}

bool TVelHttpTransportClient::InternalPost() {
  return mTransport->Post(mURL, mParamsStream, mDataStream.get());
}

bool TVelHttpTransportClient::InternalPut() {
  return mTransport->Put(mURL, mParamsStream, mDataStream.get());
}

void TVelHttpTransportClient::CopyResponseHeaders() {
  for (const auto& line : mTransport->Response().Headers()) mResponseHeaders->Add(line);
}

void TVelHttpTransportClient::AfterExecute() {
  mResponseCode = mTransport->Response().StatusCode();
  mResponseText = mTransport->Response().StatusText();
  CopyResponseHeaders();
  mDataStream->SetPosition(0);
}

void TVelHttpTransportClient::HandleException(const std::exception& e) {
  TVelHTTPClientBase::HandleException(e);
  mErrorCode = mTransport->Response().ErrorCode();
  if (auto* he = dynamic_cast<const EHttpTransportException*>(&e); he && mErrorCode == 0)
    mErrorCode = he->ErrorCode();
  mResponseCode = mTransport->Response().StatusCode();
  mResponseText = mTransport->Response().StatusText();
  CopyResponseHeaders();
  if (mErrorCode == 0) mErrorCode = -1;
}

void TVelHttpTransportClient::BeforeExecute() {
  TVelHTTPClientBase::BeforeExecute();
  mTransport->ResetToDefaults();
  auto& request = mTransport->Request();
  request.Headers().emplace_back("Accept", "*/*");
  request.SetContentType(mContentType);
  if (mContentType.empty()) {
    bool named = false;
    for (int i = 0; i < mCustomHeaders->Count(); ++i)
      if (StartsWithText("Content-Type=", mCustomHeaders->Strings(i))) named = true;
    if (!named) request.SetContentType("application/x-www-form-urlencoded");
  }
  request.SetUserAgent("Mozilla/5.0 (compatible) Velmora HttpClient");
  for (int i = 0; i < mCustomHeaders->Count(); ++i)
    request.Headers().emplace_back(mCustomHeaders->Names(i), mCustomHeaders->ValueFromIndex(i));
  if (FConnectTimeout >= 0) mTransport->SetConnectTimeout(FConnectTimeout);
  if (FReadTimeout >= 0) mTransport->SetReadTimeout(FReadTimeout);
  if (FRequestTimeout >= 0) mTransport->SetRequestTimeout(FRequestTimeout);
  mTransport->SetCancelFlag(CancelFlag());
}

std::string TVelHttpTransportClient::EncodeFormParams(const TVelStringList& params) {
  std::vector<std::pair<std::string, std::string>> form;
  for (int i = 0; i < params.Count(); ++i)
    form.emplace_back(params.Names(i), params.ValueFromIndex(i));
  return THttpTransport::EncodeFormData(form);
}

}  // namespace vel
