// An application that links velclient.dll and leaves the writer at its defaults: the reports
// must name this program, not the DLL. Prints what the library says about the application,
// then logs one error.
#include <cstdio>
#include <stdexcept>

#include "applog/AppLog.h"
#include "common/AppInfo.h"
#include "exceptionlog/ExceptionLogger.h"

int main() {
  vel::TVelExceptionLogger logger;
  logger.SetEnabled(true);
  std::printf("app=%s\n", vel::TVelAppInfo::GetAppFullFileName().c_str());
  std::printf("source=%s\n", vel::ApplicationName().c_str());
  std::printf("folder=%s\n", logger.LogFolder().c_str());
  try {
    throw std::runtime_error("Order 1042 could not be saved");
  } catch (const std::exception& e) {
    return logger.LogException(e) ? 0 : 1;
  }
}
