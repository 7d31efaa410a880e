// Shift_JIS <-> ISO-2022-JP byte algorithms used at the socket boundary.
#include "text/wire_text.h"

#include "base/sjis.h"

namespace zelkord::text {

namespace {

constexpr char kEsc = 0x1B;
constexpr std::string_view kEnterDoubleByte = "\x1B$B";
constexpr std::string_view kLeaveDoubleByte = "\x1B(B";

// Lead bytes for the wire conversion stop at 0xEF: the user-defined area
// above has no ISO-2022-JP row.
constexpr bool IsWireLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xEF);
}

constexpr bool IsTrailByte(unsigned char byte) {
  return byte >= 0x40 && byte <= 0xFC && byte != 0x7F;
}

void AppendJisPair(unsigned char lead, unsigned char trail, std::string& out) {
  const int base = lead <= 0x9F ? 0x81 : 0xC1;
  const int first = (lead - base) * 2 + (trail > 0x9E ? 0x22 : 0x21);
  int second;
  if (trail <= 0x7E) {
    second = trail - 0x1F;
  } else if (trail <= 0x9E) {
    second = trail - 0x20;
  } else {
    second = trail - 0x7E;
  }
  out.push_back(static_cast<char>(first));
  out.push_back(static_cast<char>(second));
}

// Returns false when a produced byte is zero: the zero-terminated result ends
// there, so nothing after it may be kept.
[[nodiscard]] bool AppendSjisPair(unsigned char j1, unsigned char j2, std::string& out) {
  // The arithmetic shift of a negative difference is intended: bytes below
  // 0x21 wrap the way the byte algorithm always wrapped them.
  const int first = ((j1 - 0x21) >> 1) + (j1 <= 0x5E ? 0x81 : 0xC1);
  int second;
  if (j1 % 2 == 0) {
    second = j2 + 0x7E;
  } else if (j2 <= 0x5F) {
    second = j2 + 0x1F;
  } else {
    second = j2 + 0x20;
  }
  const auto firstByte = static_cast<char>(first & 0xFF);
  const auto secondByte = static_cast<char>(second & 0xFF);
  if (firstByte == '\0') return false;
  out.push_back(firstByte);
  if (secondByte == '\0') return false;
  out.push_back(secondByte);
  return true;
}

}  // namespace

void ToWireText(std::string_view sjis, std::string& out) {
  out.clear();
  const std::string_view text = base::UpToNul(sjis);
  bool doubleByte = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool hasTrail = i + 1 < text.size();
    if (IsWireLeadByte(byte) && hasTrail && IsTrailByte(static_cast<unsigned char>(text[i + 1]))) {
      if (!doubleByte) {
        out.append(kEnterDoubleByte);
        doubleByte = true;
      }
      AppendJisPair(byte, static_cast<unsigned char>(text[i + 1]), out);
      i += 2;
      continue;
    }
    // Any byte that is not part of a pair, a lone lead byte at the end
    // included, goes out in single-byte mode.
    if (doubleByte) {
      out.append(kLeaveDoubleByte);
      doubleByte = false;
    }
    out.push_back(static_cast<char>(byte));
    ++i;
  }
  if (doubleByte) out.append(kLeaveDoubleByte);
}

std::string ToWireText(std::string_view sjis) {
  std::string out;
  ToWireText(sjis, out);
  return out;
}

void FromWireText(std::string_view wire, std::string& out) {
  out.clear();
  const std::string_view text = base::UpToNul(wire);
  enum class Mode { Roman, Kanji, Katakana };
  Mode mode = Mode::Roman;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != kEsc && mode == Mode::Kanji) {
      // A first byte at the end pairs with the terminating zero, as the
      // zero-terminated text always did; the conversion stops there.
      const bool last = i + 1 >= text.size();
      const auto j2 = last ? 0 : static_cast<unsigned char>(text[i + 1]);
      if (!AppendSjisPair(static_cast<unsigned char>(c), j2, out) || last) return;
      i += 2;
      continue;
    }
    if (c != kEsc) {
      // 7-bit katakana are the 8-bit half-width katakana less 0x80.
      const bool katakana = mode == Mode::Katakana && c >= 0x21 && c <= 0x5F;
      out.push_back(katakana ? static_cast<char>(c + 0x80) : c);
      ++i;
      continue;
    }
    // An escape sequence; one left unfinished at the end is dropped.
    if (i + 1 >= text.size()) return;
    const char second = text[i + 1];
    const char third = i + 2 < text.size() ? text[i + 2] : '\0';
    if (second == '$' && mode != Mode::Kanji) {
      if (third == '\0') return;
      if (third == 'B' || third == '@') {  // JIS X 0208, 1983 or 1978
        mode = Mode::Kanji;
      } else {
        out.push_back(kEsc);
        out.push_back('$');
        out.push_back(third);
        mode = Mode::Roman;
      }
      i += 3;
      continue;
    }
    if (second == '(') {
      if (third == 'I') {
        mode = Mode::Katakana;
        i += 3;
        continue;
      }
      if (third == 'J' || (third == 'B' && mode != Mode::Roman)) {
        mode = Mode::Roman;
        i += 3;
        continue;
      }
      if (mode == Mode::Roman) {
        // ESC ( B in single-byte mode, or an unknown set, passes through
        // as text; the byte after it is read as text in its own right.
        out.push_back(kEsc);
        out.push_back('(');
        i += 2;
        continue;
      }
      if (third == '\0') return;
      out.push_back(kEsc);
      out.push_back('(');
      out.push_back(third);
      mode = Mode::Roman;
      i += 3;
      continue;
    }
    // Any other escape is copied through and leaves double-byte mode.
    out.push_back(kEsc);
    out.push_back(second);
    mode = Mode::Roman;
    i += 2;
  }
}

std::string FromWireText(std::string_view wire) {
  std::string out;
  FromWireText(wire, out);
  return out;
}

}  // namespace zelkord::text
