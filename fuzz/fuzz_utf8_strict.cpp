// The strict UTF-8 decoder against an independent reading: it accepts exactly the
// well-formed inputs, decodes them without loss, and agrees with the check, the file-text
// decode and the lenient conversion (which must equal it on well-formed input and always
// yield well-formed text).

#include "FuzzSupport.h"
#include "common/Exception.h"
#include "common/FileStream.h"
#include "common/Utf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = vel::fuzz::AsText(data, size);
  const bool wellFormed = vel::fuzz::WellFormedUtf8(input);

  std::u16string strict = u"left over";
  const bool decoded = vel::DecodeUtf8Strict(input, strict);
  VEL_FUZZ_CHECK(decoded == wellFormed, "strict decode disagrees on well-formedness");
  VEL_FUZZ_CHECK(vel::IsValidUtf8(input) == wellFormed, "IsValidUtf8 disagrees");

  bool fileDecodeOk = true;
  try {
    VEL_FUZZ_CHECK(vel::DecodeUtf8Text(input) == input, "file-text decode changed the text");
  } catch (const vel::Exception&) {
    fileDecodeOk = false;
  }
  VEL_FUZZ_CHECK(fileDecodeOk == wellFormed, "file-text decode disagrees on well-formedness");

  const std::u16string lenient = vel::Utf8ToUtf16(input);
  VEL_FUZZ_CHECK(vel::Utf16Length(input) == lenient.size(), "Utf16Length disagrees");
  const std::string back = vel::Utf16ToUtf8(lenient);
  VEL_FUZZ_CHECK(vel::fuzz::WellFormedUtf8(back), "lenient conversion gave ill-formed text");
  VEL_FUZZ_CHECK(vel::Utf16LEBytesToUtf8(vel::Utf8ToUtf16LEBytes(input)) == back,
                 "UTF-16LE byte round trip differs");

  if (wellFormed) {
    VEL_FUZZ_CHECK(strict == lenient, "strict and lenient decodes differ on well-formed input");
    VEL_FUZZ_CHECK(back == input, "round trip lost text");
  } else {
    VEL_FUZZ_CHECK(strict.empty(), "failed strict decode left partial output");
  }
  return 0;
}
