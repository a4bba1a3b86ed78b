#include "common/FileStream.h"
#include "common/FileStreamPlatform.h"
#include "common/WinApi_win32.h"

namespace vel {

namespace detail {

std::string ExpandFileName(const std::string& fileName) {
  const std::wstring wide = win::Wide(fileName);
  const DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return fileName;
  std::wstring full(n, L'\0');
  const DWORD m = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (m == 0 || m >= n) return fileName;
  full.resize(m);
  return win::Narrow(full);
}

void CloseFileHandle(TOsHandle handle) {
  ::CloseHandle(win::ToHandle(handle));
}

// The mode word maps straight onto CreateFileW: the share modes are the system's own and
// bind every other opener. Denying none lets others delete and rename the file too, as they
// may on Linux; without it, opening a file that is being renamed or deleted fails.
TOsHandle OpenFileByMode(const std::string& fileName, std::uint16_t mode) {
  const auto [create, createNew, access, share, valid] = DecodeFileMode(mode);
  if (!valid) FailToOpen(create, fileName, win::SystemMessage(ERROR_INVALID_PARAMETER));

  const DWORD desired = access == fmOpenRead    ? GENERIC_READ
                        : access == fmOpenWrite ? GENERIC_WRITE
                                                : GENERIC_READ | GENERIC_WRITE;
  const DWORD shareMode = share == fmShareDenyWrite  ? FILE_SHARE_READ
                          : share == fmShareDenyRead ? FILE_SHARE_WRITE
                          : share == fmShareDenyNone
                              ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                              : 0;
  const DWORD disposition = !create ? OPEN_EXISTING : createNew ? CREATE_NEW : CREATE_ALWAYS;
  const HANDLE h = ::CreateFileW(win::Wide(fileName).c_str(), desired, shareMode, nullptr,
                                 disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) FailToOpen(create, fileName, win::SystemMessage(::GetLastError()));
  return win::FromHandle(h);
}

}  // namespace detail

// ---- THandleStream ----

std::int32_t THandleStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  DWORD n = 0;
  if (!::ReadFile(win::ToHandle(handle_), buffer, static_cast<DWORD>(count), &n, nullptr))
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return static_cast<std::int32_t>(n);
}

std::int32_t THandleStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  DWORD n = 0;
  if (!::WriteFile(win::ToHandle(handle_), buffer, static_cast<DWORD>(count), &n, nullptr))
    return -1;
  return static_cast<std::int32_t>(n);
}

std::int64_t THandleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  const DWORD method = origin == TSeekOrigin::soBeginning ? FILE_BEGIN
                       : origin == TSeekOrigin::soCurrent ? FILE_CURRENT
                                                          : FILE_END;
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER position{};
  if (!::SetFilePointerEx(win::ToHandle(handle_), distance, &position, method)) return -1;
  return position.QuadPart;
}

}  // namespace vel
