// The Shift_JIS helpers the internal text shares: the lead-byte test, the
// letter-case folding and comparison for command words, nicknames and names
// (only the ASCII letters change; the trail byte of a double-byte character
// is skipped, because a byte-wise toupper would turn trail bytes such as 0x61
// into other characters), cuts that keep characters whole, and the NUL that
// ends a text.
#pragma once

#include <string>
#include <string_view>

namespace zelkord::base {

// True when the byte starts a double-byte Shift_JIS character for the purpose
// of upper-casing (0x81 to 0x9F and 0xE0 to 0xFC). Any thread.
[[nodiscard]] constexpr bool IsLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Upper-cases ASCII a to z in place, leaving the byte after each lead byte
// untouched (a lead byte at the very end has no trail). Any thread.
void UpperCaseInPlace(std::string& text);

// Returns an upper-cased copy of the text, folded as UpperCaseInPlace does.
// Any thread.
[[nodiscard]] std::string UpperCase(std::string_view text);

// True when both texts are equal after UpperCase; compares without allocating.
// This is also the ASCII case-insensitive comparison: for a pure ASCII text on
// either side it is exactly that. Any thread.
[[nodiscard]] bool EqualsFolded(std::string_view a, std::string_view b);

// The length of the longest prefix of text, at most limit bytes, that does
// not end between a lead byte and its trail: a cut that would split a
// double-byte character falls before it. Any thread.
[[nodiscard]] std::size_t SjisPrefix(std::string_view text, std::size_t limit);

// The text up to its first NUL byte, or all of it when it holds none: the
// texts are zero-terminated where they come from, so a NUL ends them.
// Any thread.
[[nodiscard]] constexpr std::string_view UpToNul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

}  // namespace zelkord::base
