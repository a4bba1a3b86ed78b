#pragma once

// How long a service asks its client to wait before sending again ("429 Too Many Requests",
// or "503" with Retry-After). One reader for every channel and every caller, so that the
// units, the clamping and the locale-independent parsing are decided in one place.
//
//   if (IsThrottled(client)) pause(RetryWait(client));   // after a request of a client
//
// or, with the parts of an answer at hand:
//
//   TThrottleAnswer a{429, url, body, retryAfterHeader, resetAfterHeader};
//   std::chrono::milliseconds wait = RetryWait(a);

#include <chrono>
#include <optional>
#include <string_view>

namespace vel {

class TVelHTTPClientBase;

// The parts of an answer that tell the wait. Views: the texts must outlive the call.
struct TThrottleAnswer {
  int Status = 0;
  std::string_view Url;         // the request URL: it decides the units (RetryAfterUnit)
  std::string_view Body;        // the answer body; a JSON member "retry_after" is read
  std::string_view RetryAfter;  // the Retry-After header ("" when absent)
  std::string_view ResetAfter;  // the X-RateLimit-Reset-After header ("" when absent)
};

// The wait when an answer names none, or names one that cannot be used (negative, not a
// number).
inline constexpr std::chrono::milliseconds kDefaultRetryWait{1000};
// The longest wait RetryWait returns: a larger, infinite or far-future value is cut to it.
inline constexpr std::chrono::milliseconds kLongestRetryWait{std::chrono::hours(1)};

enum class TWaitUnit { wuSeconds, wuMilliseconds };

// The unit of "retry_after" in the body and of a numeric Retry-After header for a request
// URL. A webhook URL without an API version ("/api/webhooks/...", "/webhooks/...") or with
// one below v8 uses the old API, which counts in milliseconds; versioned URLs from v8 on,
// and every other URL, count in seconds. X-RateLimit-Reset-After is always in seconds.
TWaitUnit RetryAfterUnit(std::string_view url);

// True for an answer that asks the client to slow down: 429, or 503 with a Retry-After.
bool IsThrottled(const TThrottleAnswer& answer);

// The wait the answer asks for, from the first source that holds a usable value:
// X-RateLimit-Reset-After (seconds, with fractions), "retry_after" in the body, Retry-After
// (a number, or an HTTP date counted from now); else kDefaultRetryWait. Fractions round up
// to the next millisecond. Always between 0 and kLongestRetryWait.
std::chrono::milliseconds RetryWait(
    const TThrottleAnswer& answer,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// The same for the last answer of a client (status, URL, headers and body it holds).
bool IsThrottled(TVelHTTPClientBase& client);
std::chrono::milliseconds RetryWait(TVelHTTPClientBase& client);

// An HTTP date in its preferred form ("Sun, 06 Nov 1994 08:49:37 GMT"); nothing for any
// other text.
std::optional<std::chrono::sys_seconds> ParseHttpDate(std::string_view text);

}  // namespace vel
