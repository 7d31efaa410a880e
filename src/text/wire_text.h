// Conversion between the internal Shift_JIS text and the ISO-2022-JP text on
// the IRC wire. These are the server's own byte algorithms, not a general
// converter: they map every pair the byte arithmetic covers (including pairs a
// strict converter rejects) and pass stray escape sequences through.
#pragma once

#include <string>
#include <string_view>

namespace zelkord::text {

// Converts Shift_JIS to ISO-2022-JP: double-byte pairs (lead 0x81-0x9F or
// 0xE0-0xEF, trail 0x40-0xFC but not 0x7F) go between ESC "$" "B" and
// ESC "(" "B"; every other byte passes unchanged, half-width katakana
// included. The input ends at its first NUL byte. Writes into out (cleared
// first) so a caller can reuse its buffer. Any thread.
void ToWireText(std::string_view sjis, std::string& out);
[[nodiscard]] std::string ToWireText(std::string_view sjis);

// Converts ISO-2022-JP to Shift_JIS: ESC "$" "B" (or the older ESC "$" "@")
// enters double-byte mode, ESC "(" "B" or ESC "(" "J" leaves it, and
// ESC "(" "I" enters 7-bit katakana, whose bytes 0x21-0x5F become the 8-bit
// half-width katakana. ESC "(" "B" in single-byte mode and any other escape
// sequence are copied through and leave single-byte mode (ESC "$" "B" inside
// double-byte mode included). A double-byte first byte at the very end is
// paired with a zero byte, as a zero-terminated text would be. The input ends
// at its first NUL byte, and the output ends before any zero byte the pair
// arithmetic produces, so the result never holds a NUL. Writes into out
// (cleared first). Any thread.
void FromWireText(std::string_view wire, std::string& out);
[[nodiscard]] std::string FromWireText(std::string_view wire);

}  // namespace zelkord::text
