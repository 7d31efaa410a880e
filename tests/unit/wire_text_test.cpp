// Shift_JIS <-> ISO-2022-JP: exact byte vectors at the table edges, stray
// escapes, text cut at NUL, and round trips over every convertible pair.
#include "text/wire_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelkord::text {
namespace {

const std::string kIn = "\x1B$B";   // enter double-byte mode
const std::string kOut = "\x1B(B";  // back to single-byte mode

struct WireCase {
  std::string sjis;
  std::string wire;
};

TEST(ToWireText, ExactBytes) {
  const std::vector<WireCase> cases = {
      {"", ""},
      {"PRIVMSG #a :hello", "PRIVMSG #a :hello"},
      {"\x81\x40", kIn + "\x21\x21" + kOut},  // first pair of the table
      {"\x87\x40", kIn + "\x2D\x21" + kOut},  // a pair strict converters refuse
      {"\x9F\xFC", kIn + "\x5E\x7E" + kOut},  // end of the first lead range
      {"\xE0\x40", kIn + "\x5F\x21" + kOut},  // start of the second lead range
      {"\xEF\xFC", kIn + "\x7E\x7E" + kOut},  // last pair
      {"\x82\x7E", kIn + "\x23\x5F" + kOut},  // trail 0x7E
      {"\x82\x80", kIn + "\x23\x60" + kOut},  // trail 0x80
      {"\x82\x9E", kIn + "\x23\x7E" + kOut},  // trail 0x9E
      {"\x82\x9F", kIn + "\x24\x21" + kOut},  // trail 0x9F moves to the even row
      {"\x82\x7F", "\x82\x7F"},               // 0x7F is no trail: both single
      {"\x82\x3F", "\x82\x3F"},               // below the trail range
      {"\x82\xFD", "\x82\xFD"},               // above the trail range
      {"\xF0\x40", "\xF0\x40"},               // user-defined lead bytes pass unchanged
      {"\x80\x40", "\x80\x40"},
      {"\xB1\xDF", "\xB1\xDF"},  // half-width katakana stays 8-bit
      {"\x82\xA0\xB1", kIn + "\x24\x22" + kOut + "\xB1"},
      {"a\x82", "a\x82"},                                  // lone lead byte at the end
      {"\x82\xA0\x82", kIn + "\x24\x22" + kOut + "\x82"},  // ... after a pair
      {"\x82\xA0\x82\xA2", kIn + "\x24\x22\x24\x24" + kOut},
      {"\x82\xA0z\x82\xA2", kIn + "\x24\x22" + kOut + "z" + kIn + "\x24\x24" + kOut},
      {"\x82\x82\xA0", kIn + "\x23\x62" + kOut + "\xA0"},  // a lead byte can be a trail
      {std::string("a\0\x82\xA0", 4), "a"},                // the text ends at NUL
  };
  for (const WireCase& c : cases) {
    EXPECT_EQ(text::ToWireText(c.sjis), c.wire) << "input " << testing::PrintToString(c.sjis);
  }
}

TEST(ToWireText, ReusesCallerBuffer) {
  std::string out = "stale";
  text::ToWireText("\x82\xA0", out);
  EXPECT_EQ(out, kIn + "\x24\x22" + kOut);
  text::ToWireText("", out);
  EXPECT_EQ(out, "");
}

TEST(FromWireText, ExactBytes) {
  const std::vector<WireCase> cases = {
      {"", ""},
      {"abc", "abc"},
      {"\x81\x40", kIn + "\x21\x21" + kOut},
      {"\x82\xA0x", kIn + "\x24\x22" + kOut + "x"},
      {"\x82\xA0", kIn + "\x24\x22"},  // still double-byte at the end
      {"\x82\x7E", kIn + "\x24"},      // J1 last: pairs with the zero
      {"\x83\x1F", kIn + "\x25"},
      {"ab", "\x1B(Jab"},            // JIS Roman is read as ASCII
      {"\x81\x40", "\x1B$@!!"},      // the 1978 kanji set as the 1983 one
      {"\xB1\xDF a", "\x1B(I1_ a"},  // 7-bit katakana as the 8-bit ones
      {"\x1B(Xa", "\x1B(Xa"},        // other escapes pass through
      {"\x1B(B", "\x1B(B"},          // ESC ( B in single-byte mode
      {"\x1B\x1Bq", "\x1B\x1Bq"},
      {"ab", kIn + "\x1B(Jab"},  // leaves double-byte mode
      {"\x81\x40\xB1", kIn + "!!\x1B(I1"},
      {"\x1B$B!!", kIn + "\x1B$B!!"},  // ... also for ESC $ B itself
      {"\x1Bq!!", kIn + "\x1Bq!!"},
      {"a", "a\x1B"},  // an unfinished escape is dropped
      {"a", "a\x1B$"},
      {"\x82\xA0", kIn + "\x24\x22\x1B"},
      {"\x82\xA0", kIn + "\x24\x22\x1B("},
      {"\x82\x99", kIn + "\x24\x1B"},          // ESC as J2 belongs to the pair
      {"ab", std::string("ab\0cd", 5)},        // the text ends at NUL
      {"", kIn + "\x9F\x21" + kOut + "tail"},  // a computed zero ends the text
      {"x\x88", "x" + kIn + "\x30\x82" + kOut},
  };
  for (const WireCase& c : cases) {
    EXPECT_EQ(text::FromWireText(c.wire), c.sjis) << "input " << testing::PrintToString(c.wire);
  }
}

TEST(FromWireText, OutputNeverExceedsInputByMoreThanOne) {
  const std::vector<std::string> inputs = {kIn + "\x24", kIn + "\x24\x22", "a\x1B$x", "\x1B(Jq",
                                           kIn + "!!!"};
  for (const std::string& input : inputs) {
    EXPECT_LE(text::FromWireText(input).size(), input.size() + 1) << testing::PrintToString(input);
  }
}

std::vector<std::string> AllConvertiblePairs() {
  std::vector<std::string> pairs;
  for (int lead = 0x81; lead <= 0xEF; ++lead) {
    if (lead > 0x9F && lead < 0xE0) continue;
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      if (trail == 0x7F) continue;
      pairs.push_back({static_cast<char>(lead), static_cast<char>(trail)});
    }
  }
  return pairs;
}

TEST(WireText, EveryPairRoundTrips) {
  std::string wire;
  std::string back;
  for (const std::string& pair : AllConvertiblePairs()) {
    text::ToWireText(pair, wire);
    ASSERT_EQ(wire.size(), 8u) << testing::PrintToString(pair);
    EXPECT_EQ(wire.substr(0, 3), kIn);
    EXPECT_EQ(wire.substr(5), kOut);
    for (int i = 3; i < 5; ++i) {
      const auto jis = static_cast<unsigned char>(wire[i]);
      EXPECT_TRUE(jis >= 0x21 && jis <= 0x7E) << testing::PrintToString(pair);
    }
    text::FromWireText(wire, back);
    EXPECT_EQ(back, pair);
  }
}

TEST(WireText, EveryJisPairRoundTrips) {
  for (int j1 = 0x21; j1 <= 0x7E; ++j1) {
    for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
      const std::string wire = kIn + static_cast<char>(j1) + static_cast<char>(j2) + kOut;
      EXPECT_EQ(text::ToWireText(text::FromWireText(wire)), wire) << j1 << " " << j2;
    }
  }
}

TEST(WireText, MixedLineRoundTrips) {
  std::string sjis = "PRIVMSG #a :";
  for (const std::string& pair : AllConvertiblePairs()) {
    sjis += pair;
    if (static_cast<unsigned char>(pair[1]) % 16 == 0) sjis += "x\xB1 ";
  }
  EXPECT_EQ(text::FromWireText(text::ToWireText(sjis)), sjis);
}

}  // namespace
}  // namespace zelkord::text
