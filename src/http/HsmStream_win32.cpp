// The temporary-file part of THsmStream: a file of its own in the temp folder, accessed by
// offset so that the stream keeps its own position. A transient file is opened to be deleted
// on close, so that the system removes it even when the process is ended hard.

#include <atomic>
#include <cstring>
#include <string>

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

// The temp folder with its trailing backslash, however long (long paths are allowed).
std::wstring TempFolderW() {
  std::wstring folder =
      win::GrownText([](wchar_t* buffer, DWORD size) { return ::GetTempPathW(size, buffer); });
  if (folder.empty()) RaiseFileError("finding the temp folder for", "", ::GetLastError());
  return folder;
}

}  // namespace

THsmStream::TFileStore::TFileStore(bool transient) : FTransient(transient) {
  static std::atomic<unsigned> counter{0};
  const std::wstring folder = TempFolderW();
  // CREATE_NEW makes name and file in one step: nothing is left between the two to remove.
  const DWORD flags = FILE_ATTRIBUTE_TEMPORARY | (transient ? FILE_FLAG_DELETE_ON_CLOSE : DWORD{0});
  for (int attempt = 0;; ++attempt) {
    const std::wstring name = folder + L"vhs" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(::GetTickCount64()) + L"-" +
                              std::to_wstring(counter++) + L".tmp";
    FPath = win::Narrow(name);
    // Others may read it while it is open, and may delete it with it.
    const HANDLE h =
        ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      FHandle = win::FromHandle(h);
      return;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS || attempt >= 100)
      RaiseFileError("creating the temporary file", FPath, error);
  }
}

THsmStream::TFileStore::~TFileStore() {
  ::CloseHandle(H(FHandle));  // deletes a transient file
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
