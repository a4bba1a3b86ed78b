#include <climits>

#include "common/Exception.h"
#include "common/TextDecoding.h"
#include "common/WinApi_win32.h"

namespace vel {

std::string AnsiToUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  // Files read here are bounded far below this (exception logs at 16 MiB, the INI file by
  // its reader), so one call does.
  if (bytes.size() > static_cast<std::size_t>(INT_MAX))
    throw Exception("The text is too large to convert from the ANSI code page");
  const int size = static_cast<int>(bytes.size());
  // No flags: bytes the code page leaves undefined get its default character instead of
  // failing the whole text.
  const int n = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
  if (n <= 0)
    throw Exception("Cannot convert from the ANSI code page: " +
                    win::SystemMessage(::GetLastError()));
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, wide.data(), n);
  return win::Narrow(wide);
}

std::string AnsiCodePageName() {
  const UINT cp = ::GetACP();
  return cp == 1252 ? "Windows-1252" : "ANSI code page " + std::to_string(cp);
}

}  // namespace vel
