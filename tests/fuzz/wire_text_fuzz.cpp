// Fuzzes the wire text conversions. Any received bytes must convert to
// Shift_JIS without a NUL and at most one byte longer; any stored text must
// go out as well-formed ISO-2022-JP (only the two escape sequences, even
// runs of 0x21-0x7E between them, single-byte mode at the end); and text
// without ESC or NUL must come back unchanged through both conversions,
// checked once for the raw input and once for Shift_JIS built from it out
// of valid double-byte pairs and plain ASCII.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "text/wire_text.h"

namespace zelkord::fuzz {
namespace {

constexpr char kEsc = 0x1B;
constexpr std::string_view kEnter = "\x1B$B";
constexpr std::string_view kLeave = "\x1B(B";

std::string_view UpToNul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

void CheckFromWire(std::string_view wire) {
  const std::string sjis = text::FromWireText(wire);
  ZELKORD_FUZZ_CHECK(sjis.find('\0') == std::string::npos);
  ZELKORD_FUZZ_CHECK(sjis.size() <= UpToNul(wire).size() + 1);
  std::string reused = "left over";
  text::FromWireText(wire, reused);
  ZELKORD_FUZZ_CHECK(reused == sjis);
}

// Checks the output's shape when the input held no ESC of its own.
void CheckWireShape(std::string_view wire) {
  bool doubleByte = false;
  std::size_t run = 0;
  for (std::size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] == kEsc) {
      const std::string_view sequence = wire.substr(i, 3);
      ZELKORD_FUZZ_CHECK(sequence == (doubleByte ? kLeave : kEnter));
      if (doubleByte) ZELKORD_FUZZ_CHECK(run > 0 && run % 2 == 0);
      doubleByte = !doubleByte;
      run = 0;
      i += 2;
      continue;
    }
    if (doubleByte) {
      const auto byte = static_cast<unsigned char>(wire[i]);
      ZELKORD_FUZZ_CHECK(byte >= 0x21 && byte <= 0x7E);
      ++run;
    }
  }
  ZELKORD_FUZZ_CHECK(!doubleByte);
}

void CheckToWire(std::string_view sjis) {
  const std::string wire = text::ToWireText(sjis);
  ZELKORD_FUZZ_CHECK(wire.find('\0') == std::string::npos);
  std::string reused = "left over";
  text::ToWireText(sjis, reused);
  ZELKORD_FUZZ_CHECK(reused == wire);
  const std::string_view text = UpToNul(sjis);
  if (text.find(kEsc) != std::string_view::npos) return;
  CheckWireShape(wire);
  ZELKORD_FUZZ_CHECK(text::FromWireText(wire) == text);
}

// Shift_JIS text of valid pairs (lead 0x81-0x9F or 0xE0-0xEF, trail
// 0x40-0xFC but not 0x7F) and ASCII other than NUL and ESC, driven by the
// input bytes.
std::string ValidShiftJis(std::string_view seed) {
  std::string text;
  for (std::size_t i = 0; i < seed.size(); ++i) {
    const auto byte = static_cast<unsigned char>(seed[i]);
    if (byte < 0x80) {
      text.push_back(static_cast<char>(byte == 0 || byte == kEsc ? 'x' : byte));
      continue;
    }
    if (i + 1 >= seed.size()) break;
    const auto next = static_cast<unsigned char>(seed[++i]);
    const unsigned leadIndex = byte % 47;  // 31 leads below 0xA0, 16 from 0xE0
    const unsigned lead = leadIndex < 31 ? 0x81 + leadIndex : 0xE0 + (leadIndex - 31);
    unsigned trail = 0x40 + next % 188;  // 0x40-0xFB, with 0x7F moved up
    if (trail >= 0x7F) ++trail;
    text.push_back(static_cast<char>(lead));
    text.push_back(static_cast<char>(trail));
  }
  return text;
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelkord;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  fuzz::CheckFromWire(input);
  fuzz::CheckToWire(input);
  const std::string valid = fuzz::ValidShiftJis(input);
  ZELKORD_FUZZ_CHECK(text::FromWireText(text::ToWireText(valid)) == valid);
  return 0;
}
