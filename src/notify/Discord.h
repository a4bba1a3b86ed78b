#pragma once

// Posts text messages to a Discord channel through an incoming webhook.

#include <chrono>
#include <optional>
#include <string>

#include "notify/Cancellation.h"
#include "notify/ChatFormat.h"

namespace vel {

class TVelDiscord {
 public:
  // token: the part of the webhook URL that follows "/api/webhooks/" ("<id>/<token>").
  // The HTTP client class must be selected (TVelHTTPClientBase::SetClientClass) before the
  // first SendMessage.
  explicit TVelDiscord(const std::string& token);
  virtual ~TVelDiscord();
  TVelDiscord(const TVelDiscord&) = delete;
  TVelDiscord& operator=(const TVelDiscord&) = delete;

  const std::string& Token() const { return FToken; }
  void SetToken(const std::string& value) { FToken = value; }
  // The webhook base the token is joined to; "https://discord.com/api/webhooks/" unless set.
  const std::string& ApiUrl() const { return FBaseURL; }
  void SetApiUrl(std::string value) { FBaseURL = std::move(value); }
  const std::string& BaseURL() const { return FBaseURL; }
  void SetBaseURL(std::string value) { FBaseURL = std::move(value); }

  // Posts msg (the dispatcher's framed text: "**" + title + "**" + CR LF + body, with code
  // fences) under the name userName (empty: the webhook's own name). Content over 2000
  // characters goes out as several consecutive messages (never blank, at most
  // chat::kMaxChatParts, the last then saying how much was left out), a code block cut in two
  // being closed and reopened. Mentions in the text never ping anyone.
  // Returns true when every part was accepted (2xx). Otherwise false, with the reason in
  // ErrorMessage(). A 429 answer (or a 503 with Retry-After) is retried after the wait it
  // asks for (RetryWait: at most 30 s, at most 3 times); Cancel() cuts such a wait short. Throws
  // vel::Exception only when no HTTP client can be made; ErrorMessage() then keeps its previous
  // value.
  bool SendMessage(const std::string& msg, const std::string& userName);
  // Why the last SendMessage failed; empty after a success. Never contains the token.
  const std::string& ErrorMessage() const { return FErrorMessage; }
  // When the service answered 429 during the last SendMessage (whether a retry then went
  // through or not): the last wait it asked for (0 when it named none). Empty otherwise.
  const std::optional<std::chrono::milliseconds>& Throttle() const { return FThrottle; }

  // Ends a retry wait in progress at once and the HTTP request under way within about a
  // second (the SendMessage concerned returns false); every later request fails at once. Safe to
  // call from any thread.
  void Cancel();
  bool Cancelled() const;

  // BaseURL joined with Token by one '/' (the token is not encoded).
  virtual std::string GetWebhookURL() const;

  // Longest wait on a 429 answer (30 s unless changed; tests shorten it).
  void SetMaxRetryWait(std::chrono::milliseconds value) { FMaxRetryWait = value; }

 private:
  chat::TPartResult SendPart(const std::string& content, const std::string& userName);
  std::string HideToken(std::string text) const;

  std::string FToken;
  std::string FBaseURL = "https://discord.com/api/webhooks/";
  std::string FErrorMessage;
  std::optional<std::chrono::milliseconds> FThrottle;
  std::chrono::milliseconds FMaxRetryWait{30000};

  TCancellation FCancellation;
};

}  // namespace vel
