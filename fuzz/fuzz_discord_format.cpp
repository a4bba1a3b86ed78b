// Discord splitting. A text within the limit goes out unchanged. A longer one becomes parts
// of at most `limit` UTF-16 units each (markup counted), none empty or showing only white
// space, and the reader sees the same title, plain text and code blocks, in the same order,
// as in the whole text (but for white space dropped with blank parts): a code
// block (or the title) cut in two is closed at the end of one part and reopened, with the
// same language word, at the start of the next; nothing else is added or lost. The only
// other change is cosmetic: an opening fence is always followed by its own line break.
// Plain text is Discord markup already and goes out as it is, so a plain line opening with
// "**" at the start of a later part is read as plain. The input is any bytes, made visible
// first (a NUL never cuts the text); blank means blank by the chats' rules; stranger text
// fenced with FenceSafe stays in its code block with every grave accent. The first input byte
// picks the limit.

#include <algorithm>

#include "ChatCheck.h"
#include "FuzzSupport.h"
#include "notify/MarkdownV2Check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t limit = data[0] < 240 ? 48 + data[0] : 2000;
  const std::string_view raw = vel::fuzz::AsText(data + 1, size - 1);
  const std::string visible = vel::chat::ChatVisibleText(raw);
  VEL_FUZZ_CHECK(vel::fuzz::VisibleTextIsWhole(raw, visible), "text not made whole and visible");
  const std::string_view text = visible;

  // Stranger text in a fenced block never leaves it, and keeps every grave accent.
  {
    const std::string framed = "**T**\r\n```\n" + vel::chat::FenceSafe(raw) + "```";
    const auto fenced = vel::chat::FormatDiscordParts(framed, limit);
    std::size_t accents = 0;
    for (std::size_t i = 0; i < fenced.size(); ++i) {
      VEL_FUZZ_CHECK(vel::test::Utf16Units(fenced[i]) <= limit, "fenced part over the limit");
      for (const auto& s : vel::fuzz::PartSegments(fenced[i], i == 0)) {
        VEL_FUZZ_CHECK(s.Kind != vel::chat::TChatSegment::ckPlain || vel::fuzz::IsBlankText(s.Text),
                       "stranger text left its code block");
        if (s.Kind == vel::chat::TChatSegment::ckCode)
          accents += static_cast<std::size_t>(std::count(s.Text.begin(), s.Text.end(), '`'));
      }
    }
    VEL_FUZZ_CHECK(accents == static_cast<std::size_t>(std::count(raw.begin(), raw.end(), '`')),
                   "a grave accent of the text is not shown");
  }

  const auto parts = vel::chat::FormatDiscordParts(text, limit);
  VEL_FUZZ_CHECK(!parts.empty(), "no part");
  for (const auto& part : parts) VEL_FUZZ_CHECK(!vel::fuzz::IsBlankText(part), "blank part");
  if (vel::fuzz::IsBlankText(text)) return 0;
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

  // What the reader sees of a list of parts, each checked for the limit and for blankness.
  auto read = [&](const std::vector<std::string>& list) {
    std::vector<vel::chat::TChatSegment> seen;
    bool titleOpen = false;
    for (std::size_t i = 0; i < list.size(); ++i) {
      VEL_FUZZ_CHECK(!list[i].empty(), "empty part");
      VEL_FUZZ_CHECK(vel::test::Utf16Units(list[i]) <= limit, "part over the limit");
      const bool title =
          i == 0 ? !expected.empty() && expected.front().Kind == vel::chat::TChatSegment::ckBold
                 : titleOpen;
      // Blank as read in context: a later part opening with "****" is plain text, not an
      // empty title.
      const auto segments = vel::fuzz::PartSegments(list[i], title);
      std::string shown;
      for (const auto& s : segments) shown += s.Text;
      VEL_FUZZ_CHECK(!vel::fuzz::IsBlankText(shown), "blank part");
      for (const auto& s : segments) vel::fuzz::AppendJoined(seen, s);
      titleOpen = !segments.empty() && segments.back().Kind == vel::chat::TChatSegment::ckBold;
    }
    return seen;
  };
  VEL_FUZZ_CHECK(vel::fuzz::SameSegmentsUpToWhiteSpace(read(parts), expected),
                 "parts show another text");

  // Bounded to a few parts (from a limit that leaves room for the note): a text within the
  // bound is not changed; a longer one keeps the count, and its last part says what was left
  // out unless (blank parts dropped) everything fitted.
  if (limit < 128) return 0;
  const std::size_t maxParts = 1 + size % 4;
  const auto bounded = vel::chat::FormatDiscordParts(text, limit, maxParts);
  if (parts.size() <= maxParts) {
    VEL_FUZZ_CHECK(bounded == parts, "a text within the bound was changed");
    return 0;
  }
  VEL_FUZZ_CHECK(bounded.size() <= maxParts, "too many parts");
  const std::string_view note = " more characters left out]";
  const std::string& last = bounded.back();
  const bool noted = last.size() >= note.size() && last.substr(last.size() - note.size()) == note;
  const auto seen = read(bounded);
  VEL_FUZZ_CHECK(noted || vel::fuzz::SameSegmentsUpToWhiteSpace(seen, expected),
                 "text cut without a note of what was left out");
  return 0;
}
