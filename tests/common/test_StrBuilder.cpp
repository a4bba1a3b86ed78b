#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <latch>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/Exception.h"
#include "common/StrBuilder.h"
#include "support/JsonString.h"

using namespace std::string_literals;
using namespace vel;

namespace {

// A strict JSON reader for what the builder writes: one object whose values are strings,
// objects or arrays. Rejects everything RFC 8259 rejects in those (raw control characters,
// unknown escapes, trailing text). Returns the string members, decoded to UTF-8, and the
// nested values as their raw text.
class StrictJson {
 public:
  explicit StrictJson(std::string_view text) : s_(text) {}

  std::optional<std::map<std::string, std::string>> ParseFlatObject() {
    std::map<std::string, std::string> members;
    SkipWs();
    if (!Eat('{')) return std::nullopt;
    SkipWs();
    if (Eat('}')) return Done(members);
    for (;;) {
      SkipWs();
      auto name = String();
      if (!name) return std::nullopt;
      SkipWs();
      if (!Eat(':')) return std::nullopt;
      SkipWs();
      std::optional<std::string> value;
      if (Peek() == '"') {
        value = String();
      } else {
        const std::size_t start = pos_;
        if (!Value()) return std::nullopt;
        value = std::string(s_.substr(start, pos_ - start));
      }
      if (!value) return std::nullopt;
      members[*name] = *value;
      SkipWs();
      if (Eat(',')) continue;
      if (Eat('}')) return Done(members);
      return std::nullopt;
    }
  }

 private:
  std::optional<std::map<std::string, std::string>> Done(
      std::map<std::string, std::string>& members) {
    SkipWs();
    if (pos_ != s_.size()) return std::nullopt;
    return members;
  }
  char Peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  bool Eat(char c) {
    if (Peek() != c || pos_ >= s_.size()) return false;
    ++pos_;
    return true;
  }
  void SkipWs() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }
  std::optional<std::string> String() { return vel::test::ReadJsonString(s_, pos_); }
  // Any JSON value (strings, objects, arrays, numbers, literals), checked but not kept.
  bool Value() {
    SkipWs();
    const char c = Peek();
    if (c == '"') return String().has_value();
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++pos_;
      SkipWs();
      if (Eat(close)) return true;
      for (;;) {
        SkipWs();
        if (c == '{') {
          if (!String()) return false;
          SkipWs();
          if (!Eat(':')) return false;
        }
        if (!Value()) return false;
        SkipWs();
        if (Eat(',')) continue;
        return Eat(close);
      }
    }
    for (const char* lit : {"true", "false", "null"}) {
      if (s_.substr(pos_, std::strlen(lit)) == lit) {
        pos_ += std::strlen(lit);
        return true;
      }
    }
    const std::size_t start = pos_;
    if (Peek() == '-') ++pos_;
    while (pos_ < s_.size() &&
           (std::isdigit(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '.' ||
            s_[pos_] == 'e' || s_[pos_] == 'E' || s_[pos_] == '+' || s_[pos_] == '-'))
      ++pos_;
    return pos_ > start;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

}  // namespace

TEST(StrBuilder, AppendsEveryKindOfPart) {
  TStrBuilder b(16);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(b.LastByte(), '\0');
  b.Add("");
  EXPECT_TRUE(b.IsEmpty());
  b.Add("a", std::string("b"), std::string_view("c"));
  b.Add(static_cast<std::int32_t>(-42)).Add(static_cast<std::int64_t>(9000000000LL));
  b.Add(true).Add(false);
  b.Add(1.5).Add(0.1).Add(100.0).Add(1e20).Add(-2.5e-7);
  b.Add(2.25, TFormatSettings{','});
  EXPECT_EQ(b.ToString(), "abc-429000000000truefalse1.50.11001E20-2.5E-72,25");
  EXPECT_EQ(b.Utf8Buffer(), b.ToString());
  EXPECT_EQ(b.LastByte(), '5');
  EXPECT_EQ(b.Size(), static_cast<std::int32_t>(b.ToString().size()));

  TStrBuilder other(4);
  other.Add("xy");
  b.Clear();
  b.Add(static_cast<const IStrBuilder&>(other)).Add("|", 7, "|", static_cast<std::int64_t>(8));
  b.Add(static_cast<const IStrBuilder&>(b));  // itself: a copy of its text
  EXPECT_EQ(b.ToString(), "xy|7|8xy|7|8");
}

TEST(StrBuilder, GrowthDoublesOrFitsAndClearResetsTo2048) {
  TStrBuilder b(10);
  EXPECT_EQ(b.Capacity(), 10);
  b.Add(std::string(10, 'x'));
  EXPECT_EQ(b.Capacity(), 10);  // exactly full: no growth
  b.Add("y");
  EXPECT_EQ(b.Capacity(), 20);  // doubled
  b.Add(std::string(100, 'z'));
  EXPECT_EQ(b.Capacity(), 111);  // what is needed, when more than double
  EXPECT_EQ(b.ToString(), std::string(10, 'x') + "y" + std::string(100, 'z'));

  b.Clear();
  EXPECT_EQ(b.Capacity(), 2048);
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(b.ToString(), "");
  b.Add(std::string(5000, 'q'));
  EXPECT_EQ(b.Capacity(), 5000);
  b.Clear();
  EXPECT_EQ(b.Capacity(), 2048);

  b.Add("keep");
  b.SetCapacity(100);
  EXPECT_EQ(b.ToString(), "keep");
  EXPECT_THROW(b.SetCapacity(3), Exception);
  EXPECT_EQ(b.ToString(), "keep");
}

TEST(StrBuilderPool, ReleasedBuilderIsReusedEmptyOnTheSameThread) {
  std::thread([] {
    IStrBuilderRef first = TStrBuilder::GetInstance();
    IStrBuilder* p = first.get();
    first->Add(std::string(3000, 'x'));
    IStrBuilderRef copy = first;
    first.reset();
    EXPECT_EQ(copy->Size(), 3000);  // still referenced: not recycled
    copy.reset();

    IStrBuilderRef second = TStrBuilder::GetInstance();
    EXPECT_EQ(second.get(), p);
    EXPECT_TRUE(second->IsEmpty());
    EXPECT_EQ(second->Capacity(), 2048);
    // While the pooled builder is handed out, the next request gets a fresh one.
    IStrBuilderRef third = TStrBuilder::GetInstance();
    EXPECT_NE(third.get(), p);
    EXPECT_TRUE(third->IsEmpty());
  }).join();
}

TEST(StrBuilderPool, JsonRecordsOnOneThreadShareThePooledBuilder) {
  std::thread([] {
    const IStrBuilder* firstBuffer = nullptr;
    {
      TVelSimpleJSON a;
      EXPECT_EQ(a.Data(), nullptr);
      a.Add("content", "first");
      firstBuffer = a.Data();
      ASSERT_NE(firstBuffer, nullptr);
    }
    TVelSimpleJSON b;
    b.Add("content", "second");
    EXPECT_EQ(b.Data(), firstBuffer);
    EXPECT_EQ(b.ToString(), "{\"content\": \"second\"}");
  }).join();
}

TEST(StrBuilderPool, ThreadsSharingSlotsTakeAndReturnBuildersSafely) {
  // More threads than slots, so that some pairs of threads share a slot and race on it.
  constexpr int kThreads = 160;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &start] {
      start.arrive_and_wait();
      for (int i = 0; i < 300; ++i) {
        TVelSimpleJSON j;
        j.Add("t", std::to_string(t)).Add("i", std::to_string(i));
        const std::string expected =
            "{\"t\": \"" + std::to_string(t) + "\",\"i\": \"" + std::to_string(i) + "\"}";
        if (j.ToString() != expected) {
          ADD_FAILURE() << j.ToString();
          return;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_LE(TStrBuilder::PooledCount(), 128);
  EXPECT_GE(TStrBuilder::PooledCount(), 100);  // idle builders stay pooled after their threads
}

TEST(SimpleJson, EmptyRecordsRenderAsNothing) {
  TVelSimpleJSON j;
  EXPECT_EQ(j.ToString(), "");
  j.Add("content", "");
  j.Add("username", "");
  EXPECT_EQ(j.ToString(), "");
  j.AddRaw("x", "");
  EXPECT_EQ(j.ToString(), "");
}

TEST(SimpleJson, PairLayoutEscapingAndNul) {
  TVelSimpleJSON j;
  j.Add("content", "a/b \"q\" \\ line1\r\nline2").Add("username", "bot");
  EXPECT_EQ(j.ToString(),
            "{\"content\": \"a\\/b \\\"q\\\" \\\\ line1\\r\\nline2\",\"username\": \"bot\"}");
  // ToString leaves the record open for more pairs.
  j.Add("more", "1");
  EXPECT_EQ(j.ToString(),
            "{\"content\": \"a\\/b \\\"q\\\" \\\\ line1\\r\\nline2\",\"username\": \"bot\","
            "\"more\": \"1\"}");

  TVelSimpleJSON cut;
  cut.Add("v", "keep\0lost"s);
  EXPECT_EQ(cut.ToString(), "{\"v\": \"keep\"}");

  TVelSimpleJSON name;
  name.Add("we\"ird", "x");  // names are written as passed
  EXPECT_EQ(name.ToString(), "{\"we\"ird\": \"x\"}");
}

TEST(SimpleJson, CopiesShareOneBufferAndChain) {
  TVelSimpleJSON a;
  TVelSimpleJSON b = a.Add("one", "1");
  b.Add("two", "2");
  EXPECT_EQ(a.ToString(), "{\"one\": \"1\",\"two\": \"2\"}");
  EXPECT_EQ(a.ToString(), b.ToString());

  TVelSimpleJSON n;
  n.SetNoQuotes(true);  // reset by the first pair
  n.Add("k", "v");
  EXPECT_FALSE(n.NoQuotes());
  n.SetNoQuotes(true);
  n.Add("bare", "w");
  EXPECT_EQ(n.ToString(), "{\"k\": \"v\",bare: \"w\"}");
}

TEST(SimpleJson, OutputParsesAsStrictJson) {
  const std::string stack = "Exception\tat Foo()\r\n\tat Bar()\b\f\x01\x1f end";
  const std::string text = "Grüße \xE2\x82\xAC \"quoted\" C:\\path\\file /slash 'apos'";
  TVelSimpleJSON j;
  j.Add("content", "```\r\n" + stack + "\r\n```").Add("username", text);
  j.AddRaw("allowed_mentions", "{\"parse\": []}");
  const std::string json = j.ToString();
  EXPECT_EQ(json.find('\t'), std::string::npos);

  auto parsed = StrictJson(json).ParseFlatObject();
  ASSERT_TRUE(parsed.has_value()) << json;
  EXPECT_EQ((*parsed)["content"], "```\r\n" + stack + "\r\n```");
  EXPECT_EQ((*parsed)["username"], text);
  EXPECT_EQ((*parsed)["allowed_mentions"], "{\"parse\": []}");
  EXPECT_EQ(parsed->size(), 3u);

  // The reader itself rejects what a strict receiver rejects.
  EXPECT_FALSE(StrictJson("{\"a\": \"x\ty\"}").ParseFlatObject().has_value());
  EXPECT_FALSE(StrictJson("{\"a\": \"x\"} x").ParseFlatObject().has_value());
  EXPECT_FALSE(StrictJson("{\"a\": \"\\q\"}").ParseFlatObject().has_value());
}
