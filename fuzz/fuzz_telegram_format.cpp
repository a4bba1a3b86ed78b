// Telegram MarkdownV2 escaping and splitting: every part is valid MarkdownV2 on its own
// (read by an independent reader), shows at most `limit` characters, and the parts' shown
// texts joined are the text of the input as the reader sees it (title without its
// asterisks, code without its fences). The first input byte picks the limit.

#include "FuzzSupport.h"
#include "notify/ChatFormat.h"
#include "notify/MarkdownV2Check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t limit = data[0] < 240 ? 2 + data[0] : 4096;
  const std::string_view text = vel::fuzz::AsText(data + 1, size - 1);
  if (!vel::fuzz::WellFormedUtf8(text)) return 0;  // senders get strictly decoded text

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
    VEL_FUZZ_CHECK(parts.size() == 1 || !read.visible.empty(), "empty part among several");
    shown += read.visible;
  }
  VEL_FUZZ_CHECK(shown == expected, "parts show another text");

  // The escapes alone: reading them back gives the text.
  const auto plain = vel::test::ReadMarkdownV2(vel::chat::EscapeMarkdownV2(text));
  VEL_FUZZ_CHECK(plain.valid && plain.visible == text, "escaped plain text reads differently");
  return 0;
}
