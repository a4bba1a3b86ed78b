// The alert step's text reading on arbitrary exception-log bytes: the decoding (UTF-8, marks,
// else the ANSI code page) always gives well-formed text; the class read by the report's
// structure is one trimmed line of the text, taken before the application block; the full and
// short forms and the fenced short form as the chat channels receive it, through to their
// message parts.

#include "FuzzSupport.h"
#include "common/TextDecoding.h"
#include "monitor/MonitorController.h"
#include "monitor/ReportHeader.h"
#include "notify/ChatFormat.h"

using vel::TVelMonitorController;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = vel::DecodeExternalText(vel::fuzz::AsText(data, size)).Text;
  VEL_FUZZ_CHECK(vel::fuzz::WellFormedUtf8(input), "decoded text is not well-formed");

  const std::string cls = vel::ReportExceptionClass(input);
  const std::size_t app = vel::ApplicationBlockStart(input);
  VEL_FUZZ_CHECK(
      app == std::string::npos ||
          (app < input.size() && (app == 0 || input[app - 1] == '\n' || input[app - 1] == '\r')),
      "application block not at a line start");
  VEL_FUZZ_CHECK(cls.find_first_of("\r\n") == std::string::npos, "class spans lines");
  if (!cls.empty()) {
    VEL_FUZZ_CHECK(
        static_cast<unsigned char>(cls.front()) > 32 && static_cast<unsigned char>(cls.back()) > 32,
        "class not trimmed");
    const std::size_t at = input.find(cls);
    VEL_FUZZ_CHECK(at != std::string::npos && (app == std::string::npos || at < app),
                   "class not taken from before the application block");
  }

  const auto texts = TVelMonitorController::ShapeAlertTexts(input, true);
  VEL_FUZZ_CHECK(texts.Full.size() <= input.size(), "full form grew");
  VEL_FUZZ_CHECK(texts.Short.size() <= texts.Full.size(), "short form longer than the full form");
  VEL_FUZZ_CHECK(texts.ChatShort == "```\n" + vel::chat::FenceSafe(texts.Short) + "```",
                 "short form not fenced");
  const auto fullOnly = TVelMonitorController::ShapeAlertTexts(input, false);
  VEL_FUZZ_CHECK(fullOnly.Full == texts.Full && fullOnly.Short.empty(), "short form changes full");

  const std::string framed = "**App**\r\n" + texts.ChatShort;
  for (const auto& part : vel::chat::FormatTelegramParts(framed, 200))
    VEL_FUZZ_CHECK(!part.empty(), "empty Telegram part");
  for (const auto& part : vel::chat::FormatDiscordParts("**App**\r\n" + texts.ChatFull, 200))
    VEL_FUZZ_CHECK(vel::chat::ChatLength(part) <= 200, "Discord part over the limit");
  return 0;
}
