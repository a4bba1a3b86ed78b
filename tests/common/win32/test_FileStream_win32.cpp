// Files on Windows: the share modes are the system's and bind every opener, and UTF-8 names
// reach the file system as the same characters.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/FileStream.h"
#include "common/WinApi_win32.h"
#include "support/TestSupport.h"

using namespace vel;
using vel::test::TempDir;

namespace {

template <class E>
std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<nothing raised>";
}

// Another opener that knows nothing of this system: a plain CreateFileW.
HANDLE OpenForeign(const std::string& name, DWORD access, DWORD share) {
  return ::CreateFileW(win::Wide(name).c_str(), access, share, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

TEST(FileStreamWin32, ShareModesBlockEveryOtherOpener) {
  TempDir dir;
  const std::string f = dir.file("held.log");
  {
    // Our writer lets others read only: a foreign writer is refused, readers get in.
    TVelFileStream writer(f, fmCreate | fmShareDenyWrite);
    writer.WriteBuffer("held open", 9);
    writer.Flush();
    HANDLE foreign = OpenForeign(f, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(foreign, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(TVelTextFileReader::ReadAllText(f, false), "held open");
    EXPECT_EQ(MessageOf<EFOpenError>([&] { TVelTextFileReader::ReadAllText(f, true); }),
              "Cannot open file \"" + f + "\". " + win::SystemMessage(ERROR_SHARING_VIOLATION));
  }
  // A foreign writer that lets others read and write: the lenient read gets in while it
  // writes, the write-locking read does not.
  HANDLE writer = OpenForeign(f, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ::SetFilePointer(writer, 0, nullptr, FILE_END);
  ASSERT_TRUE(::WriteFile(writer, " more", 5, &n, nullptr));
  EXPECT_EQ(TVelTextFileReader::ReadAllText(f, false), "held open more");
  EXPECT_THROW(TVelTextFileReader::ReadAllText(f, true), EFOpenError);
  ::CloseHandle(writer);
  // A foreign holder that lets nobody read keeps both kinds of read out.
  HANDLE exclusive = OpenForeign(f, GENERIC_READ, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_THROW(TVelTextFileReader::ReadAllText(f, false), EFOpenError);
  EXPECT_THROW(TVelTextFileWriter::WriteAllText("x", f), EFCreateError);
  ::CloseHandle(exclusive);
  EXPECT_EQ(TVelTextFileReader::ReadAllText(f, true), "held open more");
}

TEST(FileStreamWin32, Utf8NamesReachTheFileSystemUnchanged) {
  TempDir dir;
  for (const std::string name : {"caf\xC3\xA9.log", "\xE6\x97\xA5\xE5\xBF\x97.log"}) {
    const std::string file = win::Narrow(dir.path().wstring()) + "\\" + name;
    TVelTextFileWriter::WriteAllText("text of " + name, file);
    // The name on disk is the same characters, not their bytes read in the ANSI code page.
    EXPECT_TRUE(std::filesystem::exists(dir.path() / std::filesystem::path(win::Wide(name))))
        << name;
    EXPECT_EQ(TVelTextFileReader::ReadAllText(file, true), "text of " + name);
    const std::string message =
        MessageOf<EFOpenError>([&] { TVelTextFileReader::ReadAllText(file + "x", false); });
    EXPECT_EQ(message.rfind("Cannot open file \"" + file + "x\". ", 0), 0u) << message;
  }
}
