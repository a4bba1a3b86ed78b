#include "notify/Discord.h"

#include "common/StrBuilder.h"
#include "common/Strings.h"
#include "http/HttpClientBase.h"
#include "notify/ChatFormat.h"
#include "notify/RetryWait.h"

namespace vel {

namespace {

constexpr const char* kClassName = "TVelDiscord";
constexpr int kTimeoutMs = 3000;
// The whole exchange, however steadily a slow server trickles its answer.
constexpr int kRequestTimeoutMs = 15000;
constexpr int kMaxRetries = 3;

}  // namespace

TVelDiscord::TVelDiscord(const std::string& token) : FToken(token) {}

TVelDiscord::~TVelDiscord() = default;

std::string TVelDiscord::GetWebhookURL() const {
  if (FToken.empty()) return FBaseURL;
  const bool baseSlash = !FBaseURL.empty() && FBaseURL.back() == '/';
  const bool tokenSlash = FToken.front() == '/';
  if (baseSlash && tokenSlash) return FBaseURL + FToken.substr(1);
  if (!baseSlash && !tokenSlash) return FBaseURL + "/" + FToken;
  return FBaseURL + FToken;
}

std::string TVelDiscord::HideToken(std::string text) const {
  // The secret is the part after the webhook id; the whole token is hidden as well.
  std::string secret = FToken;
  if (std::size_t slash = FToken.find_last_of('/');
      slash != std::string::npos && slash + 1 < FToken.size())
    secret = FToken.substr(slash + 1);
  return chat::HideSecrets(std::move(text),
                           {FToken, PercentEncode(FToken), secret, PercentEncode(secret)});
}

void TVelDiscord::Cancel() {
  FCancellation.Cancel();
}

bool TVelDiscord::Cancelled() const {
  return FCancellation.Cancelled();
}

bool TVelDiscord::SendMessage(const std::string& msg, const std::string& userName) {
  FThrottle.reset();
  const std::vector<std::string> parts = chat::FormatDiscordParts(msg, 2000, chat::kMaxChatParts);
  return chat::SendParts(
      parts, [&](const std::string& part) { return SendPart(part, userName); }, FErrorMessage);
}

chat::TPartResult TVelDiscord::SendPart(const std::string& content, const std::string& userName) {
  for (int attempt = 0;; ++attempt) {
    auto client = TVelHTTPClientBase::CreateClient(kClassName);
    client->SetCancelFlag(FCancellation.RequestFlag());
    client->SetConnectTimeout(kTimeoutMs);
    client->SetReadTimeout(kTimeoutMs);
    client->SetRequestTimeout(kRequestTimeoutMs);
    TVelSimpleJSON json;
    json.Add("content", content);
    if (!userName.empty()) json.Add("username", userName);
    // Text from a log ("@everyone", "<@123>") must never ping anyone.
    json.AddRaw("allowed_mentions", "{\"parse\": []}");

    if (!client->Post(GetWebhookURL(), json.ToString(), "application/json")) {
      // Named like the HTTP failures below, so a transport failure in the log says which
      // channel it hit.
      FErrorMessage = HideToken(std::string(kClassName) + ": " + client->ErrorMessage());
      FThrottle.reset();
      return chat::TPartResult::prStopped;
    }
    const int status = client->ResponseCode();
    if (status >= 200 && status <= 299) return chat::TPartResult::prSent;

    std::string error = chat::ChatFailureText(kClassName, status, client->ResponseText(),
                                              client->DataBytes(), "message");
    const bool throttled = IsThrottled(*client);
    if (throttled) FThrottle = RetryWait(*client);
    if (throttled && attempt < kMaxRetries) {
      const std::chrono::milliseconds wait = *FThrottle;
      if (wait <= FMaxRetryWait) {
        if (FCancellation.Wait(wait)) continue;
        FErrorMessage = HideToken(error + " (retry cancelled)");
        return chat::TPartResult::prStopped;
      }
      error += chat::RetryTooLongText(wait);
    }
    if (!throttled) FThrottle.reset();  // a later failure of another kind
    FErrorMessage = HideToken(error);
    // Still throttled: later parts would be refused alike.
    return throttled ? chat::TPartResult::prStopped : chat::TPartResult::prRefused;
  }
}

}  // namespace vel
