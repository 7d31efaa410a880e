// The wire encodings a client may speak, beside the internal Shift_JIS
// (code page 932) text: ISO-2022-JP (the byte algorithms of wire_text.h),
// UTF-8 and Shift_JIS itself. Detection of a received line's encoding, and
// conversion of whole lines in both directions.
//
// UTF-8 goes through code page 932's tables, with the characters on which
// JIS and code page 932 tables disagree (wave dash, double vertical line,
// minus sign, cent, pound and not signs) taken in either form and sent to
// UTF-8 clients in the JIS form, so that what one client typed shows as the
// same glyph everywhere. A character Shift_JIS cannot hold becomes the geta
// mark (U+3013), one per character.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelkord::text {

enum class Encoding { Iso2022Jp = 0, Utf8 = 1, ShiftJis = 2 };
inline constexpr int kEncodingCount = 3;

// The geta mark in Shift_JIS: what a character without a code becomes.
inline constexpr std::string_view kGetaSjis = "\x81\xAC";

// "ISO-2022-JP", "UTF-8" or "Shift_JIS". Any thread.
[[nodiscard]] std::string_view EncodingName(Encoding encoding);

// The encoding a name stands for: the three names and the aliases utf8,
// iso-2022-jp, jis, sjis, shift-jis, shift_jis and cp932, in any letter
// case. nullopt for anything else. Any thread.
[[nodiscard]] std::optional<Encoding> ParseEncoding(std::string_view name);

// The encoding a received line proves, or nullopt when it proves none:
// escape sequences make it ISO-2022-JP; 8-bit bytes that are strict UTF-8
// (no overlong forms, surrogates or stray continuation bytes) with at least
// one sequence of three or more bytes make it UTF-8; other 8-bit text that
// is well-formed Shift_JIS with at least one double-byte character makes it
// Shift_JIS. ASCII, UTF-8 of two-byte sequences only and half-width
// katakana alone (either may be the other) and bytes that are neither prove
// nothing. Any thread.
[[nodiscard]] std::optional<Encoding> DetectEncoding(std::string_view line);

// true when the text is strict UTF-8. Any thread.
[[nodiscard]] bool IsStrictUtf8(std::string_view text);

// true when every byte of the text belongs to a well-formed Shift_JIS
// character: ASCII, half-width katakana, or a lead byte with its trail.
// Any thread.
[[nodiscard]] bool IsWellFormedSjis(std::string_view text);

// Converts a received line from its wire encoding to Shift_JIS, into out
// (cleared first). The line ends at its first NUL byte. Any thread.
void DecodeLine(Encoding from, std::string_view wire, std::string& out);

// Converts internal Shift_JIS text to a wire encoding, into out (cleared
// first). For UTF-8 and Shift_JIS every byte sent is part of a well-formed
// character: bytes that do not form one become the geta mark. Any thread.
void EncodeLine(Encoding to, std::string_view sjis, std::string& out);

}  // namespace zelkord::text
