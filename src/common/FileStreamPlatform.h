#pragma once

// The operating-system side of the file streams (FileStream_linux.cpp, FileStream_win32.cpp)
// and the parts of opening a file that both share (FileStream.cpp). Internal to the streams.

#include <cstdint>
#include <string>

#include "common/OsHandle.h"

namespace vel::detail {

// Per system.
TOsHandle OpenFileByMode(const std::string& fileName, std::uint16_t mode);
void CloseFileHandle(TOsHandle handle);
std::string ExpandFileName(const std::string& fileName);

// The file-mode word read apart.
struct TFileOpenMode {
  bool Create;      // create the file, or replace its content
  bool CreateNew;   // with Create: fail when the file exists
  unsigned Access;  // fmOpenRead, fmOpenWrite or fmOpenReadWrite (a create reads and writes)
  unsigned Share;   // fmShareCompat .. fmShareDenyNone
  bool Valid;       // false for an access of 3 or a share mode above fmShareDenyNone
};
TFileOpenMode DecodeFileMode(std::uint16_t mode);

// Throws EFCreateError or EFOpenError: Cannot create|open file "<full path>". <message>
[[noreturn]] void FailToOpen(bool create, const std::string& fileName, const std::string& message);

}  // namespace vel::detail
