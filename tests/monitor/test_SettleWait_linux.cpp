// The settle wait on its own, with real inotify closes in a temp folder.

#include <gtest/gtest.h>

#include <atomic>

#include "monitor/SettleWait.h"
#include "support/TestSupport.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

TEST(SettleWait, CloseSeenBeforeTheFileIsAddedReleasesItAtOnce) {
  test::TempDir dir;
  test::Latch<bool> probed, ready;  // outlive the settle wait's thread, which sets them
  // Long enough that only the remembered close can release the file within the test's wait,
  // short enough that a failing run still ends (the destructor waits for the file's time).
  TVelSettleWait settle(30s);
  settle.WatchFolder(dir.path().string());

  // A probe closed after the file tells that the file's close has been seen: closes are
  // reported in order.
  const std::string probe = dir.file("probe.Log"), early = dir.file("early.Log");
  settle.Add(probe, [&] { probed.Set(true); });
  test::WriteFile(early, "written and closed before the folder monitor reports it");
  test::WriteFile(probe, "x");
  ASSERT_TRUE(probed.Wait(10s)) << "the probe's close was not seen";

  settle.Add(early, [&] { ready.Set(true); });
  EXPECT_TRUE(ready.Wait(3s)) << "the close seen before Add was forgotten";
  EXPECT_EQ(settle.Pending(), 0u);
}

}  // namespace
}  // namespace vel
