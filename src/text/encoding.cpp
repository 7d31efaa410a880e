// Wire encodings: names, detection, and whole-line conversion through code
// page 932 tables built once from iconv.
#include "text/encoding.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "base/sjis.h"
#include "text/wire_text.h"

namespace zelkord::text {
namespace {

constexpr char32_t kGeta = 0x3013;
constexpr char32_t kNoChar = 0xFFFFFFFF;

// The code points on which JIS and code page 932 tables disagree: the code
// page 932 code, the JIS character (what UTF-8 clients receive) and code
// page 932's own character (also taken from them).
struct Variant {
  std::uint16_t sjis;
  char32_t jis;
  char32_t cp932;
};
constexpr Variant kVariants[] = {
    {0x8160, 0x301C, 0xFF5E},  // wave dash, fullwidth tilde
    {0x8161, 0x2016, 0x2225},  // double vertical line, parallel to
    {0x817C, 0x2212, 0xFF0D},  // minus sign, fullwidth hyphen-minus
    {0x8191, 0x00A2, 0xFFE0},  // cent sign
    {0x8192, 0x00A3, 0xFFE1},  // pound sign
    {0x81CA, 0x00AC, 0xFFE2},  // not sign
};
// The em dash some clients send for the horizontal bar of the JIS row.
constexpr char32_t kEmDash = 0x2014;
constexpr std::uint16_t kHorizontalBar = 0x815C;

[[nodiscard]] bool IsSjisTrail(unsigned char byte) {
  return byte >= 0x40 && byte <= 0xFC && byte != 0x7F;
}
[[nodiscard]] bool IsHalfWidthKana(unsigned char byte) {
  return byte >= 0xA1 && byte <= 0xDF;
}

// Both directions of code page 932 for double-byte codes; single bytes are
// ASCII and half-width katakana, by rule.
class Tables {
 public:
  Tables() : toUnicode_(new char32_t[0x10000]), toSjis_(new std::uint16_t[0x10000]) {
    for (std::size_t i = 0; i < 0x10000; ++i) {
      toUnicode_[i] = kNoChar;
      toSjis_[i] = 0;
    }
    iconv_t cd = iconv_open("UTF-32LE", "CP932");
    if (cd != reinterpret_cast<iconv_t>(-1)) {
      for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (!base::IsLeadByte(static_cast<unsigned char>(lead))) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
          if (!IsSjisTrail(static_cast<unsigned char>(trail))) continue;
          const char32_t code = Convert(cd, lead, trail);
          if (code == kNoChar) continue;
          const auto sjis = static_cast<std::uint16_t>(lead << 8 | trail);
          toUnicode_[sjis] = code;
          // The lowest code wins where code page 932 has duplicates: the JIS
          // row before its NEC and IBM copies, so ISO-2022-JP can carry it.
          if (code < 0x10000 && toSjis_[code] == 0) toSjis_[code] = sjis;
        }
      }
      iconv_close(cd);
    }
    for (const Variant& variant : kVariants) {
      toUnicode_[variant.sjis] = variant.jis;
      toSjis_[variant.jis] = variant.sjis;
      toSjis_[variant.cp932] = variant.sjis;
    }
    if (toSjis_[kEmDash] == 0) toSjis_[kEmDash] = kHorizontalBar;
  }

  // The character of a double-byte code, or kNoChar.
  [[nodiscard]] char32_t ToUnicode(unsigned char lead, unsigned char trail) const {
    return toUnicode_[static_cast<std::size_t>(lead) << 8 | trail];
  }
  // The double-byte code of a character, or 0.
  [[nodiscard]] std::uint16_t ToSjis(char32_t code) const {
    return code < 0x10000 ? toSjis_[code] : 0;
  }

 private:
  static char32_t Convert(iconv_t cd, unsigned lead, unsigned trail) {
    char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
    unsigned char out[8] = {};
    char* inPtr = in;
    std::size_t inLeft = sizeof in;
    char* outPtr = reinterpret_cast<char*>(out);
    std::size_t outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
        sizeof out - outLeft != 4) {
      return kNoChar;
    }
    return static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24);
  }

  std::unique_ptr<char32_t[]> toUnicode_;
  std::unique_ptr<std::uint16_t[]> toSjis_;
};

const Tables& Cp932() {
  static const Tables tables;
  return tables;
}

// Reads one strict UTF-8 sequence at text[i]: its code point and length,
// or length 0 when the bytes there do not form one.
struct Utf8Char {
  char32_t code = 0;
  std::size_t length = 0;
};
Utf8Char ReadUtf8(std::string_view text, std::size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  if (byte < 0x80) return {byte, 1};
  std::size_t length = 0;
  char32_t code = 0;
  char32_t minimum = 0;
  if (byte >= 0xC2 && byte <= 0xDF) {
    length = 2, code = byte & 0x1F, minimum = 0x80;
  } else if (byte >= 0xE0 && byte <= 0xEF) {
    length = 3, code = byte & 0x0F, minimum = 0x800;
  } else if (byte >= 0xF0 && byte <= 0xF4) {
    length = 4, code = byte & 0x07, minimum = 0x10000;
  } else {
    return {};
  }
  if (i + length > text.size()) return {};
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return {};
    code = code << 6 | (next & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
  return {code, length};
}

void AppendUtf8(char32_t code, std::string& out) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | code >> 6));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | code >> 12));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | code >> 18));
    out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The length of the well-formed Shift_JIS character at text[i] (1 or 2),
// or 0 when the byte there starts none.
std::size_t SjisCharLength(std::string_view text, std::size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  if (byte < 0x80 || IsHalfWidthKana(byte)) return 1;
  if (base::IsLeadByte(byte) && i + 1 < text.size() &&
      IsSjisTrail(static_cast<unsigned char>(text[i + 1]))) {
    return 2;
  }
  return 0;
}

void Utf8ToSjis(std::string_view utf8, std::string& out) {
  const Tables& tables = Cp932();
  std::size_t i = 0;
  while (i < utf8.size()) {
    const Utf8Char c = ReadUtf8(utf8, i);
    if (c.length == 0) {
      out.append(kGetaSjis);  // a byte that starts no character
      ++i;
      continue;
    }
    i += c.length;
    if (c.code < 0x80) {
      out.push_back(static_cast<char>(c.code));
    } else if (c.code >= 0xFF61 && c.code <= 0xFF9F) {
      out.push_back(static_cast<char>(c.code - 0xFF61 + 0xA1));
    } else if (const std::uint16_t sjis = tables.ToSjis(c.code); sjis != 0) {
      out.push_back(static_cast<char>(sjis >> 8));
      out.push_back(static_cast<char>(sjis & 0xFF));
    } else {
      out.append(kGetaSjis);
    }
  }
}

void SjisToUtf8(std::string_view sjis, std::string& out) {
  const Tables& tables = Cp932();
  std::size_t i = 0;
  while (i < sjis.size()) {
    const auto byte = static_cast<unsigned char>(sjis[i]);
    const std::size_t length = SjisCharLength(sjis, i);
    if (length == 1) {
      AppendUtf8(byte < 0x80 ? byte : byte - 0xA1 + 0xFF61, out);
    } else if (length == 2) {
      const char32_t code = tables.ToUnicode(byte, static_cast<unsigned char>(sjis[i + 1]));
      AppendUtf8(code == kNoChar ? kGeta : code, out);
    } else {
      AppendUtf8(kGeta, out);
    }
    i += length == 0 ? 1 : length;
  }
}

// An ISO-2022-JP line may carry UTF-8 beside its escape sequences: some
// clients recode the message text but not the channel name before it.
// Strict UTF-8 sequences of three or four bytes become Shift_JIS here, so
// the line reads as meant; 8-bit half-width katakana (single bytes
// 0xA1-0xDF) never start one and pass as they always did.
std::string WithUtf8AsSjis(std::string_view wire) {
  std::string out;
  for (std::size_t i = 0; i < wire.size();) {
    const Utf8Char c = static_cast<unsigned char>(wire[i]) >= 0xE0 ? ReadUtf8(wire, i) : Utf8Char{};
    if (c.length >= 3) {
      Utf8ToSjis(wire.substr(i, c.length), out);
      i += c.length;
    } else {
      out.push_back(wire[i]);
      ++i;
    }
  }
  return out;
}

// Shift_JIS for a Shift_JIS client: well-formed characters as they are,
// anything else as the geta mark.
void SjisToWellFormedSjis(std::string_view sjis, std::string& out) {
  std::size_t i = 0;
  while (i < sjis.size()) {
    const std::size_t length = SjisCharLength(sjis, i);
    if (length == 0) {
      out.append(kGetaSjis);
      ++i;
    } else {
      out.append(sjis.substr(i, length));
      i += length;
    }
  }
}

// true when the text is well-formed Shift_JIS holding at least one
// double-byte character: half-width katakana alone may as well be the 8-bit
// katakana an ISO-2022-JP client sends.
[[nodiscard]] bool IsDoubleByteSjis(std::string_view text) {
  bool pair = false;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = SjisCharLength(text, i);
    if (length == 0) return false;
    pair = pair || length == 2;
    i += length;
  }
  return pair;
}

}  // namespace

std::string_view EncodingName(Encoding encoding) {
  switch (encoding) {
    case Encoding::Utf8:
      return "UTF-8";
    case Encoding::ShiftJis:
      return "Shift_JIS";
    case Encoding::Iso2022Jp:
      break;
  }
  return "ISO-2022-JP";
}

std::optional<Encoding> ParseEncoding(std::string_view name) {
  struct Alias {
    std::string_view name;
    Encoding encoding;
  };
  static constexpr Alias kAliases[] = {
      {"ISO-2022-JP", Encoding::Iso2022Jp},
      {"jis", Encoding::Iso2022Jp},
      {"UTF-8", Encoding::Utf8},
      {"utf8", Encoding::Utf8},
      {"Shift_JIS", Encoding::ShiftJis},
      {"shift-jis", Encoding::ShiftJis},
      {"sjis", Encoding::ShiftJis},
      {"cp932", Encoding::ShiftJis},
  };
  for (const Alias& alias : kAliases) {
    if (base::EqualsFolded(name, alias.name)) return alias.encoding;
  }
  return std::nullopt;
}

bool IsWellFormedSjis(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = SjisCharLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

bool IsStrictUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = ReadUtf8(text, i);
    if (c.length == 0) return false;
    i += c.length;
  }
  return true;
}

std::optional<Encoding> DetectEncoding(std::string_view line) {
  bool eightBit = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\x1B' && i + 1 < line.size() && (line[i + 1] == '$' || line[i + 1] == '(')) {
      return Encoding::Iso2022Jp;
    }
    if (static_cast<unsigned char>(c) >= 0x80) eightBit = true;
  }
  if (!eightBit) return std::nullopt;
  bool strictUtf8 = true;
  bool longSequence = false;
  for (std::size_t i = 0; i < line.size();) {
    const Utf8Char c = ReadUtf8(line, i);
    if (c.length == 0) {
      strictUtf8 = false;
      break;
    }
    longSequence = longSequence || c.length >= 3;
    i += c.length;
  }
  if (strictUtf8) {
    return longSequence ? std::optional<Encoding>(Encoding::Utf8) : std::nullopt;
  }
  return IsDoubleByteSjis(line) ? std::optional<Encoding>(Encoding::ShiftJis) : std::nullopt;
}

void DecodeLine(Encoding from, std::string_view wire, std::string& out) {
  out.clear();
  switch (from) {
    case Encoding::Iso2022Jp:
      if (std::any_of(wire.begin(), wire.end(),
                      [](char c) { return static_cast<unsigned char>(c) >= 0xE0; })) {
        FromWireText(WithUtf8AsSjis(base::UpToNul(wire)), out);
      } else {
        FromWireText(wire, out);
      }
      return;
    case Encoding::Utf8:
      Utf8ToSjis(base::UpToNul(wire), out);
      return;
    case Encoding::ShiftJis:
      out.assign(base::UpToNul(wire));
      return;
  }
}

void EncodeLine(Encoding to, std::string_view sjis, std::string& out) {
  out.clear();
  switch (to) {
    case Encoding::Iso2022Jp:
      ToWireText(sjis, out);
      return;
    case Encoding::Utf8:
      SjisToUtf8(base::UpToNul(sjis), out);
      return;
    case Encoding::ShiftJis:
      SjisToWellFormedSjis(base::UpToNul(sjis), out);
      return;
  }
}

}  // namespace zelkord::text
