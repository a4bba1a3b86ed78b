// The Discord sender against the local webhook stand-in.

#include <gtest/gtest.h>

#include <chrono>

#include "SampleLog.h"
#include "http/CurlHttpClient.h"
#include "notify/ChatFormat.h"
#include "notify/Discord.h"
#include "support/ChannelMock.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

const std::string kToken = "112233/wh-Secret_Token";
const std::string kMentionsOff = R"("allowed_mentions": {"parse": []})";

class DiscordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterCurlHttpClient();
    TVelHTTPClientBase::SetClientClass("TVelCurlHttpClient");
    discord.SetApiUrl(mock.DiscordApiUrl());
  }
  test::ChannelMock mock;
  TVelDiscord discord{kToken};
};

TEST_F(DiscordTest, PostsTheExactJsonBody) {
  ASSERT_TRUE(discord.SendMessage("**Shop**\r\nsay \"hi\" a\\b c/d\te", "Monitor"))
      << discord.ErrorMessage();
  auto r = mock.DiscordRequests().at(0);
  EXPECT_EQ(r.Path, "/api/webhooks/" + kToken);
  EXPECT_EQ(r.Token, kToken);
  EXPECT_EQ(r.Header("Content-Type"), "application/json");
  EXPECT_EQ(r.Json, R"({"content": "**Shop**\r\nsay \"hi\" a\\b c\/d)"
                    "\\te"
                    R"(","username": "Monitor",)" +
                        kMentionsOff + "}");
  EXPECT_EQ(discord.ErrorMessage(), "");

  // No user name: no "username"; mentions stay off whatever the text says. (The builder
  // writes one space after each colon and none after a comma.)
  ASSERT_TRUE(discord.SendMessage("@everyone look", ""));
  EXPECT_EQ(mock.DiscordRequests().at(1).Json,
            R"({"content": "@everyone look",)" + kMentionsOff + "}");
}

TEST_F(DiscordTest, LongExceptionLogArrivesInPartsOfAtMost2000Characters) {
  const std::string log = test::SampleExceptionLog(6000);
  ASSERT_TRUE(discord.SendMessage("**Shop**\r\n```\r\n" + log + "\r\n```", "Monitor"))
      << discord.ErrorMessage();
  auto requests = mock.DiscordRequests();
  ASSERT_GE(requests.size(), 4u);
  std::string shown;
  for (const auto& r : requests) {
    auto content = chat::JsonStringMember(r.Json, "content");
    ASSERT_TRUE(content.has_value()) << r.Json.substr(0, 200);
    EXPECT_LE(chat::ChatLength(*content), 2000u);
    EXPECT_NE(r.Json.find(kMentionsOff), std::string::npos);
    EXPECT_NE(r.Json.find(R"("username": "Monitor")"), std::string::npos);
    std::size_t fences = 0;
    for (auto at = content->find("```"); at != std::string::npos; at = content->find("```", at + 3))
      ++fences;
    EXPECT_EQ(fences, 2u);  // every part holds one whole code block
    for (const auto& s : chat::ParseFramedText(*content))
      if (s.Kind == chat::TChatSegment::ckCode) shown += s.Text;
  }
  EXPECT_EQ(shown, log + "\r\n");
}

TEST_F(DiscordTest, ErrorAnswersAreFailuresWithTheMessage) {
  mock.RespondDiscordError(400, "Cannot send an empty message");
  EXPECT_FALSE(discord.SendMessage("x", "u"));
  EXPECT_EQ(discord.ErrorMessage(),
            "TVelDiscord: HTTP 400 Bad Request: Cannot send an empty message");

  mock.RespondDiscordError(404, "Unknown Webhook");
  EXPECT_FALSE(discord.SendMessage("x", "u"));
  EXPECT_NE(discord.ErrorMessage().find("Unknown Webhook"), std::string::npos);

  EXPECT_TRUE(discord.SendMessage("x", "u"));
  EXPECT_EQ(discord.ErrorMessage(), "");
}

TEST_F(DiscordTest, RateLimitWaitsWhatEitherUrlFormAsksFor) {
  // The webhook URL without a version (what Discord's "Copy Webhook URL" gives) counts in
  // milliseconds, a v8+ URL in seconds; X-RateLimit-Reset-After (seconds) goes first.
  const std::string v10 = mock.BaseUrl() + "/api/v10/webhooks/";
  auto limited = [](const std::string& body, std::vector<std::pair<std::string, std::string>> h) {
    test::ChannelAnswer a;
    a.Status = 429;
    a.Body = body;
    a.Headers = std::move(h);
    return a;
  };
  struct Case {
    std::string base;
    test::ChannelAnswer answer;
  };
  const Case cases[] = {
      {mock.DiscordApiUrl(), limited(R"({"message":"rate limited","retry_after":600})", {})},
      {mock.DiscordApiUrl(), limited("slow down", {{"Retry-After", "600"}})},
      {v10, limited(R"({"message":"rate limited","retry_after":0.6})", {})},
      {v10, limited(R"({"retry_after":600})", {{"X-RateLimit-Reset-After", "0.600"}})},
  };
  for (const Case& c : cases) {
    mock.Clear();
    discord.SetApiUrl(c.base);
    mock.RespondWith(c.answer);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(discord.SendMessage("once", "")) << c.base << ": " << discord.ErrorMessage();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 550ms) << c.base << " " << c.answer.Body;
    EXPECT_LT(took, 10s) << c.base << " " << c.answer.Body;
    ASSERT_EQ(mock.DiscordRequests().size(), 2u) << c.base;
    EXPECT_EQ(mock.Requests()[0].Json, mock.Requests()[1].Json);
  }

  // At most three retries.
  mock.Clear();
  mock.RespondRateLimited(0, 4);
  EXPECT_FALSE(discord.SendMessage("never", ""));
  EXPECT_EQ(mock.RequestCount(), 4u);
}

TEST_F(DiscordTest, TheTokenNeverAppearsInAnErrorText) {
  mock.RespondDiscordError(401, "Invalid Webhook Token wh-Secret_Token");
  EXPECT_FALSE(discord.SendMessage("x", ""));
  EXPECT_EQ(discord.ErrorMessage().find("wh-Secret_Token"), std::string::npos)
      << discord.ErrorMessage();

  mock.SetNeverAnswer(true);
  EXPECT_FALSE(discord.SendMessage("x", ""));
  EXPECT_NE(discord.ErrorMessage().find("timed out"), std::string::npos);
  EXPECT_EQ(discord.ErrorMessage().find("wh-Secret_Token"), std::string::npos);
  mock.SetNeverAnswer(false);

  discord.SetApiUrl("http://discord-webhook.invalid/api/webhooks/");
  EXPECT_FALSE(discord.SendMessage("x", ""));
  EXPECT_NE(discord.ErrorMessage().find("Could not resolve host"), std::string::npos);
  EXPECT_EQ(discord.ErrorMessage().find("wh-Secret_Token"), std::string::npos);

  // A failure to make a client throws and leaves the last error text as it was.
  const std::string before = discord.ErrorMessage();
  TVelHTTPClientBase::SetClientClass("NotRegistered");
  EXPECT_THROW(discord.SendMessage("x", ""), Exception);
  EXPECT_EQ(discord.ErrorMessage(), before);
}

TEST(DiscordUrl, TokenIsJoinedWithOneSlash) {
  TVelDiscord d("1/abc");
  EXPECT_EQ(d.GetWebhookURL(), "https://discord.com/api/webhooks/1/abc");
  d.SetToken("/1/abc");
  EXPECT_EQ(d.GetWebhookURL(), "https://discord.com/api/webhooks/1/abc");
  d.SetApiUrl("http://127.0.0.1:9/hooks");
  EXPECT_EQ(d.GetWebhookURL(), "http://127.0.0.1:9/hooks/1/abc");
  d.SetToken("");
  EXPECT_EQ(d.GetWebhookURL(), "http://127.0.0.1:9/hooks");
}

}  // namespace
}  // namespace vel
