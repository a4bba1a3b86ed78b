// Discord splitting. A text within the limit goes out unchanged. A longer one becomes parts
// of at most `limit` UTF-16 units each (markup counted), none empty or showing only white
// space, and the reader sees the same title, plain text and code blocks, in the same order,
// as in the whole text (but for white space dropped with blank parts): a code
// block (or the title) cut in two is closed at the end of one part and reopened, with the
// same language word, at the start of the next; nothing else is added or lost. The only
// other change is cosmetic: an opening fence is always followed by its own line break.
// Plain text is Discord markup already and goes out as it is, so a plain line opening with
// "**" at the start of a later part is read as plain. The first input byte picks the limit.

#include "ChatCheck.h"
#include "FuzzSupport.h"
#include "notify/MarkdownV2Check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t limit = data[0] < 240 ? 48 + data[0] : 2000;
  const std::string_view text = vel::fuzz::AsText(data + 1, size - 1);
  if (!vel::fuzz::WellFormedUtf8(text)) return 0;  // senders get strictly decoded text

  const auto parts = vel::chat::FormatDiscordParts(text, limit);
  VEL_FUZZ_CHECK(!parts.empty(), "no part");
  if (vel::test::Utf16Units(text) <= limit) {
    VEL_FUZZ_CHECK(parts.size() == 1 && parts[0] == text, "short text changed");
    return 0;
  }
  // An unclosed block at the end whose code ends in a grave accent cannot be closed in
  // Discord's markup (no escapes there): the accents would join the closing fence. Its parts
  // are checked for the limit only.
  const auto expected = vel::fuzz::Joined(vel::chat::ParseFramedText(text));
  for (const auto& s : expected)
    if (s.Kind == vel::chat::TChatSegment::ckCode && s.Text.back() == '`') return 0;

  std::vector<vel::chat::TChatSegment> seen;
  bool titleOpen = false;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    VEL_FUZZ_CHECK(!parts[i].empty(), "empty part");
    std::string shown;
    for (const auto& s : vel::fuzz::PartSegments(parts[i], true)) shown += s.Text;
    VEL_FUZZ_CHECK(!vel::fuzz::IsBlankText(shown), "blank part");
    VEL_FUZZ_CHECK(vel::test::Utf16Units(parts[i]) <= limit, "part over the limit");
    const bool title =
        i == 0 ? !expected.empty() && expected.front().Kind == vel::chat::TChatSegment::ckBold
               : titleOpen;
    const auto segments = vel::fuzz::PartSegments(parts[i], title);
    for (const auto& s : segments) vel::fuzz::AppendJoined(seen, s);
    titleOpen = !segments.empty() && segments.back().Kind == vel::chat::TChatSegment::ckBold;
  }
  VEL_FUZZ_CHECK(vel::fuzz::SameSegmentsUpToWhiteSpace(seen, expected), "parts show another text");

  // Bounded to a few parts: within the count and the limit, with a note when text was cut
  // (from a limit that leaves room for it).
  if (limit < 128) return 0;
  const std::size_t maxParts = 1 + size % 4;
  const auto bounded = vel::chat::FormatDiscordParts(text, limit, maxParts);
  VEL_FUZZ_CHECK(bounded.size() <= maxParts, "too many parts");
  for (const auto& part : bounded)
    VEL_FUZZ_CHECK(vel::test::Utf16Units(part) <= limit, "bounded part over the limit");
  VEL_FUZZ_CHECK((parts.size() > maxParts) ==
                     (bounded.back().find(" more characters left out]") != std::string::npos),
                 "note of what was left out missing or misplaced");
  return 0;
}
