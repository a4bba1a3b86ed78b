#pragma once

// Helpers for the *_win32.cpp files only: portable code never includes this header. Text at
// the Windows API is UTF-16 (wchar_t); in the process it is UTF-8.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h's A/W switch macros that clash with names of this system (TVelAppInfo's); the
// code calls the W functions by their full names.
#undef GetTempPath
#undef GetComputerName

#include <string>
#include <string_view>

#include "common/OsHandle.h"
#include "common/Utf.h"

namespace vel::win {

inline std::wstring Wide(std::string_view utf8) {
  const std::u16string u = Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

inline std::string Narrow(std::wstring_view wide) {
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

inline HANDLE ToHandle(TOsHandle handle) {
  return reinterpret_cast<HANDLE>(OsHandleValue(handle));
}
inline TOsHandle FromHandle(HANDLE handle) {
  return MakeOsHandle(reinterpret_cast<std::intptr_t>(handle));
}

// The system's text for an error code, without the trailing line end ("Error 1234" when the
// system has none).
inline std::string SystemMessage(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  if (text.empty()) return "Error " + std::to_string(error);
  return Narrow(text);
}

// A module's file name (nullptr: the process's executable), as the system gives it; the buffer
// grows until the name fits, since long paths are allowed. "" when the system cannot say.
inline std::wstring ModuleFileName(HMODULE module) {
  std::wstring name(260, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) return name.substr(0, n);
    if (name.size() >= 32768) return {};  // no path is longer: the system keeps failing
    name.resize(name.size() * 2);
  }
}

// Text from a call that fills a buffer of the size given and returns the length written, or
// the size it needs (its NUL counted) when the buffer is too small, or 0 when it fails
// (GetTempPathW, GetCurrentDirectoryW, GetSystemDirectoryW). The buffer grows until the text
// fits, since long paths are allowed; a few tries, as the value may change between calls.
// "" when the call fails.
template <typename Fill>
std::wstring GrownText(Fill fill) {
  std::wstring text(MAX_PATH + 1, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = fill(text.data(), static_cast<DWORD>(text.size()));
    if (n == 0) return {};
    if (n < text.size()) {
      text.resize(n);
      return text;
    }
    text.resize(n + 1);
  }
  return {};
}

// Closes a handle when it is one.
struct HandleCloser {
  HANDLE h = INVALID_HANDLE_VALUE;
  HandleCloser() = default;
  explicit HandleCloser(HANDLE handle) : h(handle) {}
  ~HandleCloser() {
    if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  bool valid() const { return h && h != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE r = h;
    h = INVALID_HANDLE_VALUE;
    return r;
  }
};

}  // namespace vel::win
