// Telegram MarkdownV2 escaping and splitting: every part is valid MarkdownV2 on its own
// (read by an independent reader), shows at most `limit` characters, no part shows only
// white space (Telegram refuses it as an empty message), and the parts' shown texts joined
// are the text of the input as the reader sees it (title without its asterisks, code without
// its fences), but for white space dropped with blank parts. Bounded to a few parts, the
// parts keep those properties and the last says what was left out. The input is any bytes:
// control characters show (a NUL never cuts the text), blank means blank by Telegram's rules
// (its invisible spaces too), and stranger text fenced with FenceSafe shows every grave
// accent and never leaves its code block. The first input byte picks the limit.

#include <algorithm>

#include "ChatCheck.h"
#include "FuzzSupport.h"
#include "notify/ChatFormat.h"
#include "notify/MarkdownV2Check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t limit = data[0] < 240 ? 2 + data[0] : 4096;
  const std::string_view raw = vel::fuzz::AsText(data + 1, size - 1);
  const std::string visible = vel::chat::ChatVisibleText(raw);
  VEL_FUZZ_CHECK(vel::fuzz::VisibleTextIsWhole(raw, visible), "text not made whole and visible");
  const std::string_view text = visible;

  // Stranger text in a fenced block: valid parts, every accent shown, nothing outside code
  // but the title.
  {
    const std::string framed = "**T**\r\n```\n" + vel::chat::FenceSafe(raw) + "```";
    std::string shown;
    for (const auto& part : vel::chat::FormatTelegramParts(framed, limit)) {
      const auto read = vel::test::ReadMarkdownV2(part);
      VEL_FUZZ_CHECK(read.valid, "fenced part is not valid MarkdownV2");
      VEL_FUZZ_CHECK(!vel::fuzz::IsBlankText(read.visible), "blank fenced part");
      shown += read.visible;
    }
    VEL_FUZZ_CHECK(
        vel::fuzz::IsBlankText(visible) || vel::fuzz::OnlyWhiteSpaceDropped(shown, "T" + visible),
        "fenced text shows another text");
    VEL_FUZZ_CHECK(
        std::count(shown.begin(), shown.end(), '`') == std::count(raw.begin(), raw.end(), '`'),
        "a grave accent of the text is not shown");
  }

  std::string expected;
  for (const auto& s : vel::chat::ParseFramedText(text)) expected += s.Text;

  const auto parts = vel::chat::FormatTelegramParts(text, limit);
  VEL_FUZZ_CHECK(!parts.empty(), "no part");
  std::string shown;
  for (const auto& part : parts) {
    const auto read = vel::test::ReadMarkdownV2(part);
    if (!read.valid) std::fprintf(stderr, "%s\n", read.error.c_str());
    VEL_FUZZ_CHECK(read.valid, "part is not valid MarkdownV2");
    VEL_FUZZ_CHECK(vel::test::Utf16Units(read.visible) <= limit, "part shows too much");
    VEL_FUZZ_CHECK(!vel::fuzz::IsBlankText(read.visible), "blank part");
    shown += read.visible;
  }
  VEL_FUZZ_CHECK(
      vel::fuzz::IsBlankText(expected) || vel::fuzz::OnlyWhiteSpaceDropped(shown, expected),
      "parts show another text");

  // Bounded: at most maxParts parts, the same properties, and a note when text was left out.
  if (limit >= 128) {
    const std::size_t maxParts = 1 + size % 4;
    const auto bounded = vel::chat::FormatTelegramParts(text, limit, maxParts);
    if (parts.size() <= maxParts) {
      VEL_FUZZ_CHECK(bounded == parts, "a text within the bound was changed");
    } else {
      VEL_FUZZ_CHECK(bounded.size() <= maxParts, "too many parts");
      std::string all, last;
      for (const auto& part : bounded) {
        const auto read = vel::test::ReadMarkdownV2(part);
        VEL_FUZZ_CHECK(read.valid, "bounded part is not valid MarkdownV2");
        VEL_FUZZ_CHECK(vel::test::Utf16Units(read.visible) <= limit, "bounded part shows too much");
        VEL_FUZZ_CHECK(!vel::fuzz::IsBlankText(read.visible), "blank bounded part");
        all += read.visible;
        last = read.visible;
      }
      // Either the last part says what was left out, or (blank parts dropped) all fitted.
      const std::string_view note = " more characters left out]";
      const bool noted =
          last.size() >= note.size() && last.substr(last.size() - note.size()) == note;
      VEL_FUZZ_CHECK(noted || vel::fuzz::OnlyWhiteSpaceDropped(all, expected),
                     "text cut without a note of what was left out");
    }
  }

  // The escapes alone: reading them back gives the text.
  const auto plain = vel::test::ReadMarkdownV2(vel::chat::EscapeMarkdownV2(text));
  VEL_FUZZ_CHECK(plain.valid && plain.visible == text, "escaped plain text reads differently");
  return 0;
}
