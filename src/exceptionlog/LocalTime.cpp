#include "exceptionlog/ExceptionLogPlatform.h"

namespace vel::exceptionlog_detail {

LocalTime ToLocalTime(TClock::time_point t) {
  LocalTime result;
  result.tm = LocalCalendarTime(TClock::to_time_t(t));
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  result.millisecond = static_cast<int>(ms);
  return result;
}

}  // namespace vel::exceptionlog_detail
