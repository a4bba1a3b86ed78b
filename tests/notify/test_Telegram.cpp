// The Telegram sender against the local Bot API stand-in.

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "MarkdownV2Check.h"
#include "SampleLog.h"
#include "http/CurlHttpClient.h"
#include "notify/Telegram.h"
#include "support/ChannelMock.h"
#include "support/DecimalCommaLocale.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

const std::string kToken = "123456:AAF-secret_Token";

class TelegramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterCurlHttpClient();
    TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient");
    telegram.SetApiUrl(mock.TelegramApiUrl());
  }
  test::ChannelMock mock;
  TVelTelegram telegram{kToken, "-100200300"};
};

TEST_F(TelegramTest, SendsTheExactFormFieldsAsMarkdownV2) {
  ASSERT_TRUE(telegram.SendMessage("**Shop**\r\nx", true)) << telegram.ErrorMessage();
  ASSERT_EQ(mock.TelegramRequests().size(), 1u);
  auto r = mock.TelegramRequests()[0];
  EXPECT_EQ(r.Method, "POST");
  EXPECT_EQ(r.Path, "/bot" + kToken + "/sendMessage");
  EXPECT_EQ(r.Token, kToken);
  EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(r.Body,
            "chat_id=-100200300&text=*Shop*\r\nx&parse_mode=MarkdownV2&disable_notification=true");
  std::map<std::string, std::string> expected{{"chat_id", "-100200300"},
                                              {"text", "*Shop*\r\nx"},
                                              {"parse_mode", "MarkdownV2"},
                                              {"disable_notification", "true"}};
  EXPECT_EQ(r.Form, expected);
  EXPECT_EQ(telegram.ErrorMessage(), "");

  ASSERT_TRUE(telegram.SendMessage("**Shop**\r\ny", false));
  EXPECT_EQ(mock.TelegramRequests()[1].Form.count("disable_notification"), 0u);
}

TEST_F(TelegramTest, EveryCharacterArrivesAsWritten) {
  const std::string body =
      "C++ a+b 100% & x=y? #tag ~ok| {x} <b> \"q\" 'a' "
      "\xC3\xA9\xE2\x82\xAC\r\n_*[]()~`>#+-=|{}.!\\";
  ASSERT_TRUE(
      telegram.SendMessage("**Shop (prod)**\r\n" + body + "\r\n```\r\n" + body + "\r\n```", true));
  auto r = mock.TelegramRequests().at(0);
  auto read = test::ReadMarkdownV2(r.Form["text"]);
  ASSERT_TRUE(read.valid) << read.error << "\n" << r.Form["text"];
  EXPECT_EQ(read.visible, "Shop (prod)\r\n" + body + "\r\n" + body + "\r\n");
  // The plus signs went out encoded, so the server did not read them as spaces.
  EXPECT_NE(r.Body.find("C%2B%2B"), std::string::npos);
}

TEST_F(TelegramTest, LongExceptionLogArrivesAsSeveralValidParts) {
  const std::string log = test::SampleExceptionLog(6000);
  ASSERT_TRUE(telegram.SendMessage("**Shop**\r\n```\r\n" + log + "\r\n```", true))
      << telegram.ErrorMessage();
  auto requests = mock.TelegramRequests();
  ASSERT_GE(requests.size(), 2u);
  std::string visible;
  for (auto& r : requests) {
    auto read = test::ReadMarkdownV2(r.Form["text"]);
    ASSERT_TRUE(read.valid) << read.error;
    EXPECT_LE(test::Utf16Units(read.visible), 4096u);
    EXPECT_EQ(r.Form["disable_notification"], "true");
    visible += read.visible;
  }
  EXPECT_EQ(visible, "Shop\r\n" + log + "\r\n");
}

TEST_F(TelegramTest, RefusedPartDoesNotStopTheLaterParts) {
  const std::string text = "**Shop**\r\n```\r\n" + test::SampleExceptionLog(9000) + "\r\n```";
  const std::size_t count = chat::FormatTelegramParts(text, 4096, chat::kMaxChatParts).size();
  ASSERT_GE(count, 3u);
  mock.RespondTelegramError(400, "Bad Request: message text is empty");
  EXPECT_FALSE(telegram.SendMessage(text, true));
  EXPECT_EQ(mock.TelegramRequests().size(), count);
  EXPECT_EQ(telegram.ErrorMessage(),
            "TVelTelegram: HTTP 400 Bad Request: Bad Request: message text is empty (part 1 of " +
                std::to_string(count) + ")");
}

TEST_F(TelegramTest, ErrorAnswersAreFailuresWithTheDescription) {
  mock.RespondTelegramError(400, "Bad Request: can't parse entities");
  EXPECT_FALSE(telegram.SendMessage("**Shop**\r\nx", true));
  EXPECT_EQ(telegram.ErrorMessage(),
            "TVelTelegram: HTTP 400 Bad Request: Bad Request: can't parse entities");

  mock.RespondTelegramError(401, "Unauthorized");
  EXPECT_FALSE(telegram.SendMessage("x", true));
  EXPECT_NE(telegram.ErrorMessage().find("401"), std::string::npos);

  mock.RespondWith(502, "<html>bad gateway</html>");
  EXPECT_FALSE(telegram.SendMessage("x", true));
  EXPECT_EQ(telegram.ErrorMessage(), "TVelTelegram: HTTP 502 Bad Gateway");

  EXPECT_TRUE(telegram.SendMessage("x", true));  // the next one goes through and clears it
  EXPECT_EQ(telegram.ErrorMessage(), "");
}

TEST_F(TelegramTest, RateLimitIsWaitedOutAndTheMessageDeliveredOnce) {
  mock.RespondRateLimited(1);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(telegram.SendMessage("**Shop**\r\nonce", true)) << telegram.ErrorMessage();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 950ms);
  auto requests = mock.TelegramRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Form["text"], requests[1].Form["text"]);

  // At most three retries.
  mock.Clear();
  mock.RespondRateLimited(0, 5);
  EXPECT_FALSE(telegram.SendMessage("x", true));
  EXPECT_EQ(mock.RequestCount(), 4u);
  EXPECT_NE(telegram.ErrorMessage().find("HTTP 429"), std::string::npos);
}

TEST(TelegramLocale, FractionalRetryAfterIsWaitedUnderADecimalCommaLocale) {
  // The service takes its locale from the environment; "0.9" must not read as 0 there.
  test::DecimalCommaLocale locale;  // before any thread starts
  VEL_REQUIRE_LOCALE(locale);
  RegisterCurlHttpClient();
  TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient");
  test::ChannelMock mock;
  TVelTelegram telegram{kToken, "-100200300"};
  telegram.SetApiUrl(mock.TelegramApiUrl());
  mock.RespondRateLimited(0.9);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(telegram.SendMessage("**Shop**\r\nonce", false)) << telegram.ErrorMessage();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 850ms);
  EXPECT_EQ(mock.RequestCount(), 2u);
}

TEST_F(TelegramTest, RateLimitWaitIsBoundedAndCancellable) {
  telegram.SetMaxRetryWait(100ms);
  mock.RespondRateLimited(60);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(telegram.SendMessage("x", true));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_NE(telegram.ErrorMessage().find("too long"), std::string::npos);
  EXPECT_EQ(mock.RequestCount(), 1u);

  telegram.SetMaxRetryWait(30s);
  mock.RespondRateLimited(25);
  auto sending = std::async(std::launch::async, [&] { return telegram.SendMessage("y", true); });
  ASSERT_TRUE(mock.WaitForRequests(2));
  const auto cancelAt = std::chrono::steady_clock::now();
  telegram.Cancel();
  ASSERT_EQ(sending.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(sending.get());
  EXPECT_LT(std::chrono::steady_clock::now() - cancelAt, 5s);
  EXPECT_TRUE(telegram.Cancelled());
  EXPECT_NE(telegram.ErrorMessage().find("cancelled"), std::string::npos);
}

TEST_F(TelegramTest, CancelEndsARequestThatGetsNoAnswer) {
  // The sender's read time-out is 3 s; a cancelled request must end well before that, so a
  // service stop never waits for a channel that hangs.
  mock.SetNeverAnswer(true);
  auto sending = std::async(std::launch::async, [&] { return telegram.SendMessage("x", true); });
  ASSERT_TRUE(mock.WaitForRequests(1));
  const auto cancelAt = std::chrono::steady_clock::now();
  telegram.Cancel();
  ASSERT_EQ(sending.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(sending.get());
  EXPECT_LT(std::chrono::steady_clock::now() - cancelAt, 2500ms);
  EXPECT_NE(telegram.ErrorMessage().find("cancelled"), std::string::npos);
  EXPECT_EQ(telegram.ErrorMessage().find(kToken), std::string::npos);
  // Later messages fail at once without a request.
  mock.SetNeverAnswer(false);
  EXPECT_FALSE(telegram.SendMessage("y", true));
}

TEST_F(TelegramTest, TheTokenNeverAppearsInAnErrorText) {
  const std::string token = "98/76%41:secret";  // inserted into the path unencoded
  TVelTelegram t(token, "1");
  t.SetApiUrl(mock.TelegramApiUrl() + "/");
  ASSERT_TRUE(t.SendMessage("x", true));
  EXPECT_EQ(mock.Requests().at(0).Path, "/bot" + token + "/sendMessage");

  mock.RespondTelegramError(404, "Not Found: bot " + token + " unknown");
  EXPECT_FALSE(t.SendMessage("x", true));
  EXPECT_EQ(t.ErrorMessage().find(token), std::string::npos) << t.ErrorMessage();
  EXPECT_NE(t.ErrorMessage().find("***"), std::string::npos);

  mock.SetNeverAnswer(true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(t.SendMessage("x", true));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);  // 3 s read time-out
  EXPECT_NE(t.ErrorMessage().find("timed out"), std::string::npos) << t.ErrorMessage();
  EXPECT_EQ(t.ErrorMessage().find(token), std::string::npos);
  mock.SetNeverAnswer(false);

  t.SetApiUrl("http://telegram-api.invalid");
  EXPECT_FALSE(t.SendMessage("x", true));
  EXPECT_NE(t.ErrorMessage().find("Could not resolve host"), std::string::npos);
  EXPECT_EQ(t.ErrorMessage().find(token), std::string::npos);
  EXPECT_EQ(t.ErrorMessage().find("secret"), std::string::npos);
}

TEST_F(TelegramTest, WithoutAClientClassSendingThrows) {
  TVelHTTPClientBase::SetClientClass("");
  try {
    telegram.SendMessage("x", true);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "TVelTelegram: Default HTTP Client class is not defined");
  }
  EXPECT_EQ(mock.RequestCount(), 0u);
}

TEST(TelegramUrl, TokenAndHost) {
  TVelTelegram t("12:ab", "c");
  EXPECT_EQ(t.ApiUrl(), "https://api.telegram.org");
  EXPECT_EQ(t.GetPostURL(), "https://api.telegram.org/bot12:ab/sendMessage");
  EXPECT_EQ(t.BaseGetURL(), "https://api.telegram.org/bot");
  t.SetApiUrl("http://127.0.0.1:9/");
  EXPECT_EQ(t.GetPostURL(), "http://127.0.0.1:9/bot12:ab/sendMessage");
}

}  // namespace
}  // namespace vel
