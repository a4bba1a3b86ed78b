#include "notify/RetryWait.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "http/HttpClientBase.h"
#include "http/WireNumber.h"
#include "notify/ChatFormat.h"

namespace vel {

namespace {

using std::chrono::milliseconds;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A count of units as a wait; nothing for a negative value or one that is not a number.
std::optional<milliseconds> ToWait(double count, TWaitUnit unit) {
  if (!(count >= 0)) return std::nullopt;  // negative or NaN
  const double ms = unit == TWaitUnit::wuSeconds ? count * 1000.0 : count;
  if (!(ms < static_cast<double>(kLongestRetryWait.count()))) return kLongestRetryWait;
  return milliseconds(static_cast<long long>(std::ceil(ms)));
}

std::optional<milliseconds> NumberWait(std::string_view text, TWaitUnit unit) {
  auto value = ParseWireNumber(text);
  return value ? ToWait(*value, unit) : std::nullopt;
}

// Two digits at text[at], or -1.
int TwoDigits(std::string_view text, std::size_t at) {
  auto v = ParseWireInteger(text.substr(at, 2));
  return v && text[at] >= '0' && text[at] <= '9' ? static_cast<int>(*v) : -1;
}

}  // namespace

TWaitUnit RetryAfterUnit(std::string_view url) {
  const std::size_t hooks = url.find("/webhooks/");
  if (hooks == std::string_view::npos) return TWaitUnit::wuSeconds;
  // The path segment before "webhooks": "v10" in ".../api/v10/webhooks/...".
  const std::string_view before = url.substr(0, hooks);
  const std::string_view segment = before.substr(before.rfind('/') + 1);
  if (segment.size() < 2 || (segment[0] != 'v' && segment[0] != 'V'))
    return TWaitUnit::wuMilliseconds;
  auto version = ParseWireInteger(segment.substr(1));
  if (!version) return TWaitUnit::wuMilliseconds;
  return *version >= 8 ? TWaitUnit::wuSeconds : TWaitUnit::wuMilliseconds;
}

bool IsThrottled(const TThrottleAnswer& answer) {
  return answer.Status == 429 || (answer.Status == 503 && !Trim(answer.RetryAfter).empty());
}

std::optional<std::chrono::sys_seconds> ParseHttpDate(std::string_view text) {
  // "Sun, 06 Nov 1994 08:49:37 GMT": 29 characters at fixed places.
  text = Trim(text);
  if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT")
    return std::nullopt;
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  unsigned month = 0;
  for (unsigned i = 0; i < kMonths.size(); ++i)
    if (text.substr(8, 3) == kMonths[i]) month = i + 1;
  auto year = ParseWireInteger(text.substr(12, 4));
  const int day = TwoDigits(text, 5), hour = TwoDigits(text, 17), minute = TwoDigits(text, 20),
            second = TwoDigits(text, 23);
  if (!month || !year || *year < 1900 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 60)
    return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(*year)),
                                         std::chrono::month(month),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days(date) + std::chrono::hours(hour) + std::chrono::minutes(minute) +
         std::chrono::seconds(second);
}

milliseconds RetryWait(const TThrottleAnswer& answer, std::chrono::system_clock::time_point now) {
  if (auto wait = NumberWait(Trim(answer.ResetAfter), TWaitUnit::wuSeconds)) return *wait;
  const TWaitUnit unit = RetryAfterUnit(answer.Url);
  if (auto count = chat::JsonNumberMember(answer.Body, "retry_after"))
    if (auto wait = ToWait(*count, unit)) return *wait;
  const std::string_view header = Trim(answer.RetryAfter);
  if (auto wait = NumberWait(header, unit)) return *wait;
  if (auto date = ParseHttpDate(header)) {
    // Counted in milliseconds, which reach far beyond any date (the clock's own ticks may not).
    const auto from = std::chrono::time_point_cast<milliseconds>(now);
    const std::chrono::sys_time<milliseconds> until = *date;
    if (until <= from) return milliseconds(0);
    return std::min(until - from, kLongestRetryWait);
  }
  return kDefaultRetryWait;
}

namespace {

struct TClientAnswer {
  std::string body, retryAfter, resetAfter;
  TThrottleAnswer answer;
  explicit TClientAnswer(TVelHTTPClientBase& client)
      : body(client.DataBytes()),
        retryAfter(client.ResponseHeader("Retry-After")),
        resetAfter(client.ResponseHeader("X-RateLimit-Reset-After")),
        answer{client.ResponseCode(), client.URL(), body, retryAfter, resetAfter} {}
};

}  // namespace

bool IsThrottled(TVelHTTPClientBase& client) {
  return IsThrottled(TClientAnswer(client).answer);
}

milliseconds RetryWait(TVelHTTPClientBase& client) {
  return RetryWait(TClientAnswer(client).answer);
}

}  // namespace vel
