#pragma once

// Sends text messages to one chat through the Telegram Bot API method "sendMessage".

#include <chrono>
#include <optional>
#include <string>

#include "notify/Cancellation.h"
#include "notify/ChatFormat.h"

namespace vel {

enum class TParseMode { MarkdownV2, HTML, Markdown };

class TVelTelegram {
 public:
  // The HTTP client class must be selected (TVelHTTPClientBase::SetClientClass) before the
  // first SendMessage.
  TVelTelegram(const std::string& botToken, const std::string& chatId);
  virtual ~TVelTelegram();
  TVelTelegram(const TVelTelegram&) = delete;
  TVelTelegram& operator=(const TVelTelegram&) = delete;

  const std::string& BotToken() const { return FBotToken; }
  void SetBotToken(const std::string& value) { FBotToken = value; }
  const std::string& ChatId() const { return FChatId; }
  void SetChatId(const std::string& value) { FChatId = value; }
  // Scheme and host of the Bot API, without a trailing slash; "https://api.telegram.org"
  // unless set. A trailing '/' given here is dropped.
  const std::string& ApiUrl() const { return FApiUrl; }
  void SetApiUrl(std::string value);
  // ApiUrl + "/bot": base of the query-string form of a request.
  std::string BaseGetURL() const;

  // Sends msg, the text framed by the dispatcher: "**" + title + "**" + CR LF + body, where
  // the body may hold code fences of three grave accents. The text goes out as MarkdownV2
  // (title bold, fenced parts as code blocks, everything else escaped) and, when Telegram
  // would find it longer than 4096 characters, as several consecutive messages, each valid
  // on its own, never blank, at most chat::kMaxChatParts of them (the last then says how
  // much was left out). silent sends disable_notification=true, which asks Telegram to
  // deliver without a notification sound; without it the field is not sent.
  // Returns true when every part was accepted (2xx). Otherwise false, with the reason in
  // ErrorMessage(). A 429 answer (or a 503 with Retry-After) is retried after the wait it
  // asks for (RetryWait: at most 30 s, at most 3 times); Cancel() cuts such a wait short. Throws
  // vel::Exception only when no HTTP client can be made (no client class selected or registered).
  bool SendMessage(const std::string& msg, bool silent);
  // Why the last SendMessage failed; empty after a success. Never contains the bot token.
  const std::string& ErrorMessage() const { return FErrorMessage; }
  // When the service answered 429 during the last SendMessage (whether a retry then went
  // through or not): the last wait it asked for (0 when it named none). Empty otherwise.
  const std::optional<std::chrono::milliseconds>& Throttle() const { return FThrottle; }

  // Ends a retry wait in progress at once and the HTTP request under way within about a
  // second (the SendMessage concerned returns false); every later request fails at once. Safe to
  // call from any thread, e.g. from a service stop while another thread is sending.
  void Cancel();
  bool Cancelled() const;

  // The request URL: ApiUrl + "/bot" + token + "/sendMessage" (the token is not encoded).
  virtual std::string GetPostURL() const;

  // Longest wait on a 429 answer (30 s unless changed; tests shorten it).
  void SetMaxRetryWait(std::chrono::milliseconds value) { FMaxRetryWait = value; }

 private:
  chat::TPartResult SendPart(const std::string& text, bool silent);
  std::string HideToken(std::string text) const;

  std::string FBotToken;
  std::string FChatId;
  std::string FApiUrl = "https://api.telegram.org";
  std::string FErrorMessage;
  std::optional<std::chrono::milliseconds> FThrottle;
  std::chrono::milliseconds FMaxRetryWait{30000};

  TCancellation FCancellation;
};

// Name of the process-wide parse mode ("MarkdownV2" unless changed).
TParseMode TelegramParseMode();
void SetTelegramParseMode(TParseMode mode);
const char* ParseModeName(TParseMode mode);

}  // namespace vel
