#include "notify/Telegram.h"

#include <atomic>

#include "common/StrLists.h"
#include "common/Strings.h"
#include "http/HttpClientBase.h"
#include "notify/ChatFormat.h"
#include "notify/RetryWait.h"

namespace vel {

namespace {

constexpr const char* kClassName = "TVelTelegram";
constexpr int kTimeoutMs = 3000;
// The whole exchange, however steadily a slow server trickles its answer.
constexpr int kRequestTimeoutMs = 15000;
constexpr int kMaxRetries = 3;

std::atomic<TParseMode> gParseMode{TParseMode::MarkdownV2};

}  // namespace

TParseMode TelegramParseMode() {
  return gParseMode.load();
}
void SetTelegramParseMode(TParseMode mode) {
  gParseMode.store(mode);
}

const char* ParseModeName(TParseMode mode) {
  switch (mode) {
    case TParseMode::HTML:
      return "HTML";
    case TParseMode::Markdown:
      return "Markdown";
    default:
      return "MarkdownV2";
  }
}

TVelTelegram::TVelTelegram(const std::string& botToken, const std::string& chatId)
    : FBotToken(botToken), FChatId(chatId) {}

TVelTelegram::~TVelTelegram() = default;

void TVelTelegram::SetApiUrl(std::string value) {
  while (!value.empty() && value.back() == '/') value.pop_back();
  FApiUrl = std::move(value);
}

std::string TVelTelegram::BaseGetURL() const {
  return FApiUrl + "/bot";
}

std::string TVelTelegram::GetPostURL() const {
  return ReplaceSubstringAllText(FApiUrl + "/bot{%bot_token%}/sendMessage", "{%bot_token%}",
                                 FBotToken);
}

std::string TVelTelegram::HideToken(std::string text) const {
  return chat::HideSecrets(std::move(text), {FBotToken, PercentEncode(FBotToken)});
}

void TVelTelegram::Cancel() {
  FCancellation.Cancel();
}

bool TVelTelegram::Cancelled() const {
  return FCancellation.Cancelled();
}

bool TVelTelegram::SendMessage(const std::string& msg, bool silent) {
  FErrorMessage.clear();
  FThrottle.reset();
  std::vector<std::string> parts;
  if (TelegramParseMode() == TParseMode::MarkdownV2)
    parts = chat::FormatTelegramParts(msg, 4096, chat::kMaxChatParts);
  else
    parts.push_back(chat::ChatVisibleText(msg));
  return chat::SendParts(
      parts, [&](const std::string& part) { return SendPart(part, silent); }, FErrorMessage);
}

chat::TPartResult TVelTelegram::SendPart(const std::string& text, bool silent) {
  for (int attempt = 0;; ++attempt) {
    auto client = TVelHTTPClientBase::CreateClient(kClassName);
    client->SetCancelFlag(FCancellation.RequestFlag());
    client->SetConnectTimeout(kTimeoutMs);
    client->SetReadTimeout(kTimeoutMs);
    client->SetRequestTimeout(kRequestTimeoutMs);
    TVelStringList form;
    form.AddPair("chat_id", FChatId);
    form.AddPair("text", text);
    form.AddPair("parse_mode", ParseModeName(TelegramParseMode()));
    if (silent) form.AddPair("disable_notification", "true");

    if (!client->Post(GetPostURL(), form)) {
      FErrorMessage = HideToken(std::string(kClassName) + ": " + client->ErrorMessage());
      FThrottle.reset();
      return chat::TPartResult::prStopped;
    }
    const int status = client->ResponseCode();
    if (status >= 200 && status <= 299) return chat::TPartResult::prSent;

    std::string error = chat::ChatFailureText(kClassName, status, client->ResponseText(),
                                              client->DataBytes(), "description");
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
