// The response body's temporary file on Windows: gone when the process is ended hard.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <filesystem>

#include "common/WinApi_win32.h"
#include "http/HsmStream.h"
#include "support/TestSupport.h"

namespace vel {
namespace {

constexpr const char* kChildOutput = "VEL_HSM_CHILD_OUTPUT";

// Points the temp folder somewhere else for the life of the object.
class TempFolderSetting {
 public:
  explicit TempFolderSetting(const std::filesystem::path& folder) {
    if (const char* v = std::getenv("TMP")) old_ = v;
    test::SetEnvVar("TMP", folder.string());
  }
  ~TempFolderSetting() { test::SetEnvVar("TMP", old_); }

 private:
  std::string old_;
};

TEST(HsmStreamWin32, TransientFileGoesWhenTheProcessIsEndedHard) {
  if (const char* output = std::getenv(kChildOutput)) {
    // The child: a body spilled to its file, then wait to be ended.
    THsmStream s;
    s.Write(std::string(50000, 'x'));
    test::WriteFile(std::string(output) + ".part", s.TempFileName());
    std::filesystem::rename(std::string(output) + ".part", output);
    ::Sleep(INFINITE);
  }
  test::TempDir dir;
  TempFolderSetting temp(dir.path());
  test::SetEnvVar(kChildOutput, dir.file("name"));
  std::wstring command =
      L"\"" + test::ExecutablePath().wstring() +
      L"\" --gtest_filter=HsmStreamWin32.TransientFileGoesWhenTheProcessIsEndedHard";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &si, &pi);
  test::UnsetEnvVar(kChildOutput);
  ASSERT_TRUE(started) << ::GetLastError();
  ::CloseHandle(pi.hThread);
  const bool named = test::WaitUntil([&] { return std::filesystem::exists(dir.file("name")); },
                                     std::chrono::seconds(30));
  const std::string spill = test::ReadFile(dir.file("name"));
  const bool spilled = !spill.empty() && std::filesystem::exists(spill);
  ::TerminateProcess(pi.hProcess, 1);
  ::WaitForSingleObject(pi.hProcess, 30000);
  ::CloseHandle(pi.hProcess);
  ASSERT_TRUE(named);
  ASSERT_TRUE(spilled) << spill;
  EXPECT_TRUE(test::WaitUntil([&] { return !std::filesystem::exists(spill); })) << spill;
}

}  // namespace
}  // namespace vel
