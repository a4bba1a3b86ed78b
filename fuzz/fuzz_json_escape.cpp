// JSON escaping: the output, wrapped in quotes, is one valid JSON string (RFC 8259, read by
// the strict reader below) that decodes to the input up to its first NUL. The input is taken
// as well-formed UTF-8, which is what the senders hand over; other bytes are copied as they
// are by design, so for them only the escaping of the ASCII controls is checked. The
// double-escaped form is for embedding in script text, not JSON; it must only not crash and
// must hold no raw control character.

#include <optional>

#include "FuzzSupport.h"
#include "common/Strings.h"
#include "support/JsonString.h"

namespace {

// The escaped text wrapped in quotes must be exactly one JSON string.
std::optional<std::string> ParseJsonString(std::string_view s, bool requireUtf8) {
  if (requireUtf8 && !vel::fuzz::WellFormedUtf8(s)) return std::nullopt;
  std::size_t pos = 0;
  auto text = vel::test::ReadJsonString(s, pos);
  if (!text || pos != s.size()) return std::nullopt;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = vel::fuzz::AsText(data, size);
  const std::string_view expected = input.substr(0, input.find('\0'));
  const bool utf8 = vel::fuzz::WellFormedUtf8(expected);

  const std::string escaped = vel::EscapeJsonString(input);
  const auto parsed = ParseJsonString("\"" + escaped + "\"", utf8);
  VEL_FUZZ_CHECK(parsed.has_value(), "the escaped text is not one JSON string");
  VEL_FUZZ_CHECK(*parsed == expected, "the JSON string does not decode to the input");

  const std::string doubled = vel::EscapeJsonString(input, true);
  for (char c : doubled)
    VEL_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20, "raw control character (double escape)");
  return 0;
}
