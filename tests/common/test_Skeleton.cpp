#include <gtest/gtest.h>

#include "VelVersion.h"
#include "common/Exception.h"
#include "support/TestSupport.h"

TEST(Skeleton, ExceptionCarriesItsMessageAndTempDirIsPrivate) {
  vel::test::TempDir a, b;
  EXPECT_NE(a.path(), b.path());
  vel::test::WriteFile(a.file("x"), "abc");
  EXPECT_EQ(vel::test::ReadFile(a.file("x")), "abc");
  EXPECT_EQ(vel::test::ReadFile(b.file("x")), "");
  try {
    throw vel::Exception("boom");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "boom");
  }
  EXPECT_STRNE(vel::kVersion, "");
}
