// The response body store: memory up to the threshold, a temporary file beyond it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "common/Exception.h"
#include "http/HsmStream.h"
#include "support/TestSupport.h"

namespace vel {
namespace {

class HsmStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Temporary files of this test go to its own folder, so leftovers would be seen.
    const char* var = test::TempFolderVariable();
    old_ = std::getenv(var) ? std::getenv(var) : "";
    test::SetEnvVar(var, dir_.path().string());
  }
  void TearDown() override {
    const char* var = test::TempFolderVariable();
    if (old_.empty())
      test::UnsetEnvVar(var);
    else
      test::SetEnvVar(var, old_);
  }
  std::size_t FilesInTemp() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_.path()),
                                                  std::filesystem::directory_iterator()));
  }
  test::TempDir dir_;
  std::string old_;
};

TEST_F(HsmStreamTest, StaysInMemoryUpToTheThresholdAndMovesBeyondIt) {
  THsmStream s;
  std::string a(32000, 'a');
  s.Write(a);
  s.Write(std::string(759, 'b'));
  EXPECT_EQ(s.Size(), 32759);
  EXPECT_FALSE(s.InFile());
  EXPECT_EQ(FilesInTemp(), 0u);

  s.Write("c", 1);  // one byte past the threshold
  ASSERT_TRUE(s.InFile());
  EXPECT_EQ(FilesInTemp(), 1u);
  EXPECT_EQ(std::filesystem::path(s.TempFileName()).parent_path(), dir_.path());
  EXPECT_EQ(s.Size(), 32760);
  const std::string all = s.ReadAll();
  EXPECT_EQ(all, a + std::string(759, 'b') + "c");

  s.Clear();
  EXPECT_FALSE(s.InFile());
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(FilesInTemp(), 0u);
}

TEST_F(HsmStreamTest, ReadSeekAndOverwriteWorkInBothPlaces) {
  for (bool big : {false, true}) {
    THsmStream s;
    if (big) s.SetSize(40000);  // a size change past the threshold moves the content too
    EXPECT_EQ(s.InFile(), big);
    s.SetPosition(0);
    s.Write("hello world", 11);
    EXPECT_EQ(s.Seek(-5, TSeekOrigin::soCurrent), 6);
    s.Write("WORLD", 5);
    s.SetPosition(0);
    char buf[11] = {};
    EXPECT_EQ(s.Read(buf, sizeof buf), 11u);
    EXPECT_EQ(std::string(buf, 11), "hello WORLD");
    EXPECT_EQ(s.Seek(0, TSeekOrigin::soEnd), big ? 40000 : 11);
    EXPECT_EQ(s.Read(buf, sizeof buf), 0u);  // nothing beyond the end
    EXPECT_EQ(s.Seek(-100, TSeekOrigin::soBeginning), 0);
  }
}

TEST_F(HsmStreamTest, WriteFromAMiddlePositionKeepsTheContentBeforeIt) {
  THsmStream s;
  s.Write(std::string(100, 'x'));
  s.SetPosition(50);
  s.Write(std::string(40000, 'y'));
  ASSERT_TRUE(s.InFile());
  EXPECT_EQ(s.ReadAll(), std::string(50, 'x') + std::string(40000, 'y'));
}

TEST_F(HsmStreamTest, SaveToFileAndTheTransientFlag) {
  std::string kept;
  {
    THsmStream s(/*transient=*/false);
    s.Write(std::string(50000, 'z'));
    kept = s.TempFileName();
    s.SetPosition(123);
    s.SaveToFile(dir_.file("copy.bin"));
    EXPECT_EQ(s.Position(), 123);
  }
  EXPECT_EQ(test::ReadFile(dir_.file("copy.bin")), std::string(50000, 'z'));
  EXPECT_TRUE(std::filesystem::exists(kept));  // not transient: the file stays
  {
    THsmStream s;
    s.Write(std::string(50000, 'z'));
    kept = s.TempFileName();
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
  THsmStream s;
  EXPECT_THROW(s.SaveToFile(dir_.file("no/such/folder/x")), Exception);
}

}  // namespace
}  // namespace vel
