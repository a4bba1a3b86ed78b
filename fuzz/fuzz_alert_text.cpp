// The alert step's text shaping on arbitrary exception-log contents: the values it reads
// (class, message, address), the full and short forms, and the fenced short form as the chat
// channels receive it, through to their message parts.

#include "FuzzSupport.h"
#include "common/Exception.h"
#include "common/FileStream.h"
#include "monitor/MonitorController.h"
#include "notify/ChatFormat.h"

using vel::TVelMonitorController;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(vel::fuzz::AsText(data, size));

  for (const char* key : {"Exception class", "Exception message", "Exception address", ""}) {
    const std::string value = TVelMonitorController::ExtractLogValue(input, key);
    VEL_FUZZ_CHECK(value.find_first_of("\r\n") == std::string::npos, "value spans lines");
    if (!value.empty()) {
      VEL_FUZZ_CHECK(static_cast<unsigned char>(value.front()) > 32 &&
                         static_cast<unsigned char>(value.back()) > 32,
                     "value not trimmed");
      VEL_FUZZ_CHECK(input.find(value) != std::string::npos, "value not taken from the text");
    }
  }

  const auto texts = TVelMonitorController::ShapeAlertTexts(input, true);
  VEL_FUZZ_CHECK(texts.Full.size() <= input.size(), "full form grew");
  VEL_FUZZ_CHECK(texts.Short.size() <= texts.Full.size(), "short form longer than the full form");
  VEL_FUZZ_CHECK(texts.ChatShort == "```" + texts.Short + "```", "short form not fenced");
  const auto fullOnly = TVelMonitorController::ShapeAlertTexts(input, false);
  VEL_FUZZ_CHECK(fullOnly.Full == texts.Full && fullOnly.Short.empty(), "short form changes full");

  // The file is read with the strict decode: only well-formed text reaches the senders.
  try {
    (void)vel::DecodeUtf8Text(input);
  } catch (const vel::Exception&) {
    return 0;
  }
  const std::string framed = "**App**\r\n" + texts.ChatShort;
  for (const auto& part : vel::chat::FormatTelegramParts(framed, 200))
    VEL_FUZZ_CHECK(!part.empty(), "empty Telegram part");
  for (const auto& part : vel::chat::FormatDiscordParts("**App**\r\n" + texts.Full, 200))
    VEL_FUZZ_CHECK(vel::chat::ChatLength(part) <= 200, "Discord part over the limit");
  return 0;
}
