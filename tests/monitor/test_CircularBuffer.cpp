#include <gtest/gtest.h>

#include <string>

#include "monitor/CircularBuffer.h"

using vel::TCircularBuffer;

TEST(CircularBuffer, OverwritesOldestFirstAndKeepsOrder) {
  TCircularBuffer<std::string> ring(32);
  for (int i = 0; i < 33; ++i) ring.Add("f" + std::to_string(i));
  EXPECT_EQ(ring.Count(), 32);
  EXPECT_FALSE(ring.Contains("f0"));
  for (int i = 1; i < 33; ++i) EXPECT_TRUE(ring.Contains("f" + std::to_string(i))) << i;
  EXPECT_EQ(ring.GetItem(0), "f1");
  EXPECT_EQ(ring.GetItem(31), "f32");
  EXPECT_FALSE(ring.Contains("F1"));  // case-sensitive
}

TEST(CircularBuffer, DuplicatesMustBothBePushedOut) {
  TCircularBuffer<std::string> ring(3);
  ring.Add("a");
  ring.Add("a");
  ring.Add("b");
  ring.Add("c");  // pushes out the first "a"
  EXPECT_TRUE(ring.Contains("a"));
  ring.Add("d");  // pushes out the second
  EXPECT_FALSE(ring.Contains("a"));
}

TEST(CircularBuffer, CapacityOneAndErrors) {
  TCircularBuffer<std::string> one(1);
  one.Add("x");
  one.Add("y");
  EXPECT_EQ(one.Count(), 1);
  EXPECT_EQ(one.GetItem(0), "y");
  EXPECT_FALSE(one.Contains("x"));
  try {
    (void)one.GetItem(1);
    FAIL();
  } catch (const vel::Exception& e) {
    EXPECT_STREQ(e.what(), "Index out of range.");
  }
  EXPECT_THROW((void)one.GetItem(-1), vel::Exception);
  try {
    TCircularBuffer<std::string> bad(0);
    FAIL();
  } catch (const vel::Exception& e) {
    EXPECT_STREQ(e.what(), "Buffer size must be greater than zero.");
  }
}
