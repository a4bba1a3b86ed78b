#pragma once

// Text that comes from outside the process (exception-log files written by applications, the
// configuration file) is decoded here into the process's UTF-8, so that no byte that is not
// UTF-8 ever travels further. Files carry no declaration of their encoding; the rules are:
// a byte-order mark decides (UTF-8, UTF-16LE, UTF-16BE); otherwise well-formed UTF-8 is UTF-8;
// anything else was written in the ANSI code page of the writing system.

#include <string>
#include <string_view>

namespace vel {

enum class TTextEncoding { teUtf8, teUtf8Bom, teUtf16LE, teUtf16BE, teAnsi };

struct TDecodedText {
  std::string Text;  // always well-formed UTF-8, without the byte-order mark
  TTextEncoding Encoding = TTextEncoding::teUtf8;
};

TDecodedText DecodeExternalText(std::string_view bytes);

// "UTF-8", "UTF-8 with byte-order mark", "UTF-16LE", "UTF-16BE" or the ANSI code page's name.
std::string TextEncodingName(TTextEncoding encoding);

// Bytes in the ANSI code page as UTF-8: the system's code page on Windows, Windows-1252 on
// other systems (what Windows applications write there).
std::string AnsiToUtf8(std::string_view bytes);
// The name of that code page, for messages ("Windows-1252").
std::string AnsiCodePageName();

}  // namespace vel
