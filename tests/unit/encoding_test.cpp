// Wire encodings: names, detection over a generated corpus, and conversion
// of the whole JIS X 0208 repertoire against iconv's codecs.
#include "text/encoding.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "text/wire_text.h"

namespace zelkord::text {
namespace {

// Converts with iconv; nullopt when the codec rejects the text.
std::optional<std::string> Iconv(const char* to, const char* from, const std::string& text) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* dst = out.data();
  std::size_t outLeft = out.size();
  const bool ok = iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<std::size_t>(-1) &&
                  iconv(cd, nullptr, nullptr, &dst, &outLeft) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

std::string Decode(Encoding from, const std::string& wire) {
  std::string out;
  DecodeLine(from, wire, out);
  return out;
}

std::string Encode(Encoding to, const std::string& sjis) {
  std::string out;
  EncodeLine(to, sjis, out);
  return out;
}

TEST(Encoding, NamesAndAliasesInAnyCase) {
  const std::vector<std::pair<std::string, std::optional<Encoding>>> cases = {
      {"ISO-2022-JP", Encoding::Iso2022Jp},
      {"iso-2022-jp", Encoding::Iso2022Jp},
      {"JIS", Encoding::Iso2022Jp},
      {"UTF-8", Encoding::Utf8},
      {"Utf8", Encoding::Utf8},
      {"Shift_JIS", Encoding::ShiftJis},
      {"SHIFT-JIS", Encoding::ShiftJis},
      {"sjis", Encoding::ShiftJis},
      {"CP932", Encoding::ShiftJis},
      {"", std::nullopt},
      {"utf-16", std::nullopt},
      {"UTF-8 ", std::nullopt},
      {"\x82\xA0", std::nullopt},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(ParseEncoding(name), expected) << name;
  for (Encoding e : {Encoding::Iso2022Jp, Encoding::Utf8, Encoding::ShiftJis}) {
    EXPECT_EQ(ParseEncoding(EncodingName(e)), e);
  }
}

// Random Japanese text: hiragana, katakana, JIS level 1 kanji, full-width
// symbols and ASCII, as Shift_JIS, with half-width katakana when asked.
std::string RandomSjis(std::mt19937& random, int characters, bool halfWidth) {
  std::string text;
  for (int i = 0; i < characters; ++i) {
    switch (random() % (halfWidth ? 6 : 5)) {
      case 0:  // hiragana
        text += "\x82";
        text.push_back(static_cast<char>(0x9F + random() % 83));
        break;
      case 1:  // katakana
        text += "\x83";
        text.push_back(static_cast<char>(0x40 + random() % 63));
        break;
      case 2: {  // kanji, rows 16 to 47
        const int row = 16 + static_cast<int>(random() % 32);
        const int cell = 1 + static_cast<int>(random() % 94);
        std::string jis = "\x1B$B";
        jis.push_back(static_cast<char>(0x20 + row));
        jis.push_back(static_cast<char>(0x20 + cell));
        text += FromWireText(jis + "\x1B(B");
        break;
      }
      case 3:  // full-width punctuation and the wave dash
        text += std::string("\x81") + static_cast<char>(0x41 + random() % 30);
        break;
      case 4:
        text.push_back(static_cast<char>('a' + random() % 26));
        break;
      default:  // half-width katakana
        text.push_back(static_cast<char>(0xA1 + random() % 63));
        break;
    }
  }
  return text;
}

TEST(DetectEncoding, GeneratedCorpusGivesExactlyTheTruth) {
  std::mt19937 random(20261208);
  int lines = 0;
  int utf8Lines = 0;
  for (int round = 0; round < 2000; ++round) {
    const int length = 1 + static_cast<int>(random() % 20);
    const std::string sjis = RandomSjis(random, length, false);
    const std::string utf8 = Encode(Encoding::Utf8, sjis);
    const std::string jis = ToWireText(sjis);
    const std::string kana = RandomSjis(random, length, true);
    const bool hasDoubleByte =
        sjis.find_first_of(std::string("\x81\x82\x83")) != std::string::npos ||
        jis.find('\x1B') != std::string::npos;
    std::string ascii;
    for (int i = 0; i < length; ++i) ascii.push_back(static_cast<char>(0x20 + random() % 95));

    // UTF-8 proves itself with a sequence of three bytes or more (a few
    // full-width symbols such as the diaeresis take only two).
    const bool longSequence = std::any_of(
        utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) >= 0xE0; });
    EXPECT_EQ(DetectEncoding(utf8), longSequence ? std::optional(Encoding::Utf8) : std::nullopt)
        << utf8;
    utf8Lines += longSequence ? 1 : 0;
    EXPECT_EQ(DetectEncoding(jis),
              hasDoubleByte ? std::optional(Encoding::Iso2022Jp) : std::nullopt)
        << testing::PrintToString(jis);
    EXPECT_EQ(DetectEncoding(sjis),
              hasDoubleByte ? std::optional(Encoding::ShiftJis) : std::nullopt)
        << testing::PrintToString(sjis);
    // Shift_JIS with half-width katakana never passes for UTF-8.
    EXPECT_NE(DetectEncoding(kana), std::optional(Encoding::Utf8)) << testing::PrintToString(kana);
    EXPECT_EQ(DetectEncoding(ascii), std::nullopt);
    lines += 5;
  }
  EXPECT_GE(lines, 10000);
  EXPECT_GT(utf8Lines, 1500);
  // Two half-width katakana that happen to be valid UTF-8 prove nothing.
  EXPECT_EQ(DetectEncoding("caf\xC3\xA9"), std::nullopt);
  EXPECT_EQ(DetectEncoding("\xB1\xB2\xB3"), std::nullopt);
  // Overlong forms, surrogates and stray bytes are not UTF-8.
  EXPECT_EQ(DetectEncoding("\xE0\x81\x81"), std::nullopt);
  EXPECT_EQ(DetectEncoding("\xED\xA0\x80\xE3\x81\x82"), std::nullopt);
}

TEST(EncodeLine, ConvertsTheVariantsKanaEmojiAndBadBytes) {
  const std::string typed = "テスト①〜ｶﾀｶﾅ 😀 −¢£¬‖ ～";
  const std::string sjis = Decode(Encoding::Utf8, typed);
  // The emoji is one geta mark; the full-width tilde is the wave dash.
  EXPECT_EQ(sjis,
            "\x83\x65\x83\x58\x83\x67\x87\x40\x81\x60\xB6\xC0\xB6\xC5 \x81\xAC "
            "\x81\x7C\x81\x91\x81\x92\x81\xCA\x81\x61 \x81\x60");
  EXPECT_EQ(Encode(Encoding::Utf8, sjis), "テスト①〜ｶﾀｶﾅ 〓 −¢£¬‖ 〜");
  EXPECT_EQ(Encode(Encoding::ShiftJis, sjis), sjis);
  EXPECT_EQ(Decode(Encoding::ShiftJis, sjis), sjis);
  // A client that recodes only the text leaves the channel name in UTF-8.
  EXPECT_EQ(Decode(Encoding::Iso2022Jp, "PRIVMSG #日本語 :\x1B$B%F\x1B(B\xB6"),
            "PRIVMSG #\x93\xFA\x96\x7B\x8C\xEA :\x83\x65\xB6");
  // Bad input becomes the geta mark, one per byte, and the text ends at NUL.
  EXPECT_EQ(Decode(Encoding::Utf8, std::string("a\xE3\x81 \xFF\0b", 7)),
            "a\x81\xAC\x81\xAC \x81\xAC");
  EXPECT_EQ(Encode(Encoding::Utf8, "\x81\x40\x80\x82"), "　〓〓");
  EXPECT_EQ(Encode(Encoding::ShiftJis, "a\x80\xFD\x82"), "a\x81\xAC\x81\xAC\x81\xAC");
  // Whatever the bytes, what goes to a client is well formed in its encoding.
  std::mt19937 random(7);
  for (int i = 0; i < 2000; ++i) {
    std::string bytes(1 + random() % 40, '\0');
    for (char& c : bytes) c = static_cast<char>(1 + random() % 255);
    EXPECT_TRUE(IsStrictUtf8(Encode(Encoding::Utf8, bytes)));
    EXPECT_TRUE(IsWellFormedSjis(Encode(Encoding::ShiftJis, bytes)));
    EXPECT_TRUE(IsWellFormedSjis(Decode(Encoding::Utf8, bytes)));
  }
}

TEST(EncodeLine, WholeJisX0208ThroughUtf8MatchesIconv) {
  int assigned = 0;
  for (int row = 1; row <= 94; ++row) {
    for (int cell = 1; cell <= 94; ++cell) {
      std::string jis = "\x1B$B";
      jis.push_back(static_cast<char>(0x20 + row));
      jis.push_back(static_cast<char>(0x20 + cell));
      jis += "\x1B(B";
      const std::optional<std::string> utf8 = Iconv("UTF-8", "ISO-2022-JP", jis);
      if (!utf8) continue;  // not a character of the set
      ++assigned;
      // A UTF-8 sender to an ISO-2022-JP receiver, and back.
      EXPECT_EQ(ToWireText(Decode(Encoding::Utf8, *utf8)), jis) << *utf8;
      EXPECT_EQ(Encode(Encoding::Utf8, FromWireText(jis)), *utf8) << row << "-" << cell;
    }
  }
  EXPECT_GE(assigned, 6800);
}

}  // namespace
}  // namespace zelkord::text
