// A status report as it comes off the status channel: arbitrary UTF-16LE bytes, decoded the
// way the relay decodes them, parsed as name=value pairs and turned into a report by the
// controller. The controller has every channel disabled (nothing is sent) and a channel name
// of its own; the report it hands on is checked through OnMessage.

#include <algorithm>
#include <cctype>
#include <memory>

#include "FuzzSupport.h"
#include "applog/AppLog.h"
#include "common/StrLists.h"
#include "common/Utf.h"
#include "monitor/MonitorController.h"

namespace {

vel::TVelMonitorController& Controller() {
  static std::unique_ptr<vel::TVelMonitorController> controller = [] {
    vel::SetEventLogSink([](const std::string&) {});
    vel::SetLogFolder(vel::fuzz::ScratchDir().string() + "/");
    vel::TVelMonitorOptions options;
    options.ConfigFile = (vel::fuzz::ScratchDir() / "absent.ini").string();
    options.MailslotId = "velfuzz_status_" + std::to_string(::getpid());
    return std::make_unique<vel::TVelMonitorController>(options);
  }();
  return *controller;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string msg = vel::Utf16LEBytesToUtf8(vel::fuzz::AsText(data, size));
  VEL_FUZZ_CHECK(vel::fuzz::WellFormedUtf8(msg), "decoded message is not well-formed");

  vel::TVelNameValueList list;
  list.SetDelimitedText(msg, '|');
  for (int i = 0; i < list.Count(); ++i) {
    const std::string name = list.GetName(i);
    VEL_FUZZ_CHECK(!name.empty(), "a pair without a name was kept");
    VEL_FUZZ_CHECK(list.IndexOfName(name) >= 0, "a listed name is not found");
  }
  // What the list writes, it reads back the same. Left out: text with a NUL (it ends a
  // quoted item) and lists holding a name without value that keeps its surrounding blanks
  // (kept as given when read, trimmed when read back with its separator).
  bool blankEdged = false;
  for (int i = 0; i < list.Count(); ++i) {
    const std::string name = list.GetName(i);
    blankEdged = blankEdged || static_cast<unsigned char>(name.front()) <= 32 ||
                 static_cast<unsigned char>(name.back()) <= 32;
  }
  if (msg.find('\0') == std::string::npos && !blankEdged) {
    vel::TVelNameValueList again;
    again.SetDelimitedText(list.GetDelimitedText("|"), '|');
    VEL_FUZZ_CHECK(again.GetDelimitedText("|") == list.GetDelimitedText("|"),
                   "delimited text does not survive a round trip");
  }

  vel::TVelMonitorController& controller = Controller();
  bool handedOn = false;
  controller.SetOnMessage([&](const std::string& m) {
    handedOn = true;
    VEL_FUZZ_CHECK(m == msg, "the message handed on differs");
  });
  controller.ProcessStatusMessage(msg);
  // The relay reads items by its own quoting rules (blanks before a quote skipped, an open
  // quote ending at the next bar), so only the plain cases are compared with the list.
  std::string lower = msg;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (handedOn)
    VEL_FUZZ_CHECK(lower.find("appname") != std::string::npos,
                   "a report without an application name was handed on");
  if (msg.find('"') == std::string::npos && msg.find('\0') == std::string::npos)
    VEL_FUZZ_CHECK(handedOn == !list.GetValue("AppName").empty(),
                   "a report with an application name was not handed on (or one without was)");
  return 0;
}
