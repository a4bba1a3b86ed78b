// Formatting of the framed alert text for the chat channels: MarkdownV2 for Telegram,
// content parts for Discord, and the readers of the APIs' error answers.

#include <gtest/gtest.h>

#include "MarkdownV2Check.h"
#include "SampleLog.h"
#include "notify/ChatFormat.h"

namespace vel::chat {
namespace {

using test::ReadMarkdownV2;
using test::Utf16Units;

TEST(ChatFormat, FramedTextIsReadAsTitlePlainAndCode) {
  auto s = ParseFramedText("**Shop**\r\nbefore\r\n```\r\nline 1\r\nline 2\r\n```\r\nafter");
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].Kind, TChatSegment::ckBold);
  EXPECT_EQ(s[0].Text, "Shop");
  EXPECT_EQ(s[1].Kind, TChatSegment::ckPlain);
  EXPECT_EQ(s[1].Text, "\r\nbefore\r\n");
  EXPECT_EQ(s[2].Kind, TChatSegment::ckCode);
  EXPECT_EQ(s[2].Text, "line 1\r\nline 2\r\n");  // the fence's own line break is not content
  EXPECT_EQ(s[3].Text, "\r\nafter");

  s = ParseFramedText("```cpp\nint x;\n```");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].Lang, "cpp");
  EXPECT_EQ(s[0].Text, "int x;\n");

  s = ParseFramedText("no title ```inline code``` and ```open to the end");
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[1].Text, "inline code");
  EXPECT_EQ(s[3].Kind, TChatSegment::ckCode);
  EXPECT_EQ(s[3].Text, "open to the end");

  s = ParseFramedText("**not a title** because more follows\nx");
  EXPECT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].Kind, TChatSegment::ckPlain);
}

TEST(ChatFormat, EveryReservedCharacterIsEscapedOutsideCodeAndOnlyTwoInside) {
  const std::string reserved = "_*[]()~`>#+-=|{}.!\\";
  std::string expected;
  for (char c : reserved) expected += std::string("\\") + c;
  EXPECT_EQ(EscapeMarkdownV2(reserved + "abc \xC3\xA9\r\n"), expected + "abc \xC3\xA9\r\n");
  EXPECT_EQ(EscapeMarkdownV2Code(reserved), "_*[]()~\\`>#+-=|{}.!\\\\");

  auto parts =
      FormatTelegramParts("**A.B (x)**\r\n" + reserved + "\r\n```\r\n" + reserved + "\r\n```");
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0],
            "*A\\.B \\(x\\)*\r\n" + expected + "\r\n```\n_*[]()~\\`>#+-=|{}.!\\\\\r\n```");
  auto read = ReadMarkdownV2(parts[0]);
  EXPECT_TRUE(read.valid) << read.error;
  EXPECT_EQ(read.visible, "A.B (x)\r\n" + reserved + "\r\n" + reserved + "\r\n");
}

TEST(ChatFormat, TelegramPartsStayValidAndWithinTheLimit) {
  const std::string log = test::SampleExceptionLog(6000);
  const std::string text = "**Shop**\r\n```\r\n" + log + "\r\n```";
  auto parts = FormatTelegramParts(text);
  ASSERT_GE(parts.size(), 2u);
  std::string visible;
  for (const auto& p : parts) {
    auto read = ReadMarkdownV2(p);
    ASSERT_TRUE(read.valid) << read.error << "\n" << p.substr(0, 200);
    EXPECT_LE(Utf16Units(read.visible), 4096u);
    EXPECT_EQ(p.rfind("```", 0) == 0 || p.rfind("*Shop*", 0) == 0, true);
    visible += read.visible;
  }
  EXPECT_EQ(visible, "Shop\r\n" + log + "\r\n");  // nothing lost, nothing doubled, in order

  // A small limit makes the cut points visible: lines are kept whole where possible and a
  // cut block is closed and reopened.
  parts = FormatTelegramParts("**T**\r\n```\naaaa\nbbbb\ncccc\n```\ntail.", 12);
  std::string joined;
  for (const auto& p : parts) {
    auto read = ReadMarkdownV2(p);
    ASSERT_TRUE(read.valid) << read.error << " in " << p;
    EXPECT_LE(Utf16Units(read.visible), 12u) << p;
    joined += read.visible;
  }
  EXPECT_EQ(joined, "T\r\naaaa\nbbbb\ncccc\n\ntail.");
  EXPECT_EQ(parts[0], "*T*\r\n```\naaaa\n```");
}

TEST(ChatFormat, LengthIsCountedInUtf16UnitsAndCharactersAreNeverCut) {
  EXPECT_EQ(ChatLength("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 5u);  // a é € and an emoji
  std::string emojis;
  for (int i = 0; i < 10; ++i) emojis += "\xF0\x9F\x98\x80";  // 20 units, no line breaks
  auto parts = FormatTelegramParts(emojis, 5);
  ASSERT_EQ(parts.size(), 5u);  // two emojis (4 units) per part
  for (const auto& p : parts) EXPECT_EQ(p, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
  EXPECT_EQ(FormatTelegramParts("").size(), 1u);
}

TEST(ChatFormat, DiscordPartsCountTheirMarkupAndKeepFencesBalanced) {
  const std::string shortText = "**Shop**\r\n```\r\nsmall *log* @everyone\r\n```";
  EXPECT_EQ(FormatDiscordParts(shortText), std::vector<std::string>{shortText});

  const std::string log = test::SampleExceptionLog(6000);
  auto parts = FormatDiscordParts("**Shop**\r\n```\r\n" + log + "\r\n```");
  ASSERT_GE(parts.size(), 4u);
  std::string inside;
  for (const auto& p : parts) {
    EXPECT_LE(ChatLength(p), 2000u);
    std::size_t fences = 0;
    for (std::size_t at = p.find("```"); at != std::string::npos; at = p.find("```", at + 3))
      ++fences;
    EXPECT_EQ(fences % 2, 0u) << p.substr(0, 100);
    auto segments = ParseFramedText(p);
    for (const auto& s : segments)
      if (s.Kind == TChatSegment::ckCode) inside += s.Text;
  }
  EXPECT_EQ(parts[0].rfind("**Shop**\r\n```\n", 0), 0u);
  EXPECT_EQ(inside, log + "\r\n");
}

// Inputs found by fuzzing the splitters.
TEST(ChatFormat, PartsStayWithinTheLimitAtEveryCut) {
  // Blank text that fills a part exactly, then a code block: the block starts a new part
  // instead of adding one character beyond the limit.
  for (const auto& part : FormatTelegramParts(std::string("\n\n```/\0\0\x01\x01", 9), 2)) {
    const auto read = ReadMarkdownV2(part);
    EXPECT_TRUE(read.valid) << read.error;
    EXPECT_LE(Utf16Units(read.visible), 2u) << part;
  }
  for (const auto& part : FormatDiscordParts("\r```\r\r`\x05\r\x06", 8))
    EXPECT_LE(ChatLength(part), 8u) << part;

  // A "language word" longer than a part is code, so its parts fit as well.
  const std::string word(2100, 'x');
  const auto parts = FormatDiscordParts("```" + word + "\nbody```");
  std::string code;
  for (const auto& part : parts) {
    EXPECT_LE(ChatLength(part), 2000u);
    for (const auto& s : ParseFramedText(part))
      if (s.Kind == TChatSegment::ckCode) code += s.Text;
  }
  EXPECT_EQ(code, word + "\nbody");

  // A code block cut just after a grave accent would let the accent join the closing fence
  // on Discord; the cut moves before the accents.
  const std::string line = std::string(60, 'a') + "``" + std::string(60, 'b');
  std::string shown;
  for (const auto& part : FormatDiscordParts("```\n" + line + "```", 70)) {
    EXPECT_LE(ChatLength(part), 70u);
    for (const auto& s : ParseFramedText(part)) {
      EXPECT_EQ(s.Kind, TChatSegment::ckCode) << part;
      shown += s.Text;
    }
  }
  EXPECT_EQ(shown, line);
}

// What a reader sees of the parts: the MarkdownV2 text for Telegram, the segments' text for
// Discord.
std::vector<std::string> ShownTelegram(const std::vector<std::string>& parts) {
  std::vector<std::string> shown;
  for (const auto& p : parts) shown.push_back(ReadMarkdownV2(p).visible);
  return shown;
}
std::vector<std::string> ShownDiscord(const std::vector<std::string>& parts) {
  std::vector<std::string> shown;
  for (const auto& p : parts) {
    shown.emplace_back();
    for (const auto& s : ParseFramedText(p)) shown.back() += s.Text;
  }
  return shown;
}
using test::ChatBlank;

TEST(ChatFormat, NoPartIsBlank) {
  // A code block that fills a part exactly, then a line break; a title that fills a part;
  // line breaks on both sides of a cut.
  const std::string texts[] = {
      "**T**\r\n```\r\n0123456789```\r\n",
      "**0123456789**\r\n\r\n```\r\nx\r\n```\r\n",
      "**T**\r\nabcdefgh\n\n\n\nijklmnop\n\n```\n\n\n```\n\nqr",
      // Characters Telegram counts as nothing: ideographic spaces, a NUL, joiners, BOM.
      "**T**\r\n```a" + std::string(30, '\0') + "\u3000\u3000\u3000\u200D\uFEFF\u2800b```",
  };
  for (const auto& text : texts) {
    for (std::size_t limit = 4; limit <= 24; ++limit) {
      for (const auto& shown : ShownTelegram(FormatTelegramParts(text, limit)))
        EXPECT_FALSE(ChatBlank(shown)) << "Telegram, limit " << limit << ": " << text;
      // Discord's markup is counted, so its parts need a little more room.
      for (const auto& shown : ShownDiscord(FormatDiscordParts(text, limit + 8)))
        EXPECT_FALSE(ChatBlank(shown)) << "Discord, limit " << limit + 8 << ": " << text;
    }
  }
}

TEST(ChatFormat, TextOfNothingButInvisibleSpacesIsOneMessageSayingSo) {
  std::string spaces;
  for (int i = 0; i < 9000; ++i) spaces += "\u3000";
  for (const auto& parts :
       {FormatTelegramParts(spaces, 4096, kMaxChatParts), FormatDiscordParts(spaces + "\t")}) {
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_FALSE(ChatBlank(parts[0])) << parts[0];
  }
  // After a title, the spaces take no part of their own.
  EXPECT_EQ(FormatTelegramParts("**T**\r\n" + spaces, 4096, kMaxChatParts).size(), 1u);
}

TEST(ChatFormat, StrangerTextArrivesWholeVisibleAndCannotCloseItsFence) {
  // NUL and other controls show as control pictures, a stray byte as U+FFFD, and grave
  // accents inside a fenced block stay text.
  const std::string body = std::string("a\0b\x01\x7F```c\\``", 12) + "\xFF";
  const std::string shown = "a\u2400b\u2401\u2421```c\\``\uFFFD";
  const std::string framed = "**T**\r\n```" + FenceSafe(body) + "```\r\nafter";
  for (std::size_t limit : {4096, 9}) {
    std::string joined;
    for (const auto& part : FormatTelegramParts(framed, limit)) {
      auto read = ReadMarkdownV2(part);
      ASSERT_TRUE(read.valid) << read.error << ": " << part;
      joined += read.visible;
    }
    EXPECT_EQ(joined, "T\r\n" + shown + "\r\nafter") << "limit " << limit;
  }
  // Discord: one code block, its text the body with joiners between the accents.
  const auto parts = FormatDiscordParts(framed);
  ASSERT_EQ(parts.size(), 1u);
  const auto segments = ParseFramedText(parts[0]);
  ASSERT_EQ(segments.size(), 4u) << parts[0];
  EXPECT_EQ(segments[2].Kind, TChatSegment::ckCode);
  std::string code = segments[2].Text, zwj = "\u200D";
  for (std::size_t at; (at = code.find(zwj)) != std::string::npos;) code.erase(at, zwj.size());
  EXPECT_EQ(code, shown);
  EXPECT_EQ(segments[3].Text, "\r\nafter");
}

TEST(ChatFormat, TitleIsNeverAloneInAPart) {
  // The first line of the body does not fit beside the title: the part is filled with it.
  const std::string line = "Exception message  : " + std::string(200, 'x') + " " +
                           std::string(4100, 'y') + "\r\nnext\r\n";
  for (const auto& shown : {ShownTelegram(FormatTelegramParts("**Shop**\r\n```" + line + "```")),
                            ShownDiscord(FormatDiscordParts("**Shop**\r\n```" + line + "```"))}) {
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[0].rfind("Shop\r\nException message", 0), 0u) << shown[0].substr(0, 40);
    EXPECT_GT(ChatLength(shown[0]), 1000u);
  }
}

TEST(ChatFormat, AlertIsBoundToFourPartsWithANoteOfWhatWasLeftOut) {
  const std::string log = test::SampleExceptionLog(20000);
  const std::string text = "**Shop**\r\n```\r\n" + log + "\r\n```";
  const std::size_t total = ChatLength("Shop\r\n" + log + "\r\n");
  struct Channel {
    std::size_t limit;
    std::vector<std::string> parts;
    std::vector<std::string> shown;
  };
  auto tg = FormatTelegramParts(text, 4096, kMaxChatParts);
  auto dc = FormatDiscordParts(text, 2000, kMaxChatParts);
  for (Channel c : {Channel{4096, tg, ShownTelegram(tg)}, Channel{2000, dc, ShownDiscord(dc)}}) {
    ASSERT_EQ(c.parts.size(), kMaxChatParts);
    std::size_t sent = 0;
    for (std::size_t i = 0; i < c.parts.size(); ++i) {
      EXPECT_LE(ChatLength(c.limit == 4096 ? c.shown[i] : c.parts[i]), c.limit);
      if (i + 1 < c.parts.size()) sent += ChatLength(c.shown[i]);
    }
    // The last line tells how much is missing: all of it that the parts do not show.
    const std::string& last = c.shown.back();
    const std::size_t lineStart = last.rfind('\n') + 1;
    const std::string note = last.substr(lineStart);
    sent += ChatLength(last.substr(0, lineStart - 1));
    EXPECT_EQ(note, "[\u2026 " + std::to_string(total - sent) + " more characters left out]")
        << note;
  }
  // A text that fits in four parts goes whole, with no note.
  const std::string shorter = "**Shop**\r\n```\r\n" + test::SampleExceptionLog(7000) + "```";
  auto parts = FormatTelegramParts(shorter, 4096, kMaxChatParts);
  EXPECT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts.back().find("left out"), std::string::npos);
}

TEST(ChatFormat, ErrorAnswersAreRead) {
  const std::string json =
      R"({"ok":false,"error_code":429,"description":"Too \"many\" \u00e9\ud83d\ude00\n",)"
      R"( "parameters" : { "retry_after" : 2.5 }})";
  EXPECT_EQ(JsonStringMember(json, "description").value_or("?"),
            "Too \"many\" \xC3\xA9\xF0\x9F\x98\x80\n");
  EXPECT_DOUBLE_EQ(JsonNumberMember(json, "retry_after").value_or(-1), 2.5);
  EXPECT_DOUBLE_EQ(JsonNumberMember(json, "error_code").value_or(-1), 429);
  EXPECT_FALSE(JsonStringMember(json, "missing").has_value());
  EXPECT_FALSE(JsonStringMember(json, "error_code").has_value());  // not a string
  EXPECT_FALSE(JsonStringMember("<html>bad gateway</html>", "message").has_value());
  EXPECT_EQ(HideSecrets("a SECRET b SECRET", {"", "SECRET"}), "a *** b ***");
}

}  // namespace
}  // namespace vel::chat
