#include "http/HttpClientBase.h"

#include <map>
#include <mutex>
#include <sstream>

#include "common/StrLists.h"
#include "common/Strings.h"
#include "common/Utf.h"
#include "http/HsmStream.h"

namespace vel {

namespace {

struct TRegistry {
  std::mutex lock;
  std::string className;
  std::string defaultCaFile;
  // Keyed by the upper-cased name: class names are looked up without regard to case.
  std::map<std::string, std::pair<std::string, TVelHTTPClientBase::TFactory>> classes;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

}  // namespace

// ---- Registry ----

void TVelHTTPClientBase::SetClientClass(const std::string& className) {
  // An empty name clears the selection (rather than naming the bare prefix).
  std::string name =
      className.empty() || StartsWithText("TVel", className) ? className : "TVel" + className;
  std::lock_guard guard(Registry().lock);
  Registry().className = std::move(name);
}

std::string TVelHTTPClientBase::ClientClass() {
  std::lock_guard guard(Registry().lock);
  return Registry().className;
}

void TVelHTTPClientBase::RegisterClientClass(const std::string& className, TFactory factory) {
  std::lock_guard guard(Registry().lock);
  Registry().classes[AsciiUpperCase(className)] = {className, std::move(factory)};
}

bool TVelHTTPClientBase::IsClientClassRegistered(const std::string& className) {
  std::lock_guard guard(Registry().lock);
  return Registry().classes.count(AsciiUpperCase(className)) > 0;
}

std::unique_ptr<TVelHTTPClientBase> TVelHTTPClientBase::CreateClient(
    std::string_view senderClassName) {
  std::string prefix;
  if (!senderClassName.empty()) prefix = std::string(senderClassName) + ": ";
  TFactory factory;
  {
    std::lock_guard guard(Registry().lock);
    if (Registry().className.empty())
      throw Exception(prefix + "Default HTTP Client class is not defined");
    auto it = Registry().classes.find(AsciiUpperCase(Registry().className));
    if (it == Registry().classes.end())
      throw Exception(prefix + "Default HTTP Client class is not registered");
    factory = it->second.second;
  }
  return factory();
}

void TVelHTTPClientBase::SetDefaultCaFile(const std::string& path) {
  std::lock_guard guard(Registry().lock);
  Registry().defaultCaFile = path;
}

std::string TVelHTTPClientBase::DefaultCaFile() {
  std::lock_guard guard(Registry().lock);
  return Registry().defaultCaFile;
}

// ---- Client ----

TVelHTTPClientBase::TVelHTTPClientBase()
    : mDataStream(std::make_unique<THsmStream>(true)),
      mResponseHeaders(std::make_unique<TVelStringList>()),
      mCustomHeaders(std::make_unique<TVelStringList>()),
      FCaFile(DefaultCaFile()) {
  mResponseHeaders->SetNameValueSeparator(':');
}

TVelHTTPClientBase::~TVelHTTPClientBase() {
  mParamsStream = nullptr;
}

void TVelHTTPClientBase::ResetResponse() {
  mErrorCode = 0;
  mResponseCode = 0;
  mErrorMessage.clear();
  mResponseText.clear();
  mContentType.clear();
  mResponseHeaders->Clear();
  mDataStream->Clear();
}

void TVelHTTPClientBase::BeginRequest(const std::string& url, const std::string& contentType) {
  ResetResponse();
  mContentType = contentType;
  mURL = url;
  mUseSSL = StartsWithText("https", mURL);
  mParamsStream = nullptr;
}

bool TVelHTTPClientBase::Get(const std::string& url) {
  BeginRequest(url, {});
  return DoGet();
}

bool TVelHTTPClientBase::Get(const std::string& url, const TVelStringList& params) {
  std::string encoded = EncodeFormParams(params);
  if (encoded.empty()) return Get(url);
  return Get(url + (url.find('?') == std::string::npos ? "?" : "&") + encoded);
}

bool TVelHTTPClientBase::Delete(const std::string& url, const std::string& contentType) {
  BeginRequest(url, contentType);
  return DoDelete();
}

bool TVelHTTPClientBase::PostStream(const std::string& url, std::istream& params,
                                    const std::string& contentType, bool put) {
  BeginRequest(url, contentType);
  mParamsStream = &params;
  bool result = put ? DoPut() : DoPost();
  mParamsStream = nullptr;
  return result;
}

bool TVelHTTPClientBase::Post(const std::string& url, std::istream& params,
                              const std::string& contentType) {
  return PostStream(url, params, contentType, false);
}

bool TVelHTTPClientBase::Post(const std::string& url, const std::string& params,
                              const std::string& contentType) {
  std::istringstream body(params);
  return PostStream(url, body, contentType, false);
}

bool TVelHTTPClientBase::Post(const std::string& url, const TVelStringList& params,
                              const std::string& contentType) {
  return Post(url, EncodeFormParams(params), contentType);
}

bool TVelHTTPClientBase::Put(const std::string& url, std::istream& params,
                             const std::string& contentType) {
  return PostStream(url, params, contentType, true);
}

bool TVelHTTPClientBase::Put(const std::string& url, const std::string& params,
                             const std::string& contentType) {
  std::istringstream body(params);
  return PostStream(url, body, contentType, true);
}

bool TVelHTTPClientBase::DownloadFile(const std::string& url, const std::string& fileName) {
  if (!Get(url)) return false;
  mDataStream->SaveToFile(fileName);
  mDataStream->Clear();
  return true;
}

std::string TVelHTTPClientBase::DataBytes() {
  return mDataStream->ReadAll();
}

std::string TVelHTTPClientBase::DataAsString() {
  std::string bytes = DataBytes();
  if (!IsValidUtf8(bytes))
    throw Exception(
        "No mapping for the Unicode character exists in the target multi-byte code page");
  return bytes;
}

std::string TVelHTTPClientBase::ResponseHeader(std::string_view name) const {
  for (int i = 0; i < mResponseHeaders->Count(); ++i) {
    const std::string& line = mResponseHeaders->Strings(i);
    std::size_t colon = line.find(':');
    if (colon == std::string::npos || !SameText(std::string_view(line).substr(0, colon), name))
      continue;
    std::string value = line.substr(colon + 1);
    TrimInPlace(value);
    return value;
  }
  return {};
}

void TVelHTTPClientBase::HandleException(const std::exception& e) {
  mErrorMessage = e.what();
}

void TVelHTTPClientBase::BeforeExecute() {
  mDataStream->Clear();
}

bool TVelHTTPClientBase::Execute(TOperation operation) {
  BeforeExecute();
  try {
    (this->*operation)();
    AfterExecute();
    return true;
  } catch (const std::exception& e) {
    HandleException(e);
    // A failed request never reads as a clean one.
    if (mErrorCode == 0) mErrorCode = -1;
    return false;
  }
}

}  // namespace vel
