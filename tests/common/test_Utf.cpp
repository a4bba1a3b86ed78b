#include <gtest/gtest.h>

#include <string>

#include "common/TextDecoding.h"
#include "common/Utf.h"

using namespace vel;

namespace {
std::u16string Repl(int n) {
  return std::u16string(n, kReplacementChar);
}
}  // namespace

TEST(Utf, StrictCheckRejectsEveryIllFormedKind) {
  const char* bad[] = {
      "\xC0\x80",
      "\xC1\xBF",
      "\xE0\x80\x80",
      "\xE0\x9F\xBF",
      "\xF0\x80\x80\x80",
      "\xF0\x8F\xBF\xBF",  // overlong forms
      "\xED\xA0\x80",
      "\xED\xBF\xBF",  // surrogates
      "\xF4\x90\x80\x80",
      "\xF5\x80\x80\x80",
      "\xFE",
      "\xFF",  // beyond U+10FFFF, never-used
      "\xC3",
      "\xE2\x82",
      "\xF0\x9F\x98",
      "ab\xF0\x9F",  // truncated
      "\x80",
      "a\xBF"
      "b",
      "\xC3\xA9\x80",  // stray continuation bytes
      "\xE2\x28\xA1",  // a lead byte followed by ASCII
  };
  for (const char* s : bad) {
    EXPECT_FALSE(IsValidUtf8(s)) << "accepted: " << ::testing::PrintToString(std::string(s));
    std::u16string out = u"left over";
    EXPECT_FALSE(DecodeUtf8Strict(s, out));
    EXPECT_TRUE(out.empty()) << "partial result kept";
  }
}

TEST(Utf, StrictDecodeAcceptsBoundariesAndFourByteForms) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"", u""},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"\x7F", u"\x7F"},
      {"\xC2\x80", u"\x80"},
      {"\xDF\xBF", u"\u07FF"},
      {"\xE0\xA0\x80", u"\u0800"},
      {"\xED\x9F\xBF", u"\uD7FF"},
      {"\xEE\x80\x80", u"\uE000"},
      {"\xEF\xBB\xBF", u"\uFEFF"},
      {"\xEF\xBF\xBF", u"\uFFFF"},
      {"\xF0\x90\x80\x80", u"\U00010000"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E", u"caf\u00E9 \u20AC \U0001D11E"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(IsValidUtf8(c.utf8));
    std::u16string out;
    ASSERT_TRUE(DecodeUtf8Strict(c.utf8, out)) << ::testing::PrintToString(c.utf8);
    EXPECT_EQ(out, c.utf16);
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8);
    EXPECT_EQ(Utf16Length(c.utf8), c.utf16.size());
  }
}

TEST(Utf, EveryScalarValueRoundTrips) {
  std::u16string all;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (cp < 0x10000) {
      all.push_back(static_cast<char16_t>(cp));
    } else {
      all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  const std::string utf8 = Utf16ToUtf8(all);
  EXPECT_TRUE(IsValidUtf8(utf8));
  std::u16string back;
  ASSERT_TRUE(DecodeUtf8Strict(utf8, back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(Utf16Length(utf8), all.size());
}

TEST(Utf, LenientDecodeReplacesEachMaximalIllFormedPart) {
  // A truncated 4-byte sequence is one ill-formed part.
  EXPECT_EQ(Utf8ToUtf16("a\xF0\x9F\x98"
                        "b"),
            u"a\uFFFDb");
  // An overlong or surrogate lead fails at its second byte: each byte is a part of its own.
  EXPECT_EQ(Utf8ToUtf16("\xE0\x80\x80"), Repl(3));
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), Repl(3));
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), Repl(4));
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), Repl(2));
  // Text on both sides survives intact.
  EXPECT_EQ(Utf8ToUtf16("x\x80y\xE9z"), u"x\uFFFDy\uFFFDz");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82\xE2\x82\xAC"), u"\uFFFD\u20AC");
  // The length agrees with the conversion also for ill-formed input.
  for (const char* s : {"a\xF0\x9F\x98"
                        "b",
                        "\xE0\x80\x80", "x\x80y\xE9z", "\xF0\x9F\x98\x80\xFF"})
    EXPECT_EQ(Utf16Length(s), Utf8ToUtf16(s).size());
}

TEST(Utf, LoneSurrogatesBecomeReplacementInUtf8) {
  EXPECT_EQ(Utf16ToUtf8(u"a\xD800"
                        u"b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
  // Low before high is two lone surrogates, not a pair.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDC00), char16_t(0xD800)}),
            "\xEF\xBF\xBD\xEF\xBF\xBD");
  // A high surrogate at the very end.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'x', char16_t(0xD83D)}), "x\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Utf, Utf16LEBytesAreLittleEndianAndDropAnOddByte) {
  const std::string bytes = Utf16ToUtf16LEBytes(u"A\u20AC\U0001F600");
  EXPECT_EQ(bytes, std::string("A\0\xAC\x20\x3D\xD8\x00\xDE", 8));
  EXPECT_EQ(Utf16LEBytesToUtf16(bytes), u"A\u20AC\U0001F600");
  EXPECT_EQ(Utf16LEBytesToUtf16(bytes + "\x41"), u"A\u20AC\U0001F600");
  EXPECT_EQ(Utf16LEBytesToUtf16(std::string("\x41", 1)), u"");
  EXPECT_EQ(Utf8ToUtf16LEBytes("h\xC3\xA9"), std::string("h\0\xE9\0", 4));
  EXPECT_EQ(Utf16LEBytesToUtf8(std::string("h\0\xE9\0", 4)), "h\xC3\xA9");
  // A lone surrogate on the wire comes back as U+FFFD, never as ill-formed UTF-8.
  EXPECT_EQ(Utf16LEBytesToUtf8(std::string("\x00\xD8", 2)), "\xEF\xBF\xBD");
}

TEST(TextDecoding, MarksDecideThenUtf8ThenTheAnsiCodePage) {
  auto be = [](std::u16string_view u) {
    std::string out;
    for (char16_t c : u) out += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
    return out;
  };
  struct Row {
    std::string bytes;
    std::string text;
    TTextEncoding encoding;
  };
  // The ANSI rows hold Windows-1252 (Linux; the code page of Wine's default locale): the
  // euro sign at 0x80 and an undefined byte (0x81), which keeps its C1 code.
  const Row rows[] = {
      {"caf\xC3\xA9", "caf\xC3\xA9", TTextEncoding::teUtf8},
      {"", "", TTextEncoding::teUtf8},
      {"\xEF\xBB\xBF"
       "a\xC3\xA9",
       "a\xC3\xA9", TTextEncoding::teUtf8Bom},
      {"\xEF\xBB\xBF"
       "a\xE9",
       "a\xEF\xBF\xBD", TTextEncoding::teUtf8Bom},
      {"\xFF\xFE" + Utf8ToUtf16LEBytes("a\xC3\xA9\xF0\x9F\x98\x80"), "a\xC3\xA9\xF0\x9F\x98\x80",
       TTextEncoding::teUtf16LE},
      {"\xFE\xFF" + be(u"a\u00E9\U0001F600"), "a\xC3\xA9\xF0\x9F\x98\x80",
       TTextEncoding::teUtf16BE},
      {"Ung\xFCltig \x80\x81", "Ung\xC3\xBCltig \xE2\x82\xAC\xC2\x81", TTextEncoding::teAnsi},
  };
  for (const auto& row : rows) {
    const TDecodedText decoded = DecodeExternalText(row.bytes);
    EXPECT_EQ(decoded.Text, row.text) << row.bytes;
    EXPECT_EQ(decoded.Encoding, row.encoding) << row.bytes;
  }
  EXPECT_EQ(TextEncodingName(TTextEncoding::teAnsi), "Windows-1252");
}

TEST(Utf, CompletePrefixLeavesOutOnlyASequenceCutAtTheEnd) {
  EXPECT_EQ(CompleteUtf8Prefix("ab\xC3"), 2u);
  EXPECT_EQ(CompleteUtf8Prefix("ab\xF0\x9F\x98"), 2u);
  EXPECT_EQ(CompleteUtf8Prefix("ab\xC3\xA9"), 4u);
  EXPECT_EQ(CompleteUtf8Prefix("ab\xFF"), 3u);  // not cut, just ill-formed
  EXPECT_EQ(CompleteUtf8Prefix(""), 0u);
}
