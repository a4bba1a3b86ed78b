#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/Strings.h"
#include "support/TestSupport.h"

using namespace std::string_literals;
using namespace vel;

TEST(ExtractQuoted, QuotedDoubledUnterminatedAndPlainItems) {
  const char* text = "\"a\"\"b\"|c";
  const char* cur = text;
  EXPECT_EQ(ExtractQuoted(cur, '"'), "a\"b");
  EXPECT_EQ(*cur, '|');

  const char* open = "\"abc";
  cur = open;
  EXPECT_EQ(ExtractQuoted(cur, '"'), "abc");
  EXPECT_EQ(*cur, '\0');

  const char* plain = "abc";
  cur = plain;
  EXPECT_EQ(ExtractQuoted(cur, '"'), "abc");
  EXPECT_EQ(cur, plain);

  const char* empty = "";
  cur = empty;
  EXPECT_EQ(ExtractQuoted(cur, '"'), "");
  EXPECT_EQ(cur, empty);
  const char* null = nullptr;
  EXPECT_EQ(ExtractQuoted(null, '"'), "");
  EXPECT_EQ(null, nullptr);

  // A quote at the very end closes the item; the cursor lands on the terminator.
  const char* closedAtEnd = "\"x\"";
  cur = closedAtEnd;
  EXPECT_EQ(ExtractQuoted(cur, '"'), "x");
  EXPECT_EQ(cur, closedAtEnd + 3);
}

TEST(ExtractQuoted, ViewFormStopsAtNulAndEndOfView) {
  const std::string text = "\"ab\0cd\""s;
  std::size_t pos = 0;
  EXPECT_EQ(ExtractQuoted(text, pos, '"'), "ab");
  EXPECT_EQ(pos, 3u);  // on the NUL

  std::string_view view("'q''x'zzz", 5);  // the view ends before the closing quote
  pos = 0;
  EXPECT_EQ(ExtractQuoted(view, pos, '\''), "q'x");
  EXPECT_EQ(pos, 5u);

  const std::string plain = "ab\0cd"s;
  pos = 1;
  EXPECT_EQ(ExtractQuoted(plain, pos, '"'), "b");
  EXPECT_EQ(pos, 1u);
}

TEST(TrimInPlace, RemovesControlsAndSpacesOnlyAtTheEnds) {
  std::string s = "  a b \r\n";
  TrimInPlace(s);
  EXPECT_EQ(s, "a b");

  s = "   ";
  TrimInPlace(s);
  EXPECT_EQ(s, "");

  s = "\0\t x\x01"s;
  TrimInPlace(s);
  EXPECT_EQ(s, "x");

  // U+00A0 (no-break space) is not trimmed; neither is any other non-ASCII byte.
  s = "\xC2\xA0x\xC2\xA0";
  TrimInPlace(s);
  EXPECT_EQ(s, "\xC2\xA0x\xC2\xA0");

  s = "";
  TrimInPlace(s);
  EXPECT_EQ(s, "");

  s = "ab";
  const char* before = s.data();
  TrimInPlace(s);
  EXPECT_EQ(s, "ab");
  EXPECT_EQ(s.data(), before);
}

TEST(StartsWithText, FoldsAsciiOnly) {
  EXPECT_TRUE(StartsWithText("https", "HTTPS://host"));
  EXPECT_TRUE(StartsWithText("https", "https"));
  EXPECT_FALSE(StartsWithText("https", "http"));
  EXPECT_TRUE(StartsWithText("", ""));
  EXPECT_TRUE(StartsWithText("", "x"));
  EXPECT_FALSE(StartsWithText("x", ""));
  EXPECT_TRUE(StartsWithText("TVel", "tvelWinHttpClient"));
  // Non-ASCII letters must match exactly: "é" vs "É".
  EXPECT_FALSE(StartsWithText("\xC3\xA9", "\xC3\x89t\xC3\xA9"));
  EXPECT_TRUE(StartsWithText("\xC3\xA9t", "\xC3\xA9T\xC3\xA9"));
  // '@' (0x40) and '`' (0x60) differ by the case bit but are not letters.
  EXPECT_FALSE(StartsWithText("@", "`"));
  EXPECT_FALSE(StartsWithText("[", "{"));
}

TEST(FetchToken, CutsAtMarkerKeepsOrDeletes) {
  std::string log = "abc Application Name: Shop\r\nmore";
  EXPECT_EQ(FetchToken(log, "Application Name", false, true), "abc ");
  EXPECT_EQ(log, "abc Application Name: Shop\r\nmore");

  EXPECT_EQ(FetchToken(log, "Application Name", true, true), "abc ");
  EXPECT_EQ(log, ": Shop\r\nmore");

  std::string missing = "no marker";
  EXPECT_EQ(FetchToken(missing, "Application Name", false, true), "no marker");
  EXPECT_EQ(missing, "no marker");
  EXPECT_EQ(FetchToken(missing, "Application Name", true, true), "no marker");
  EXPECT_EQ(missing, "");

  std::string empty_delim = "abc";
  EXPECT_EQ(FetchToken(empty_delim, "", true, true), "abc");
  EXPECT_EQ(empty_delim, "");

  std::string first = "Xyz;rest";
  EXPECT_EQ(FetchToken(first, "X", true, true), "");
  EXPECT_EQ(first, "yz;rest");
}

TEST(FetchToken, CaseInsensitiveSearchOnlyWhenAsked) {
  std::string s = "one APPLICATION name two";
  EXPECT_EQ(FetchToken(s, "Application Name", false, true), s);
  EXPECT_EQ(FetchToken(s, "Application Name", true, false), "one ");
  EXPECT_EQ(s, " two");

  std::string t = "a;b;c";
  EXPECT_EQ(FetchToken(t, ";", true, false), "a");
  EXPECT_EQ(FetchToken(t, ";", true, false), "b");
  EXPECT_EQ(FetchToken(t, ";", true, false), "c");
  EXPECT_EQ(t, "");
}

TEST(ReplaceSubstring, FlagsFirstAllAndIgnoreCase) {
  EXPECT_EQ(ReplaceSubstring("aaaa", "aa", "b", rfReplaceAll), "bb");
  EXPECT_EQ(ReplaceSubstring("aaaa", "aa", "b"), "baa");
  EXPECT_EQ(ReplaceSubstring("x-A-a", "a", "", rfReplaceAll | rfIgnoreCase), "x--");
  EXPECT_EQ(ReplaceSubstring("x-A-a", "a", "", rfReplaceAll), "x-A-");
  EXPECT_EQ(ReplaceSubstring("x-A-a", "a", "", rfIgnoreCase), "x--a");
  // Matches never overlap: "aaa" holds one "aa" when scanning left to right.
  EXPECT_EQ(ReplaceSubstring("aaa", "aa", "X", rfReplaceAll), "Xa");
  // The result is built from the source, not from its folded form.
  EXPECT_EQ(
      ReplaceSubstringAllText("Tok {%BOT_TOKEN%} and {%bot_token%}.", "{%bot_token%}", "123:abc"),
      "Tok 123:abc and 123:abc.");
}

TEST(ReplaceSubstring, EmptyInputsLengthsAndNoMatch) {
  EXPECT_EQ(ReplaceSubstringAll("abc", "", "x"), "abc");
  EXPECT_EQ(ReplaceSubstringAll("", "a", "x"), "");
  EXPECT_EQ(ReplaceSubstringAll("abc", "z", "x"), "abc");
  EXPECT_EQ(ReplaceSubstringAll("a-b-c", "-", ""), "abc");
  EXPECT_EQ(ReplaceSubstringAll("a-b-c", "-", "=="), "a==b==c");
  EXPECT_EQ(ReplaceSubstringAll("a-b-c", "-", "+"), "a+b+c");  // same length
  EXPECT_EQ(ReplaceSubstringAll("--", "-", "<>"), "<><>");
  // More matches than the initial offset capacity.
  std::string many(1000, 'x');
  EXPECT_EQ(ReplaceSubstringAll(many, "x", "yz"), [] {
    std::string r;
    for (int i = 0; i < 1000; ++i) r += "yz";
    return r;
  }());
  // Multi-byte text around the matches is kept intact.
  EXPECT_EQ(ReplaceSubstringAllText("\xC3\xA4X\xC3\xA4x", "x", "-"), "\xC3\xA4-\xC3\xA4-");
}

TEST(EscapeJsonString, EscapesJsonSpecialsAndEveryControlCharacter) {
  EXPECT_EQ(EscapeJsonString("a\"b\\c/d\te"), "a\\\"b\\\\c\\/d\\te");
  EXPECT_EQ(EscapeJsonString("l1\r\nl2"), "l1\\r\\nl2");
  EXPECT_EQ(EscapeJsonString("\b\f\x01\x1f"), "\\b\\f\\u0001\\u001F");
  EXPECT_EQ(EscapeJsonString("it's"), "it's");
  EXPECT_EQ(EscapeJsonString("\xE2\x82\xAC \x7f"), "\xE2\x82\xAC \x7f");
  EXPECT_EQ(EscapeJsonString(""), "");
  EXPECT_EQ(EscapeJsonString("ab\0cd"s), "ab");
  EXPECT_EQ(EscapeJsonString("\0cd"s), "");
}

TEST(EscapeJsonString, DoubleEscape) {
  EXPECT_EQ(EscapeJsonString("a\\b", true), "a\\\\\\\\b");
  EXPECT_EQ(EscapeJsonString("it's", true), "it\\'s");
  EXPECT_EQ(EscapeJsonString("\"/", true), "\\\"\\/");
}

TEST(PercentEncode, EncodesExactlyTheReservedSet) {
  EXPECT_EQ(PercentEncode("a b&c=d+e"), "a%20b%26c%3Dd+e");
  EXPECT_EQ(PercentEncode(" \"#$%&/:;<=>?@[\\]^`{|}~"),
            "%20%22%23%24%25%26%2F%3A%3B%3C%3D%3E%3F%40%5B%5C%5D%5E%60%7B%7C%7D%7E");
  // Every other printable ASCII character passes through.
  std::string others;
  for (int c = 33; c < 127; ++c) {
    if (std::string(" \"#$%&/:;<=>?@[\\]^`{|}~").find(static_cast<char>(c)) == std::string::npos)
      others.push_back(static_cast<char>(c));
  }
  EXPECT_EQ(others.size(), 95u - 23u);
  EXPECT_EQ(PercentEncode(others), others);
  // Line breaks, controls and non-ASCII text stay raw; a NUL ends the text.
  EXPECT_EQ(PercentEncode("a\r\nb\t\xC3\xBC"), "a\r\nb\t\xC3\xBC");
  EXPECT_EQ(PercentEncode("x y\0z z"s), "x%20y");
  EXPECT_EQ(PercentEncode(""), "");
}

TEST(FormatByteSize, UnitBoundariesAndRounding) {
  // Tests run in the C locale, which has no thousands separator: "," is used.
  EXPECT_EQ(FormatByteSize("", 0), "0 bytes");
  EXPECT_EQ(FormatByteSize("", 1), "1 bytes");
  EXPECT_EQ(FormatByteSize("", 999), "999 bytes");
  EXPECT_EQ(FormatByteSize("", 1024), "1,024 bytes");
  EXPECT_EQ(FormatByteSize("", 1025), "1 KB");
  EXPECT_EQ(FormatByteSize("", 1535), "1 KB");
  EXPECT_EQ(FormatByteSize("", 1536), "2 KB");
  EXPECT_EQ(FormatByteSize("", 1048576), "1,024 KB");
  EXPECT_EQ(FormatByteSize("", 1048577), "1 MB");
  EXPECT_EQ(FormatByteSize("", 1073741824), "1,024 MB");
  EXPECT_EQ(FormatByteSize("", 1073741825), "1 GB");
  EXPECT_EQ(FormatByteSize("", 5368709120), "5 GB");
  EXPECT_EQ(FormatByteSize("", 1099511627776), "1,024 GB");
  EXPECT_EQ(FormatByteSize("", 1234567LL * 1073741824), "1,234,567 GB");
  EXPECT_EQ(FormatByteSize("", INT64_MAX), "8,589,934,592 GB");
  EXPECT_EQ(FormatByteSize("", -5), "-5 bytes");
  EXPECT_EQ(FormatByteSize("", -5000), "-5,000 bytes");
}

TEST(FormatByteSize, CustomFormats) {
  EXPECT_EQ(FormatByteSize("0.0", 1536), "1.5 KB");
  EXPECT_EQ(FormatByteSize("0.00", 1100), "1.07 KB");
  EXPECT_EQ(FormatByteSize("0.##", 2048 + 1024), "3 KB");
  EXPECT_EQ(FormatByteSize("#,##0.0", 1000LL * 1048576 + 52429), "1,000.1 MB");
  EXPECT_EQ(FormatByteSize("000", 7), "007 bytes");
  EXPECT_EQ(FormatByteSize("'~'0", 7), "~7 bytes");
}

TEST(CompareText, OrdinalWithAsciiFolding) {
  EXPECT_EQ(CompareText("abc", "ABC"), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_GT(CompareText("abd", "ABC"), 0);
  // Folding to upper case puts '_' (0x5F) after the letters.
  EXPECT_GT(CompareText("a_", "AZ"), 0);
  EXPECT_NE(CompareText("\xC3\xA4", "\xC3\x84"), 0);
  EXPECT_LT(CompareStr("ABC", "abc"), 0);
  EXPECT_TRUE(SameText("Content-Type", "content-type"));
  EXPECT_FALSE(SameText("Content-Type", "content-typeX"));
}

TEST(FormatByteSize, UsesTheLocaleSeparatorsInUtf8) {
  // A German locale groups with '.' and uses ',' for decimals; a Russian one in KOI8-R groups
  // with a no-break space, one byte of that encoding. Compile them into a temp folder so that
  // the test does not depend on the locales installed on the machine.
  // On Windows the separators are the user's regional settings, which a test cannot switch.
  if (vel::test::OnWindows()) GTEST_SKIP() << "the user's regional settings are fixed";
  struct Case {
    std::string input, charset, grouped, decimals;
  };
  for (const Case& c : {Case{"de_DE", "UTF-8", "1.024 KB", "1,5 KB"},
                        Case{"ru_RU", "KOI8-R", "1\u00A0024 KB", "1,5 KB"}}) {
    SCOPED_TRACE(c.input + "." + c.charset);
    vel::test::TempDir dir;
    const std::string name = c.input + "." + c.charset;
    const std::string cmd = "localedef -c -i " + c.input + " -f " + c.charset + " '" +
                            dir.file(name) + "' >/dev/null 2>&1";
    [[maybe_unused]] const int rc = std::system(cmd.c_str());
    if (!std::filesystem::exists(dir.file(name) + "/LC_NUMERIC"))
      GTEST_SKIP() << "localedef unavailable";

    const char* oldLocPath = std::getenv("LOCPATH");
    const std::string saved = oldLocPath ? oldLocPath : "";
    vel::test::SetEnvVar("LOCPATH", dir.path().string());
    const char* set = std::setlocale(LC_ALL, name.c_str());
    std::string grouped, decimals;
    if (set) {
      grouped = FormatByteSize("", 1048576);
      decimals = FormatByteSize("#,##0.0", 1536);
    }
    std::setlocale(LC_ALL, "C");
    if (oldLocPath) {
      vel::test::SetEnvVar("LOCPATH", saved);
    } else {
      vel::test::UnsetEnvVar("LOCPATH");
    }
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(grouped, c.grouped);
    EXPECT_EQ(decimals, c.decimals);
  }
  EXPECT_EQ(FormatByteSize("", 1234), "1 KB");
  EXPECT_EQ(FormatByteSize("", 1000), "1,000 bytes");  // back to the C locale's fallback
}
