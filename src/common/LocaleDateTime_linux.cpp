#include <cwchar>

#include "common/LocaleDateTime.h"
#include "common/Utf.h"

namespace vel {

namespace {

// The wide form takes the locale's names as characters, not as bytes of its encoding.
std::string Format(const wchar_t* format, const std::tm& tm) {
  wchar_t buffer[256];
  const std::size_t n = std::wcsftime(buffer, 256, format, &tm);
  std::string text;
  for (std::size_t i = 0; i < n; ++i) AppendUtf8(text, static_cast<char32_t>(buffer[i]));
  return text;
}

}  // namespace

std::string LocaleShortDate(const std::tm& tm) {
  return Format(L"%x", tm);
}

std::string LocaleLongTime(const std::tm& tm) {
  return Format(L"%X", tm);
}

}  // namespace vel
