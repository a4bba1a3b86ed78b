// Percent-encoding: decoding the output gives back the input up to its first NUL, and no
// reserved character survives unencoded.

#include <cstring>

#include "FuzzSupport.h"
#include "common/Strings.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // the encoder writes upper-case digits only
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = vel::fuzz::AsText(data, size);
  const std::string_view expected = input.substr(0, input.find('\0'));
  const std::string encoded = vel::PercentEncode(input);

  static constexpr std::string_view kReserved = " \"#$%&/:;<=>?@[\\]^`{|}~";
  std::string decoded;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    VEL_FUZZ_CHECK(c != '\0', "NUL in the output");
    if (c != '%') {
      VEL_FUZZ_CHECK(kReserved.find(c) == std::string_view::npos, "reserved character left as is");
      decoded += c;
      continue;
    }
    VEL_FUZZ_CHECK(i + 2 < encoded.size(), "truncated escape");
    const int hi = HexValue(encoded[i + 1]), lo = HexValue(encoded[i + 2]);
    VEL_FUZZ_CHECK(hi >= 0 && lo >= 0, "escape without two upper-case hex digits");
    const char byte = static_cast<char>(hi * 16 + lo);
    VEL_FUZZ_CHECK(kReserved.find(byte) != std::string_view::npos, "unreserved character encoded");
    decoded += byte;
    i += 2;
  }
  VEL_FUZZ_CHECK(decoded == expected, "decoding does not give back the input");
  return 0;
}
