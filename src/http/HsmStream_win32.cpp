// The temporary-file part of THsmStream: a file made with GetTempFileNameW in the temp folder
// and accessed by offset, so that the stream keeps its own position.

#include <cstring>

#include "common/Exception.h"
#include "common/WinApi_win32.h"
#include "http/HsmStreamFile.h"

namespace vel {

namespace {

[[noreturn]] void RaiseFileError(const std::string& what, const std::string& path, DWORD err) {
  throw Exception("THsmStream: " + what + " \"" + path + "\" failed: " + win::SystemMessage(err));
}

HANDLE H(TOsHandle handle) {
  return win::ToHandle(handle);
}

OVERLAPPED At(std::int64_t offset) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
  ov.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  return ov;
}

}  // namespace

THsmStream::TFileStore::TFileStore(bool transient) : FTransient(transient) {
  wchar_t folder[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH) RaiseFileError("finding the temp folder for", "", ::GetLastError());
  wchar_t name[MAX_PATH + 1];
  if (::GetTempFileNameW(folder, L"vhs", 0, name) == 0)
    RaiseFileError("creating the temporary file in", win::Narrow(folder), ::GetLastError());
  FPath = win::Narrow(name);
  const HANDLE h = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 TRUNCATE_EXISTING, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    ::DeleteFileW(name);
    RaiseFileError("opening the temporary file", FPath, error);
  }
  FHandle = win::FromHandle(h);
}

THsmStream::TFileStore::~TFileStore() {
  ::CloseHandle(H(FHandle));
  if (FTransient) ::DeleteFileW(win::Wide(FPath).c_str());
}

void THsmStream::TFileStore::WriteAt(std::int64_t offset, const char* data, std::size_t count) {
  while (count > 0) {
    OVERLAPPED ov = At(offset);
    const DWORD chunk = static_cast<DWORD>(count > 0x40000000u ? 0x40000000u : count);
    DWORD written = 0;
    if (!::WriteFile(H(FHandle), data, chunk, &written, &ov))
      RaiseFileError("writing", FPath, ::GetLastError());
    data += written;
    count -= written;
    offset += written;
  }
}

std::size_t THsmStream::TFileStore::ReadAt(std::int64_t offset, char* data, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    OVERLAPPED ov = At(offset + static_cast<std::int64_t>(done));
    const std::size_t left = count - done;
    const DWORD chunk = static_cast<DWORD>(left > 0x40000000u ? 0x40000000u : left);
    DWORD got = 0;
    if (!::ReadFile(H(FHandle), data + done, chunk, &got, &ov)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      RaiseFileError("reading", FPath, error);
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

std::int64_t THsmStream::TFileStore::Size() const {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(H(FHandle), &size))
    RaiseFileError("reading the size of", FPath, ::GetLastError());
  return size.QuadPart;
}

void THsmStream::TFileStore::Resize(std::int64_t size) {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = size;
  if (!::SetFileInformationByHandle(H(FHandle), FileEndOfFileInfo, &info, sizeof info))
    RaiseFileError("resizing", FPath, ::GetLastError());
}

}  // namespace vel
