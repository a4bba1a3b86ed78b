#include "config/IniFile.h"

#include <gtest/gtest.h>

#include "common/Utf.h"
#include "support/TestSupport.h"

namespace {

using vel::TVelIniFile;

TEST(IniFile, NamesMatchWithoutCaseAndValuesAreTrimmedAndUnquoted) {
  auto ini = TVelIniFile::FromText(
      "[General]\r\n"
      "  LogPath =  /var/log/vel/  \r\n"
      "Dq = \"  spaced  \"\r\n"
      "Sq='single'\r\n"
      "Mixed=\"not closed'\r\n"
      "Inner=a \"b\" c\r\n"
      "Twice=\"\"x\"\"\r\n"
      "Lone=\"\r\n"
      "Eq=a=b=c\r\n"
      "Empty=\r\n");
  EXPECT_EQ(ini.ReadString("general", "LOGPATH", "d"), "/var/log/vel/");
  EXPECT_EQ(ini.ReadString("GENERAL", "dq", "d"), "  spaced  ");
  EXPECT_EQ(ini.ReadString("General", "Sq", "d"), "single");
  EXPECT_EQ(ini.ReadString("General", "Mixed", "d"), "\"not closed'");
  EXPECT_EQ(ini.ReadString("General", "Inner", "d"), "a \"b\" c");
  EXPECT_EQ(ini.ReadString("General", "Twice", "d"), "\"x\"") << "only one pair is removed";
  EXPECT_EQ(ini.ReadString("General", "Lone", "d"), "\"");
  EXPECT_EQ(ini.ReadString("General", "Eq", "d"), "a=b=c");
  EXPECT_EQ(ini.ReadString("General", "Empty", "d"), "") << "present but empty is not absent";
  EXPECT_EQ(ini.ReadString("General", "Missing", "d"), "d");
  EXPECT_EQ(ini.ReadString("Other", "LogPath", "d"), "d");
}

TEST(IniFile, FirstOccurrenceWinsAndEmptySectionsAreAbsent) {
  auto ini = TVelIniFile::FromText(
      "[A]\nk=first\nK=second\n"
      "[Empty]\n"
      "[Comments]\n; only=comment\n"
      "[a]\nk=third\nextra=1\n"
      "[B]\nx=1\n");
  EXPECT_EQ(ini.ReadString("A", "k", ""), "first");
  EXPECT_FALSE(ini.ValueExists("A", "extra")) << "a later duplicate section is shadowed";
  EXPECT_FALSE(ini.SectionExists("Empty"));
  EXPECT_FALSE(ini.SectionExists("Comments"));
  EXPECT_TRUE(ini.SectionExists("b"));
  EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"A", "B"}));
}

TEST(IniFile, BadLinesAreSkippedNotFatal) {
  std::string text = "\xEF\xBB\xBF[S]\n";
  text += "junk without equals\n";
  text += "=no key\n";
  text += std::string("nul=a\0b\n", 8);
  text += "long=" + std::string(TVelIniFile::kMaxLineLength, 'x') + "\n";
  text += ";c=comment\n";
  text += "  ;c2=indented comment\n";
  text += "good=1\n";
  text += "[Broken\n";
  text += "lost=1\n";
  text += "[T]\n";
  text += "bare\n";
  text += "t=2";  // no final line end
  auto ini = TVelIniFile::FromText(text);
  EXPECT_EQ(ini.ReadString("S", "good", ""), "1") << "BOM skipped, section found";
  EXPECT_FALSE(ini.ValueExists("S", "nul"));
  EXPECT_FALSE(ini.ValueExists("S", "long"));
  EXPECT_FALSE(ini.ValueExists("S", "c"));
  EXPECT_FALSE(ini.ValueExists("S", ";c"));
  EXPECT_FALSE(ini.ValueExists("S", "lost")) << "keys under a broken header go nowhere";
  EXPECT_FALSE(ini.ValueExists("Broken", "lost"));
  EXPECT_EQ(ini.ReadString("T", "t", ""), "2");
  // Keys before any section belong to none.
  EXPECT_FALSE(TVelIniFile::FromText("k=v\n").SectionExists(""));
}

TEST(IniFile, ValuesAreCappedAt2047CodeUnitsWithoutSplittingACharacter) {
  std::string v(3000, 'a');
  auto ini = TVelIniFile::FromText("[S]\nv=" + v + "\nq=\"" + v + "\"\n");
  EXPECT_EQ(ini.ReadString("S", "v", "").size(), 2047u);
  EXPECT_EQ(ini.ReadString("S", "q", ""), std::string(2047, 'a')) << "quotes go before the cap";

  // 2046 ASCII then an emoji (two UTF-16 units): the emoji does not fit.
  std::string e = std::string(2046, 'b') + "\xF0\x9F\x98\x80" + "z";
  auto ini2 = TVelIniFile::FromText("[S]\ne=" + e + "\n");
  EXPECT_EQ(ini2.ReadString("S", "e", ""), std::string(2046, 'b'));
  // Two-byte characters count one unit each.
  std::string u;
  for (int i = 0; i < 2100; ++i) u += "\xC3\xA9";
  auto ini3 = TVelIniFile::FromText("[S]\nu=" + u + "\n");
  EXPECT_EQ(ini3.ReadString("S", "u", "").size(), 2047u * 2);
}

TEST(IniFile, IntegersDecimalHexAndRange) {
  auto P = TVelIniFile::ParseInteger;
  EXPECT_EQ(P("25"), 25);
  EXPECT_EQ(P("-7"), -7);
  EXPECT_EQ(P("+7"), 7);
  EXPECT_EQ(P("0x1D"), 29);
  EXPECT_EQ(P("0X1d"), 29);
  EXPECT_EQ(P("$1D"), 29);
  EXPECT_EQ(P("-$10"), -16);
  EXPECT_EQ(P("2147483647"), 2147483647);
  EXPECT_EQ(P("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(P("0x7FFFFFFF"), 2147483647);
  EXPECT_FALSE(P("2147483648"));
  EXPECT_FALSE(P("0x80000000"));
  EXPECT_FALSE(P("99999999999999999999"));
  EXPECT_FALSE(P(""));
  EXPECT_FALSE(P("abc"));
  EXPECT_FALSE(P("0x")) << "too short to be a hex prefix";
  EXPECT_FALSE(P("$"));
  EXPECT_FALSE(P("12a"));
  EXPECT_FALSE(P("1 2"));
  EXPECT_FALSE(P("-"));
  EXPECT_FALSE(P("0xG1"));

  auto ini = TVelIniFile::FromText("[E]\nPort=0x1D\nBad=abc\nEmpty=\n");
  EXPECT_EQ(ini.ReadInteger("E", "Port", 25), 29);
  EXPECT_EQ(ini.ReadInteger("E", "Bad", 25), 25);
  EXPECT_EQ(ini.ReadInteger("E", "Empty", 25), 25);
  EXPECT_EQ(ini.ReadInteger("E", "Absent", 25), 25);
}

TEST(IniFile, BooleanWords) {
  auto ini = TVelIniFile::FromText(
      "[B]\na=Yes\nb=1\nc=T\nd=TRUE\ne=y\nf=on\ng=enabled\nh=\ni=0\nj=yes please\n");
  for (const char* k : {"a", "b", "c", "d", "e"}) EXPECT_TRUE(ini.ReadBool("B", k, false)) << k;
  for (const char* k : {"f", "g", "i", "j"}) EXPECT_FALSE(ini.ReadBool("B", k, true)) << k;
  EXPECT_TRUE(ini.ReadBool("B", "h", true)) << "empty gives the default";
  EXPECT_FALSE(ini.ReadBool("B", "h", false));
  EXPECT_TRUE(ini.ReadBool("B", "absent", true));
}

TEST(IniFile, ReadsFilesAndAMissingFileIsEmpty) {
  vel::test::TempDir dir;
  vel::test::WriteFile(dir.file("a.ini"), "[General]\r\nMonitorEnabled=1\r\n");
  TVelIniFile ini(dir.file("a.ini"));
  EXPECT_TRUE(ini.ReadBool("General", "MonitorEnabled", false));
  EXPECT_EQ(ini.Encoding(), vel::TTextEncoding::teUtf8);
  // Every encoding editors save in: the value arrives as UTF-8 and the encoding is known.
  const std::string text = "[Email]\r\nSubject=R\xC3\xA9port\r\n";
  const std::pair<std::string, vel::TTextEncoding> files[] = {
      {"\xEF\xBB\xBF" + text, vel::TTextEncoding::teUtf8Bom},
      {"\xFF\xFE" + vel::Utf8ToUtf16LEBytes(text), vel::TTextEncoding::teUtf16LE},
      {"\xFE\xFF" + std::string("\0[\0E\0m\0a\0i\0l\0]\0\n\0S\0u\0b\0j\0e\0c\0t\0=\0R\0\xE9", 36) +
           std::string("\0p\0o\0r\0t", 8),
       vel::TTextEncoding::teUtf16BE},
      {"[Email]\r\nSubject=R\xE9port\r\n", vel::TTextEncoding::teAnsi},
  };
  for (const auto& [bytes, encoding] : files) {
    vel::test::WriteFile(dir.file("enc.ini"), bytes);
    TVelIniFile read(dir.file("enc.ini"));
    EXPECT_EQ(read.ReadString("email", "subject", ""), "R\xC3\xA9port");
    EXPECT_EQ(read.Encoding(), encoding);
  }
  TVelIniFile missing(dir.file("none.ini"));
  EXPECT_TRUE(missing.Sections().empty());
  EXPECT_EQ(missing.ReadString("General", "LogPath", "def"), "def");
  EXPECT_EQ(missing.ReadError(), "");
  TVelIniFile folder(dir.path().string());  // a folder, not a file
  EXPECT_TRUE(folder.Sections().empty());
  EXPECT_NE(folder.ReadError(), "");
}

}  // namespace
