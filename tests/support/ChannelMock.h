#pragma once

// A local stand-in for the Telegram Bot API and a Discord webhook: a real HTTP server on
// 127.0.0.1 (random free port) that records every request and answers as told.
//
// Use:
//   vel::RegisterCurlHttpClient();                                  // once per test program
//   vel::TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient");
//   vel::test::ChannelMock mock;
//   telegram.SetApiUrl(mock.TelegramApiUrl());   // TVelTelegram
//   discord.SetApiUrl(mock.DiscordApiUrl());     // TVelDiscord (token "<id>/<token>")
//   ... send ...
//   ASSERT_TRUE(mock.WaitForRequests(1));
//   auto r = mock.Requests()[0];                 // r.Form["text"], r.Json, r.Header("...")
//
// Routes:
//   POST /bot<token>/sendMessage     Telegram; answers 200 {"ok":true,...} by default
//   POST /api/webhooks/<id>/<token>  Discord; answers 204 with no body by default (also with
//                                    an API version: /api/v10/webhooks/...)
//   anything else                    recorded, answered 404
// The constructor adds 127.0.0.1 and localhost to NO_PROXY/no_proxy of the process so that
// a proxy set in the environment never sees the test traffic.
// Thread-safe: senders may run on any thread while the test waits.

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vel::test {

struct ChannelRequest {
  enum class Route { Telegram, Discord, Other };
  Route Kind = Route::Other;
  std::string Method;
  std::string Path;   // as received, percent-escapes kept
  std::string Token;  // Telegram: the bot token; Discord: "<id>/<token>"; else ""
  std::vector<std::pair<std::string, std::string>> Headers;  // in arrival order
  std::string Body;                                          // raw body bytes
  // Form fields of an application/x-www-form-urlencoded body, decoded ('+' = space, %XX).
  std::map<std::string, std::string> Form;
  // The body as text when the content type is JSON (same as Body), else "".
  std::string Json;

  // First header of that name (ASCII case-insensitive), "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

// One canned answer.
struct ChannelAnswer {
  int Status = 200;
  std::string Body;
  std::string ContentType = "application/json";
  std::vector<std::pair<std::string, std::string>> Headers;
};

class ChannelMock {
 public:
  ChannelMock();   // listening when the constructor returns; throws when it cannot start
  ~ChannelMock();  // releases requests held by NeverAnswer and stops the server
  ChannelMock(const ChannelMock&) = delete;
  ChannelMock& operator=(const ChannelMock&) = delete;

  int Port() const;
  std::string BaseUrl() const;         // "http://127.0.0.1:<port>"
  std::string TelegramApiUrl() const;  // for TVelTelegram::SetApiUrl (== BaseUrl())
  std::string DiscordApiUrl() const;   // for TVelDiscord::SetApiUrl: BaseUrl() + "/api/webhooks/"

  // The next `count` requests (any route) get this answer instead of the default one.
  // Calls queue up: answers are used in the order they were given.
  void RespondWith(const ChannelAnswer& answer, int count = 1);
  void RespondWith(int status, const std::string& body, int count = 1);
  // Telegram-style error: {"ok":false,"error_code":status,"description":description}.
  void RespondTelegramError(int status, const std::string& description, int count = 1);
  // Discord-style error: {"message":message,"code":0}.
  void RespondDiscordError(int status, const std::string& message, int count = 1);
  // 429 with retry_after (seconds) in the body in both APIs' shapes
  // ({"ok":false,"error_code":429,"description":"Too Many Requests: retry after N",
  //   "parameters":{"retry_after":N},"retry_after":N,"message":"You are being rate limited."}).
  void RespondRateLimited(double retryAfterSeconds, int count = 1);
  // While on, every request is recorded and then held without an answer until it is turned
  // off or the mock is destroyed (the client sees a server that never answers).
  void SetNeverAnswer(bool on);

  // Waits until at least n requests have been recorded in total; false on time-out.
  bool WaitForRequests(std::size_t n,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  std::size_t RequestCount() const;
  // Copies of the recorded requests, in arrival order.
  std::vector<ChannelRequest> Requests() const;
  std::vector<ChannelRequest> TelegramRequests() const;
  std::vector<ChannelRequest> DiscordRequests() const;
  // Forgets the recorded requests and the queued answers.
  void Clear();

  // Decodes an application/x-www-form-urlencoded text.
  static std::map<std::string, std::string> DecodeForm(const std::string& body);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vel::test
