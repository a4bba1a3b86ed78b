#include "common/TextDecoding.h"

#include "common/Utf.h"

namespace vel {

namespace {

std::u16string Utf16BEBytesToUtf16(std::string_view bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>((static_cast<unsigned char>(bytes[2 * i]) << 8) |
                                   static_cast<unsigned char>(bytes[2 * i + 1]));
  return out;
}

}  // namespace

TDecodedText DecodeExternalText(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
    // A mark that promises UTF-8 over bytes that are not: the ill-formed parts are shown as
    // U+FFFD rather than guessed at.
    return {IsValidUtf8(bytes) ? std::string(bytes) : Utf16ToUtf8(Utf8ToUtf16(bytes)),
            TTextEncoding::teUtf8Bom};
  }
  if (bytes.starts_with("\xFF\xFE"))
    return {Utf16LEBytesToUtf8(bytes.substr(2)), TTextEncoding::teUtf16LE};
  if (bytes.starts_with("\xFE\xFF"))
    return {Utf16ToUtf8(Utf16BEBytesToUtf16(bytes.substr(2))), TTextEncoding::teUtf16BE};
  if (IsValidUtf8(bytes)) return {std::string(bytes), TTextEncoding::teUtf8};
  return {AnsiToUtf8(bytes), TTextEncoding::teAnsi};
}

std::string TextEncodingName(TTextEncoding encoding) {
  switch (encoding) {
    case TTextEncoding::teUtf8Bom:
      return "UTF-8 with byte-order mark";
    case TTextEncoding::teUtf16LE:
      return "UTF-16LE";
    case TTextEncoding::teUtf16BE:
      return "UTF-16BE";
    case TTextEncoding::teAnsi:
      return AnsiCodePageName();
    default:
      return "UTF-8";
  }
}

}  // namespace vel
