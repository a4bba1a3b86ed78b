// How long a throttled channel waits: units per URL form, the order of the sources, and sane
// waits for values that are huge, negative, not numbers or dates.

#include <gtest/gtest.h>

#include <chrono>

#include "http/WireNumber.h"
#include "notify/RetryWait.h"
#include "support/DecimalCommaLocale.h"

namespace vel {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

constexpr const char* kOldHook = "https://discord.com/api/webhooks/1/x";
constexpr const char* kV10Hook = "https://discord.com/api/v10/webhooks/1/x";
constexpr const char* kTelegram = "https://api.telegram.org/bot1:x/sendMessage";

TEST(RetryWait, UnitFollowsTheUrlForm) {
  struct Case {
    const char* url;
    TWaitUnit unit;
  };
  for (const Case& c :
       {Case{kOldHook, TWaitUnit::wuMilliseconds},
        Case{"http://127.0.0.1:9/webhooks/1/x", TWaitUnit::wuMilliseconds},
        Case{"https://discord.com/api/v6/webhooks/1/x", TWaitUnit::wuMilliseconds},
        Case{"https://discord.com/api/v8/webhooks/1/x", TWaitUnit::wuSeconds},
        Case{kV10Hook, TWaitUnit::wuSeconds}, Case{kTelegram, TWaitUnit::wuSeconds}})
    EXPECT_EQ(RetryAfterUnit(c.url), c.unit) << c.url;
}

TEST(RetryWait, SourcesUnitsAndClamping) {
  const auto now = std::chrono::system_clock::time_point(
      std::chrono::sys_days(std::chrono::year(2026) / 12 / 9));  // Wed, 09 Dec 2026 00:00:00 GMT
  struct Case {
    const char* url;
    const char* body;
    const char* retryAfter;
    const char* resetAfter;
    milliseconds wait;
  };
  const Case cases[] = {
      {kTelegram, R"({"parameters":{"retry_after":2}})", "", "", 2000ms},
      {kTelegram, "", "3", "", 3000ms},
      {kTelegram, "", "", "", kDefaultRetryWait},
      // The old webhook API counts milliseconds, v8 and later seconds.
      {kOldHook, R"({"retry_after": 1500})", "", "", 1500ms},
      {kOldHook, "", "1500", "", 1500ms},
      {kV10Hook, R"({"retry_after": 1.5})", "", "", 1500ms},
      // X-RateLimit-Reset-After (seconds, with fractions) comes first.
      {kOldHook, R"({"retry_after": 99999})", "", "0.25", 250ms},
      {kV10Hook, "", "", "0.0001", 1ms},
      // Zero is a wait of its own, not a missing one.
      {kOldHook, R"({"retry_after": 1500})", "", "0", 0ms},
      {kTelegram, R"({"parameters":{"retry_after":0}})", "7", "", 0ms},
      {kTelegram, "", "0", "", 0ms},
      // Huge, infinite, negative and meaningless values.
      {kTelegram, R"({"retry_after":1e308})", "", "", kLongestRetryWait},
      {kTelegram, R"({"retry_after":1e999})", "", "", kLongestRetryWait},
      {kTelegram, "", "9999999999999999999999", "", kLongestRetryWait},
      {kTelegram, R"({"retry_after":-5})", "", "", kDefaultRetryWait},
      {kTelegram, R"({"retry_after":-5})", "7", "", 7000ms},
      {kTelegram, "", "-1", "-3", kDefaultRetryWait},
      {kTelegram, "", "inf", "NaN", kDefaultRetryWait},
      {kTelegram, "", "soon", "", kDefaultRetryWait},
      {kTelegram, "", "2,5", "", kDefaultRetryWait},
      // Retry-After as an HTTP date: counted from now, cut to the longest wait.
      {kTelegram, "", "Wed, 09 Dec 2026 00:00:42 GMT", "", 42000ms},
      {kTelegram, "", "Tue, 08 Dec 2026 23:00:00 GMT", "", 0ms},
      {kTelegram, "", "Fri, 31 Dec 9999 23:59:59 GMT", "", kLongestRetryWait},
      {kTelegram, "", "Wed, 32 Dec 2026 00:00:42 GMT", "", kDefaultRetryWait},
  };
  for (const Case& c : cases) {
    TThrottleAnswer a{429, c.url, c.body, c.retryAfter, c.resetAfter};
    EXPECT_EQ(RetryWait(a, now), c.wait)
        << c.url << " body=" << c.body << " Retry-After=" << c.retryAfter
        << " Reset-After=" << c.resetAfter;
  }
  EXPECT_TRUE(IsThrottled(TThrottleAnswer{429, kTelegram, "", "", ""}));
  EXPECT_TRUE(IsThrottled(TThrottleAnswer{503, kTelegram, "", "5", ""}));
  EXPECT_FALSE(IsThrottled(TThrottleAnswer{503, kTelegram, "", "", ""}));
  EXPECT_FALSE(IsThrottled(TThrottleAnswer{400, kTelegram, "", "5", ""}));
}

TEST(RetryWait, NumbersFromTheWireIgnoreTheLocale) {
  test::DecimalCommaLocale locale;
  VEL_REQUIRE_LOCALE(locale);
  EXPECT_EQ(ParseWireNumber("0.9"), 0.9);
  EXPECT_EQ(ParseWireNumber(" 2.5e1 "), 25.0);
  EXPECT_FALSE(ParseWireNumber("0,9").has_value());
  EXPECT_EQ(RetryWait(TThrottleAnswer{429, kTelegram, R"({"retry_after":0.9})", "", ""}), 900ms);
  EXPECT_EQ(RetryWait(TThrottleAnswer{429, kV10Hook, "", "", "1.25"}), 1250ms);
}

}  // namespace
}  // namespace vel
