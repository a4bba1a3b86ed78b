#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/StrLists.h"
#include "common/Strings.h"

using namespace vel;

namespace {

std::vector<std::pair<std::string, std::string>> Pairs(const TVelNameValueList& l) {
  std::vector<std::pair<std::string, std::string>> r;
  for (int i = 0; i < l.Count(); ++i) r.emplace_back(l.GetName(i), l.GetValueFromIndex(i));
  return r;
}
using P = std::vector<std::pair<std::string, std::string>>;

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const EStringListError& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace

TEST(NameValueDelimited, ParsesStatusMessageAndLooksUpWithoutCase) {
  TVelNameValueList l;
  l.SetDelimitedText("AppName=Shop|DT=2024-01-01 10:00|SessionCount=5", '|');
  EXPECT_EQ(Pairs(l), (P{{"AppName", "Shop"}, {"DT", "2024-01-01 10:00"}, {"SessionCount", "5"}}));
  EXPECT_EQ(l.GetValue("appname"), "Shop");
  EXPECT_EQ(l.GetValue("APPNAME"), "Shop");
  EXPECT_EQ(l.GetValue("Missing"), "");
  EXPECT_TRUE(l.Remove("AppName"));
  EXPECT_FALSE(l.Remove("AppName"));
  EXPECT_EQ(l.Count(), 2);
  EXPECT_EQ(l.IndexOfName("sessioncount"), 1);
  EXPECT_TRUE(l.ContainsName("dt"));
}

TEST(NameValueDelimited, DropsBlankItemsAndTrims) {
  TVelNameValueList l;
  l.SetDelimitedText("|A=1||  |B=2|", '|');
  EXPECT_EQ(Pairs(l), (P{{"A", "1"}, {"B", "2"}}));

  l.SetDelimitedText(" A = 1 |\tB\t=\r\n", '|');
  EXPECT_EQ(Pairs(l), (P{{"A", "1"}, {"B", ""}}));

  // Items without a name are dropped; an item without separator is kept untrimmed as a name.
  l.SetDelimitedText("=x| = y| lone |", '|');
  EXPECT_EQ(Pairs(l), (P{{" lone ", ""}}));

  // Only the first separator splits.
  l.SetDelimitedText("k=a=b", '|');
  EXPECT_EQ(Pairs(l), (P{{"k", "a=b"}}));

  // Parsing replaces the previous content.
  l.SetDelimitedText("", '|');
  EXPECT_EQ(l.Count(), 0);
}

TEST(NameValueDelimited, QuotedItemsHoldDelimitersAndQuotes) {
  TVelNameValueList l;
  l.SetDelimitedText("\"A=x|y\"|B=2", '|');
  EXPECT_EQ(Pairs(l), (P{{"A", "x|y"}, {"B", "2"}}));

  l.SetDelimitedText("\"Q=say \"\"hi\"\"\"|Z=1", '|');
  EXPECT_EQ(Pairs(l), (P{{"Q", "say \"hi\""}, {"Z", "1"}}));

  // A quote inside an unquoted item is ordinary text; text after a closing quote is an item
  // of its own; an unterminated quote runs to the end.
  l.SetDelimitedText("A=x\"y|\"B=1\"C=2|\"D=open|E=3", '|');
  EXPECT_EQ(Pairs(l), (P{{"A", "x\"y"}, {"B", "1"}, {"C", "2"}, {"D", "open|E=3"}}));
}

TEST(NameValueDelimited, RoundTripsThroughGetDelimitedText) {
  TVelNameValueList l;
  l.AddPair("A", "1").AddPair("B", "x|y").AddPair("C", "q\"uote").AddPair("D", "");
  const std::string text = l.GetDelimitedText("|");
  EXPECT_EQ(text, "A=1|\"B=x|y\"|\"C=q\"\"uote\"|D=");

  TVelNameValueList back;
  back.SetDelimitedText(text, '|');
  EXPECT_EQ(Pairs(back), Pairs(l));
  EXPECT_EQ(back.GetDelimitedText("|"), text);

  // Every status field survives, including display dates with spaces and separators.
  TVelNameValueList msg;
  msg.AddPair("StartupTime", "12/24/2024 9:05:00 PM")
      .AddPair("AppName", "Shop | EU")
      .AddPair("BytesSent", static_cast<std::int64_t>(-9000000000LL))
      .AddPair("SessionCount", 5);
  TVelNameValueList parsed;
  parsed.SetDelimitedText(msg.GetDelimitedText("|"), '|');
  EXPECT_EQ(Pairs(parsed), Pairs(msg));
  EXPECT_EQ(parsed.GetValue("BytesSent"), "-9000000000");
}

TEST(NameValueDelimited, EmptyNamesEmptyValuesAndText) {
  TVelNameValueList l;
  l.FastAdd("", "lost");
  l.FastAdd("B", "");
  l.FastAdd("C", "3");
  EXPECT_EQ(l.GetDelimitedText("|"), "|B=|C=3");
  EXPECT_EQ(l.GetTextString(1), "B");
  EXPECT_EQ(l.GetTextString(2), "C=3");
  EXPECT_EQ(l.Text(), "\r\nB=\r\nC=3\r\n");
  // Multi-character delimiters are removed whole at the end.
  EXPECT_EQ(l.GetDelimitedText(", "), ", B=, C=3");

  TVelNameValueList empty;
  EXPECT_EQ(empty.GetDelimitedText("|"), "");
  EXPECT_EQ(empty.Text(), "");
}

TEST(NameValueList, AddSplitsOnlyWithEmptyValue) {
  TVelNameValueList l;
  l.AddPair("A=B", "");
  l.FastAdd("A=B", "");
  l.Add("X=Y", "v");
  EXPECT_EQ(Pairs(l), (P{{"A", "B"}, {"A=B", ""}, {"X=Y", "v"}}));
  l.SetNameValueSeparator(':');
  l.Add("H: v", "");
  EXPECT_EQ(l.GetName(3), "H");
  EXPECT_EQ(l.GetValueFromIndex(3), " v");  // Add never trims
}

TEST(NameValueList, CapacityGrowsByTwoThenFour) {
  TVelNameValueList l;
  EXPECT_EQ(l.Capacity(), 0);
  const int expected[] = {2, 2, 4, 4, 6, 6, 8, 8, 12, 12, 12, 12, 16};
  for (int i = 0; i < 13; ++i) {
    l.FastAdd("n" + std::to_string(i), "v");
    EXPECT_EQ(l.Capacity(), expected[i]) << "after " << i + 1 << " insertions";
  }
  EXPECT_EQ(static_cast<int>(l.List().size()), 16);
  l.Delete(0);
  EXPECT_EQ(l.Capacity(), 16);
  EXPECT_EQ(l.List()[12].FName, "");  // the vacated slot is empty
  EXPECT_EQ(ErrorOf([&] { l.SetCapacity(11); }), "List capacity out of bounds (11)");
  l.SetCapacity(12);
  EXPECT_EQ(l.Capacity(), 12);
  l.Clear();
  EXPECT_EQ(l.Capacity(), 0);
  EXPECT_EQ(l.Count(), 0);

  TVelNameValueList e;
  e.SetCapacity(5);
  e.Clear();  // an empty list keeps its storage
  EXPECT_EQ(e.Capacity(), 5);

  // Steps of 4 however large the list (the storage underneath grows faster).
  TVelNameValueList big;
  for (int i = 0; i < 1001; ++i) big.FastAdd("n", "v");
  EXPECT_EQ(big.Capacity(), 1004);
  EXPECT_EQ(static_cast<int>(big.List().size()), 1004);
  EXPECT_EQ(big.List()[1001].FName, "");
}

TEST(NameValueList, UnsortedKeepsDuplicatesFirstWins) {
  TVelNameValueList l;
  l.AddPair("K", "1").AddPair("k", "2");
  EXPECT_EQ(l.GetValue("K"), "1");
  l.SetValue("K", "");
  EXPECT_EQ(Pairs(l), (P{{"K", ""}, {"k", "2"}}));
  EXPECT_TRUE(l.Remove("k"));
  EXPECT_EQ(Pairs(l), (P{{"k", "2"}}));
  l.SetValue("New", "n");
  EXPECT_EQ(l.GetTextString(1), "New=n");
}

TEST(NameValueList, SortedDuplicateRulesAndLowerBound) {
  TVelNameValueList l;
  l.SetSorted(true);
  l.AddPair("b", "1").AddPair("A", "2").AddPair("c", "3");
  EXPECT_EQ(Pairs(l), (P{{"A", "2"}, {"b", "1"}, {"c", "3"}}));

  EXPECT_EQ(l.Add("B", "x"), 1);  // dupIgnore: the existing index, nothing added
  EXPECT_EQ(l.Count(), 3);

  l.SetDuplicates(dupError);
  EXPECT_EQ(ErrorOf([&] { l.Add("C", "x"); }), "String list does not allow duplicates");
  EXPECT_EQ(Pairs(l), (P{{"A", "2"}, {"b", "1"}, {"c", "3"}}));

  l.SetDuplicates(dupAccept);
  EXPECT_EQ(l.Add("B", "x"), 1);  // inserted before the equal name
  EXPECT_EQ(l.Add("b", "y"), 1);
  EXPECT_EQ(Pairs(l), (P{{"A", "2"}, {"b", "y"}, {"B", "x"}, {"b", "1"}, {"c", "3"}}));
  int index = -1;
  EXPECT_TRUE(l.FindName("B", index));
  EXPECT_EQ(index, 1);  // the first of the equal names
  EXPECT_FALSE(l.FindName("bb", index));
  EXPECT_EQ(index, 4);  // insertion point
  EXPECT_FALSE(l.FindName("0", index));
  EXPECT_EQ(index, 0);
  EXPECT_FALSE(l.FindName("z", index));
  EXPECT_EQ(index, 5);
  EXPECT_EQ(l.GetValue("B"), "y");

  EXPECT_EQ(ErrorOf([&] { l.SetTextString(0, "Z=1"); }), "Operation not allowed on sorted list");
}

TEST(NameValueList, SortedParseStopsAtDuplicateWithDupError) {
  TVelNameValueList l;
  l.SetSorted(true);
  l.SetDuplicates(dupIgnore);
  l.SetDelimitedText("B=1|A=2|b=3|C=4", '|');
  EXPECT_EQ(Pairs(l), (P{{"A", "2"}, {"B", "1"}, {"C", "4"}}));

  l.SetDuplicates(dupError);
  EXPECT_EQ(ErrorOf([&] { l.SetDelimitedText("B=1|A=2|b=3|C=4", '|'); }),
            "String list does not allow duplicates");
  EXPECT_EQ(Pairs(l), (P{{"A", "2"}, {"B", "1"}}));
}

TEST(NameValueList, SortOrdersByFoldedNameAndHandlesLargerLists) {
  TVelNameValueList l;
  const char* names[] = {"m", "B", "z", "a", "_x", "Q", "q2", "c", "M", "0", "y", "K", "e"};
  for (const char* n : names) l.FastAdd(n, "v");
  l.Sort();
  for (int i = 1; i < l.Count(); ++i)
    EXPECT_LE(CompareText(l.GetName(i - 1), l.GetName(i)), 0) << i;
  EXPECT_EQ(l.Count(), 13);
  // SetSorted sorts before binary lookups start.
  TVelNameValueList s;
  for (int i = 40; i > 0; --i) s.FastAdd("n" + std::to_string(i), std::to_string(i));
  s.SetSorted(true);
  for (int i = 1; i <= 40; ++i) EXPECT_EQ(s.GetValue("N" + std::to_string(i)), std::to_string(i));
}

TEST(NameValueList, IndexedAccessChecksBounds) {
  TVelNameValueList l;
  l.AddPair("A", "1");
  EXPECT_EQ(ErrorOf([&] { l.GetName(1); }), "List index out of bounds (1)");
  EXPECT_EQ(ErrorOf([&] { l.GetValueFromIndex(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(ErrorOf([&] { l.GetTextString(5); }), "List index out of bounds (5)");
  EXPECT_EQ(ErrorOf([&] { l.SetName(1, "x"); }), "List index out of bounds (1)");
  EXPECT_EQ(ErrorOf([&] { l.SetValueFromIndex(1, "x"); }), "List index out of bounds (1)");
  EXPECT_EQ(ErrorOf([&] { l.Delete(1); }), "List index out of bounds (1)");
  EXPECT_EQ(ErrorOf([&] { l.SetTextString(2, "x"); }), "List index out of bounds (2)");
  EXPECT_EQ(l.Count(), 1);

  l.SetTextString(0, "  ");  // blank: no change
  EXPECT_EQ(l.GetTextString(0), "A=1");
  l.SetTextString(0, "B=2=3");
  EXPECT_EQ(Pairs(l), (P{{"B", "2=3"}}));
  l.SetTextString(0, "C");  // no separator: only the name changes
  EXPECT_EQ(Pairs(l), (P{{"C", "2=3"}}));
}

TEST(NameValueList, AssignAndAddStrings) {
  TVelNameValueList src;
  src.SetNameValueSeparator(':');
  src.SetDuplicates(dupAccept);
  src.SetSorted(true);
  src.AddPair("b", "2").AddPair("a", "1");

  TVelNameValueList dst;
  dst.AddPair("old", "x");
  dst.Assign(src);
  EXPECT_TRUE(dst.Sorted());
  EXPECT_EQ(dst.Duplicates(), dupAccept);
  EXPECT_EQ(dst.NameValueSeparator(), ':');
  EXPECT_EQ(Pairs(dst), (P{{"a", "1"}, {"b", "2"}}));

  dst.AddStrings(&dst);  // to itself: each pair once more
  EXPECT_EQ(Pairs(dst), (P{{"a", "1"}, {"a", "1"}, {"b", "2"}, {"b", "2"}}));
  dst.AddStrings(static_cast<const TVelNameValueList*>(nullptr));
  EXPECT_EQ(dst.Count(), 4);

  TVelStringList lines;
  lines.Add("Host=example");
  lines.Add("Flag");
  lines.Add("K=v=w");
  TVelNameValueList fromLines;
  fromLines.AddStrings(&lines);
  EXPECT_EQ(Pairs(fromLines), (P{{"Host", "example"}, {"Flag", ""}, {"K", "v=w"}}));
}

// ---------------------------------------------------------------------------------------

TEST(StringList, ValueLookupFoldsCaseWhateverTheFlag) {
  TVelStringList l;
  l.Add("content-typeX=1");
  l.Add("Content-Type=text/html");
  l.Add("Accept=x");
  for (bool cs : {false, true}) {
    l.SetCaseSensitive(cs);
    EXPECT_EQ(l.Values("content-type"), "text/html");
    EXPECT_EQ(l.Values("CONTENT-TYPE"), "text/html");
    EXPECT_EQ(l.IndexOfName("content-type"), 1);
  }
  EXPECT_EQ(l.Values("content-typ"), "");
  EXPECT_EQ(l.Names(2), "Accept");
  EXPECT_EQ(l.ValueFromIndex(2), "x");

  l.SetSorted(true);
  EXPECT_EQ(l.Values("content-type"), "text/html");
  EXPECT_EQ(l.Values("accept"), "x");
  EXPECT_EQ(l.IndexOfName("content-typeX"), l.IndexOf("content-typeX=1"));
}

TEST(StringList, SetValuesAddsReplacesAndDeletes) {
  TVelStringList l;
  l.SetNameValueSeparator(':');
  l.SetValues("Host", "a");
  l.SetValues("host", "b");
  EXPECT_EQ(l.Text(), "host:b\r\n");
  l.SetValues("X", "1");
  l.SetValues("HOST", "");
  EXPECT_EQ(l.Text(), "X:1\r\n");
  l.SetValueFromIndex(0, "2");
  EXPECT_EQ(l.Strings(0), "X:2");
  l.SetValueFromIndex(0, "");
  EXPECT_EQ(l.Count(), 0);

  TVelStringList s;
  s.SetSorted(true);
  s.SetValues("b", "1");
  s.SetValues("a", "1");
  s.SetValues("b", "0");
  s.SetValues("0", "z");
  EXPECT_EQ(s.Text(), "0=z\r\na=1\r\nb=0\r\n");
}

TEST(StringList, SortedDuplicatesAndCaseSensitivity) {
  TVelStringList l;
  l.SetSorted(true);
  l.SetDuplicates(dupIgnore);
  EXPECT_EQ(l.Add("Beta"), 0);
  EXPECT_EQ(l.Add("alpha"), 0);
  EXPECT_EQ(l.Add("BETA"), 1);  // the same line without case: ignored
  EXPECT_EQ(l.Count(), 2);
  EXPECT_TRUE(l.Contains("ALPHA"));
  EXPECT_FALSE(l.Contains("alph"));

  l.SetDuplicates(dupError);
  EXPECT_EQ(ErrorOf([&] { l.Add("beta"); }), "String list does not allow duplicates");
  EXPECT_EQ(ErrorOf([&] { l.Insert(0, "x"); }), "Operation not allowed on sorted list");
  EXPECT_EQ(ErrorOf([&] { l.SetStrings(0, "x"); }), "Operation not allowed on sorted list");

  l.SetCaseSensitive(true);
  EXPECT_FALSE(l.Contains("ALPHA"));
  EXPECT_EQ(l.Add("beta"), 2);  // "Beta" < "alpha" < "beta" ordinally
  EXPECT_EQ(l.Text(), "Beta\r\nalpha\r\nbeta\r\n");

  TVelStringList u;
  EXPECT_EQ(ErrorOf([&] { u.Insert(1, "x"); }), "List index out of bounds (1)");
  EXPECT_EQ(ErrorOf([&] { u.Strings(0); }), "List index out of bounds (0)");
  u.Insert(0, "b");
  u.Insert(0, "a");
  u.Add("a");
  EXPECT_EQ(u.Text(), "a\r\nb\r\na\r\n");
  EXPECT_EQ(u.IndexOf("A"), 0);
  u.Sort();
  EXPECT_EQ(u.Text(), "a\r\na\r\nb\r\n");
}

TEST(StringList, AddStringsTrimObjectsAndDuplicates) {
  auto o1 = std::make_shared<int>(1);
  auto o2 = std::make_shared<int>(2);
  TVelStringList src;
  src.AddObject("  one \t", o1);
  src.AddObject("two", o2);
  src.Add("One");

  TVelStringList a;
  a.AddStrings(&src, true, true);
  EXPECT_EQ(a.Text(), "one\r\ntwo\r\nOne\r\n");
  EXPECT_EQ(a.Objects(0), o1);
  EXPECT_EQ(a.Objects(1), o2);

  TVelStringList b;
  b.AppendStrings(&src, false);
  EXPECT_EQ(b.Strings(0), "  one \t");
  EXPECT_EQ(b.Objects(0), nullptr);

  TVelStringList c;
  c.AddStrings(&src);  // with objects, untrimmed
  EXPECT_EQ(c.Objects(1), o2);
  EXPECT_EQ(c.Strings(0), "  one \t");

  TVelStringList ignore;  // the configuration's ignore list: sorted, no duplicates, no case
  ignore.SetSorted(true);
  ignore.SetDuplicates(dupIgnore);
  ignore.AddStrings(&src, false, true);
  EXPECT_EQ(ignore.Text(), "one\r\ntwo\r\n");
  ignore.AssignStrings(&ignore, false);  // assigning itself keeps the content
  EXPECT_EQ(ignore.Count(), 2);
  ignore.AssignStrings(&src, true);
  EXPECT_EQ(ignore.Count(), 2);
  ignore.AddStrings(nullptr, true, true);
  EXPECT_EQ(ignore.Count(), 2);
}

TEST(StringList, ObjectsByNameValuesAndClone) {
  auto obj = std::make_shared<std::string>("payload");
  TVelStringList l;
  l.Add("k=v1");
  l.Add("z=v2");
  EXPECT_EQ(l.GetObjectFromName("K=V1"), nullptr);
  l.PutObjectFromName("K=V1", obj);
  EXPECT_EQ(l.Count(), 2);  // the existing line got the object
  EXPECT_EQ(l.Objects(0), obj);
  l.PutObjectFromName("new", obj);
  EXPECT_EQ(l.Count(), 3);
  EXPECT_EQ(l.GetObjectFromName("NEW"), obj);

  EXPECT_EQ(l.IndexOfValue("v2"), 1);
  EXPECT_EQ(l.IndexOfValue("V2"), -1);
  EXPECT_EQ(l.IndexOfValue(""), 2);  // a line without separator has an empty value

  l.SetSorted(true);
  l.SetCaseSensitive(true);
  l.SetNameValueSeparator(':');
  auto copy = TVelStringList::Clone(l);
  EXPECT_EQ(copy->Text(), l.Text());
  EXPECT_TRUE(copy->Sorted());
  EXPECT_TRUE(copy->CaseSensitive());
  EXPECT_EQ(copy->NameValueSeparator(), ':');
  EXPECT_EQ(copy->GetObjectFromName("new"), obj);
  copy->Add("extra");
  EXPECT_NE(copy->Count(), l.Count());
}

TEST(StringList, TextAndDelimitedForms) {
  TVelStringList l;
  l.SetText("a\r\nb\nc\r\rd");
  EXPECT_EQ(l.Text(), "a\r\nb\r\nc\r\n\r\nd\r\n");
  l.SetText("x\r\n");
  EXPECT_EQ(l.Count(), 1);
  l.SetText("");
  EXPECT_EQ(l.Count(), 0);
  EXPECT_EQ(l.Text(), "");

  l.Add("plain");
  l.Add("with space");
  l.Add("q\"x");
  l.Add("a,b");
  EXPECT_EQ(l.DelimitedText(','), "plain,\"with space\",\"q\"\"x\",\"a,b\"");
}

TEST(StringList, HashIsFnv1aJesteressOverUtf16Text) {
  // Reference values computed independently over the UTF-16LE bytes of the CR LF text.
  TVelStringList l;
  EXPECT_EQ(l.GetHashCode(), 0u);
  l.Add("a=1");
  l.Add("b");
  EXPECT_EQ(l.GetHashCode(), 2666538519u);  // 16 bytes: two full steps
  l.SetText("Content-Type=text/html\r\nAccept=x");
  EXPECT_EQ(l.GetHashCode(), 346654679u);  // 68 bytes: four-byte tail
  l.SetText("\xC3\xBC");
  EXPECT_EQ(l.GetHashCode(), 693125235u);  // U+00FC: four- and two-byte tails
  l.SetText("x");
  EXPECT_EQ(l.GetHashCode(), 3630748431u);
  // Equal content, equal hash; the line order matters.
  TVelStringList a, b;
  a.SetText("1\r\n2");
  b.SetText("2\r\n1");
  EXPECT_NE(a.GetHashCode(), b.GetHashCode());
  b.SetText("1\n2\n");
  EXPECT_EQ(a.GetHashCode(), b.GetHashCode());
}

TEST(NameValueList, IntegerPairsAreWrittenAsPlainDecimals) {
  TVelNameValueList l;
  l.AddPair("i32", static_cast<std::int32_t>(-2147483647 - 1))
      .AddPair("i64", static_cast<std::int64_t>(-9223372036854775807LL - 1))
      .AddPair("u32", static_cast<std::uint32_t>(4294967295u))
      .AddPair("u64", static_cast<std::uint64_t>(18446744073709551615ull))
      .AddPair("ll", 1234567890123LL);
  EXPECT_EQ(l.GetDelimitedText("|"),
            "i32=-2147483648|i64=-9223372036854775808|u32=4294967295|"
            "u64=18446744073709551615|ll=1234567890123");
}
