// Fuzzes detection and the wire encodings. Any received bytes, taken in any
// encoding, must become Shift_JIS without a NUL; whatever Shift_JIS is sent
// must leave as strict UTF-8 or well-formed Shift_JIS; UTF-8 detection must
// only ever name strict UTF-8; and what came in as UTF-8 must survive the
// way out and back in unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "text/encoding.h"

namespace zelkord::fuzz {
namespace {

bool IsWellFormedSjis(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80 || (byte >= 0xA1 && byte <= 0xDF)) continue;
    const bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    if (!lead || i + 1 >= text.size()) return false;
    const auto trail = static_cast<unsigned char>(text[++i]);
    if (trail < 0x40 || trail > 0xFC || trail == 0x7F) return false;
  }
  return true;
}

void CheckEncodings(std::string_view input) {
  const std::optional<text::Encoding> detected = text::DetectEncoding(input);
  if (detected == text::Encoding::Utf8) ZELKORD_FUZZ_CHECK(text::IsStrictUtf8(input));
  std::string sjis;
  std::string wire;
  for (text::Encoding from :
       {text::Encoding::Iso2022Jp, text::Encoding::Utf8, text::Encoding::ShiftJis}) {
    text::DecodeLine(from, input, sjis);
    ZELKORD_FUZZ_CHECK(sjis.find('\0') == std::string::npos);
    text::EncodeLine(text::Encoding::Utf8, sjis, wire);
    ZELKORD_FUZZ_CHECK(text::IsStrictUtf8(wire));
    text::EncodeLine(text::Encoding::ShiftJis, sjis, wire);
    ZELKORD_FUZZ_CHECK(IsWellFormedSjis(wire));
  }
  text::DecodeLine(text::Encoding::Utf8, input, sjis);
  ZELKORD_FUZZ_CHECK(IsWellFormedSjis(sjis));
  text::EncodeLine(text::Encoding::Utf8, sjis, wire);
  std::string again;
  text::DecodeLine(text::Encoding::Utf8, wire, again);
  ZELKORD_FUZZ_CHECK(again == sjis);
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelkord::fuzz::CheckEncodings(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
