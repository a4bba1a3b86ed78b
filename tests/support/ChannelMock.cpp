#include "ChannelMock.h"

#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace vel::test {

namespace {

bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string DecodeComponent(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 &&
               HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

void AddToNoProxy(const char* name) {
  std::string value;
  if (const char* old = std::getenv(name); old && *old) value = std::string(old) + ",";
  value += "127.0.0.1,localhost";
  SetEnvVar(name, value);
}

std::string JsonNumber(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

}  // namespace

std::string ChannelRequest::Header(const std::string& name) const {
  for (const auto& [n, v] : Headers)
    if (SameTextAscii(n, name)) return v;
  return {};
}

bool ChannelRequest::HasHeader(const std::string& name) const {
  for (const auto& h : Headers)
    if (SameTextAscii(h.first, name)) return true;
  return false;
}

std::map<std::string, std::string> ChannelMock::DecodeForm(const std::string& body) {
  std::map<std::string, std::string> form;
  std::size_t pos = 0;
  while (pos <= body.size()) {
    std::size_t amp = body.find('&', pos);
    if (amp == std::string::npos) amp = body.size();
    std::string item = body.substr(pos, amp - pos);
    if (!item.empty()) {
      std::size_t eq = item.find('=');
      if (eq == std::string::npos)
        form[DecodeComponent(item)] = "";
      else
        form[DecodeComponent(item.substr(0, eq))] = DecodeComponent(item.substr(eq + 1));
    }
    pos = amp + 1;
  }
  return form;
}

struct ChannelMock::Impl {
  mutable std::mutex lock;
  mutable std::condition_variable changed;
  std::vector<ChannelRequest> requests;
  std::deque<ChannelAnswer> answers;
  bool neverAnswer = false;
  bool stopping = false;
  // Last: it goes first, while the state its threads use is still there.
  std::unique_ptr<LoopbackHttpServer> server;

  LoopbackReply Handle(const LoopbackRequest& req) {
    static const std::regex telegram(R"(/bot(.+)/sendMessage)");
    static const std::regex discord(R"(/api(?:/v\d+)?/webhooks/(.+))");
    const std::string path = req.Target.substr(0, req.Target.find('?'));
    ChannelRequest r;
    std::smatch m;
    if (req.Method == "POST" && std::regex_match(path, m, telegram)) {
      r.Kind = ChannelRequest::Route::Telegram;
      r.Token = m[1];
    } else if (req.Method == "POST" && std::regex_match(path, m, discord)) {
      r.Kind = ChannelRequest::Route::Discord;
      r.Token = m[1];
    }
    r.Method = req.Method;
    r.Path = req.Target;
    r.Headers = req.Headers;
    r.Body = req.Body;
    std::string contentType = r.Header("Content-Type");
    if (contentType.find("application/x-www-form-urlencoded") != std::string::npos)
      r.Form = DecodeForm(req.Body);
    if (contentType.find("json") != std::string::npos) r.Json = req.Body;
    const auto kind = r.Kind;

    ChannelAnswer answer;
    bool canned = false;
    {
      std::unique_lock guard(lock);
      requests.push_back(std::move(r));
      changed.notify_all();
      changed.wait(guard, [&] { return !neverAnswer || stopping; });
      if (stopping) return LoopbackReply{503, {}, {}, {}};
      if (!answers.empty()) {
        answer = std::move(answers.front());
        answers.pop_front();
        canned = true;
      }
    }
    if (!canned) {
      switch (kind) {
        case ChannelRequest::Route::Telegram:
          answer = {200, R"({"ok":true,"result":{"message_id":1}})", "application/json", {}};
          break;
        case ChannelRequest::Route::Discord:
          answer = {204, "", "", {}};
          break;
        case ChannelRequest::Route::Other:
          answer = {404, R"({"message":"Unknown route","code":0})", "application/json", {}};
          break;
      }
    }
    return LoopbackReply{answer.Status, answer.Headers, answer.Body, answer.ContentType};
  }
};

ChannelMock::ChannelMock() : impl_(std::make_unique<Impl>()) {
  AddToNoProxy("NO_PROXY");
  AddToNoProxy("no_proxy");
  impl_->server = std::make_unique<LoopbackHttpServer>(
      [impl = impl_.get()](const LoopbackRequest& req) { return impl->Handle(req); });
}

ChannelMock::~ChannelMock() {
  {
    std::lock_guard guard(impl_->lock);
    impl_->stopping = true;
  }
  impl_->changed.notify_all();
  impl_->server.reset();
}

int ChannelMock::Port() const {
  return impl_->server->Port();
}

std::string ChannelMock::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(Port());
}

std::string ChannelMock::TelegramApiUrl() const {
  return BaseUrl();
}

std::string ChannelMock::DiscordApiUrl() const {
  return BaseUrl() + "/api/webhooks/";
}

void ChannelMock::RespondWith(const ChannelAnswer& answer, int count) {
  std::lock_guard guard(impl_->lock);
  for (int i = 0; i < count; ++i) impl_->answers.push_back(answer);
}

void ChannelMock::RespondWith(int status, const std::string& body, int count) {
  RespondWith(ChannelAnswer{status, body, "application/json", {}}, count);
}

void ChannelMock::RespondTelegramError(int status, const std::string& description, int count) {
  std::string body = R"({"ok":false,"error_code":)" + std::to_string(status) +
                     R"(,"description":")" + description + R"("})";
  RespondWith(status, body, count);
}

void ChannelMock::RespondDiscordError(int status, const std::string& message, int count) {
  RespondWith(status, R"({"message":")" + message + R"(","code":0})", count);
}

void ChannelMock::RespondRateLimited(double retryAfterSeconds, int count) {
  std::string n = JsonNumber(retryAfterSeconds);
  std::string body =
      R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after )" + n +
      R"(","parameters":{"retry_after":)" + n + R"(},"retry_after":)" + n +
      R"(,"message":"You are being rate limited.","global":false})";
  RespondWith(429, body, count);
}

void ChannelMock::SetNeverAnswer(bool on) {
  {
    std::lock_guard guard(impl_->lock);
    impl_->neverAnswer = on;
  }
  impl_->changed.notify_all();
}

bool ChannelMock::WaitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock guard(impl_->lock);
  return impl_->changed.wait_for(guard, timeout, [&] { return impl_->requests.size() >= n; });
}

std::size_t ChannelMock::RequestCount() const {
  std::lock_guard guard(impl_->lock);
  return impl_->requests.size();
}

std::vector<ChannelRequest> ChannelMock::Requests() const {
  std::lock_guard guard(impl_->lock);
  return impl_->requests;
}

std::vector<ChannelRequest> ChannelMock::TelegramRequests() const {
  std::vector<ChannelRequest> out;
  for (auto& r : Requests())
    if (r.Kind == ChannelRequest::Route::Telegram) out.push_back(std::move(r));
  return out;
}

std::vector<ChannelRequest> ChannelMock::DiscordRequests() const {
  std::vector<ChannelRequest> out;
  for (auto& r : Requests())
    if (r.Kind == ChannelRequest::Route::Discord) out.push_back(std::move(r));
  return out;
}

void ChannelMock::Clear() {
  std::lock_guard guard(impl_->lock);
  impl_->requests.clear();
  impl_->answers.clear();
}

}  // namespace vel::test
