// A sample monitored application: it sends one status report to the monitor service, then
// meets two errors and writes an exception log for each. The second error is of a class that
// the demo's service configuration ignores (IgnoreExceptions), so only the first is alerted.
//
//   demo-app --name Shop --log-folder DIR [--status-channel ID]

#include <clocale>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "exceptionlog/ExceptionLogger.h"
#include "mailslot/ServerMonitorClient.h"

namespace demo {

struct OrderError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct IgnoredError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void SaveOrder(int id) {
  throw OrderError("Order " + std::to_string(id) +
                   " could not be saved: the connection to the database was lost");
}

[[noreturn]] void ValidateCoupon(const std::string& code) {
  throw IgnoredError("Coupon \"" + code + "\" has expired");
}

}  // namespace demo

namespace {

int Usage() {
  std::fprintf(stderr, "usage: demo-app --name NAME --log-folder DIR [--status-channel ID]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::string name, folder, channel = vel::kServerMonitorMailslotId;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (arg == "--name")
      name = argv[++i];
    else if (arg == "--log-folder")
      folder = argv[++i];
    else if (arg == "--status-channel")
      channel = argv[++i];
    else
      return Usage();
  }
  if (name.empty() || folder.empty()) return Usage();

  // Figures a web application would keep while it serves requests.
  vel::TVelServerMonitorHostInfo host(name);
  host.SetSessionCount(12);
  host.AddRequests(123456);
  host.AddBytesSent(48ll * 1024 * 1024);
  host.AddStatus400(3);
  host.AddStatus500(1);
  {
    // Interval 0: no periodic thread, the one report below is sent by hand.
    vel::TVelServerMonitorClient client(host, 0, channel);
    client.SendStatusReport();
    std::printf("demo-app: status report sent as %s\n", name.c_str());
  }

  vel::TVelExceptionLogger logger;
  logger.SetEnabled(true);
  logger.SetFilePath(folder);
  logger.SetFileName(name);
  logger.SetAppVersion("1.4.2");  // the application's own version, for "Application Version"

  try {
    demo::SaveOrder(1042);
  } catch (const std::exception& e) {
    bool written = logger.LogException(e);
    std::printf("demo-app: %s -> exception log %s\n", e.what(), written ? "written" : "FAILED");
    if (!written) return 1;
  }
  try {
    demo::ValidateCoupon("WINTER25");
  } catch (const std::exception& e) {
    bool written = logger.LogException(e);
    std::printf("demo-app: %s -> exception log %s\n", e.what(), written ? "written" : "FAILED");
    if (!written) return 1;
  }
  return 0;
}
