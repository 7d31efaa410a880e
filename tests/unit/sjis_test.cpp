// Upper-casing of Shift_JIS text: ASCII letters fold, trail bytes never do.
#include "base/sjis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelkord::base {
namespace {

struct FoldCase {
  std::string input;
  std::string expected;
};

TEST(UpperCase, FoldsAsciiAndLeavesTrailBytes) {
  const std::vector<FoldCase> cases = {
      {"", ""},
      {"join", "JOIN"},
      {"PrivMsg", "PRIVMSG"},
      {"{|}~`@[", "{|}~`@["},
      {"\x83\x61", "\x83\x61"},          // trail 'a' after a lead byte stays
      {"a\x83\x61z", "A\x83\x61Z"},      // letters around a pair fold
      {"\x81\x7A", "\x81\x7A"},          // lowest lead byte
      {"\x9F\x61", "\x9F\x61"},          // top of the first lead range
      {"\xE0\x61", "\xE0\x61"},          // second lead range starts
      {"\xFC\x61", "\xFC\x61"},          // last lead byte
      {"\x80\x61", "\x80\x41"},          // 0x80 is no lead byte
      {"\xA0\x61", "\xA0\x41"},          // neither is 0xA0
      {"\xDF\x61", "\xDF\x41"},          // half-width katakana is single
      {"\xFD\x61", "\xFD\x41"},          // above the lead range
      {"\x81\x81\x61", "\x81\x81\x41"},  // a lead byte as trail, then a letter
      {"ab\x81", "AB\x81"},              // lead byte with no trail at the end
  };
  for (const FoldCase& c : cases) {
    EXPECT_EQ(base::UpperCase(c.input), c.expected) << "input " << testing::PrintToString(c.input);
    std::string inPlace = c.input;
    base::UpperCaseInPlace(inPlace);
    EXPECT_EQ(inPlace, c.expected);
  }
}

TEST(EqualsFolded, MatchesUpperCaseComparison) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"nick", "NICK"},
      {"Nick", "nicK"},
      {"nick", "nick2"},
      {"", ""},
      {"\x83\x61", "\x83\x41"},  // trail bytes differ: not equal
      {"\x83\x61", "\x83\x61"},
      {"a\x83\x61", "A\x83\x61"},
      {"\x83\x61z", "\x83\x61Z"},
      {"\x41\x61", "\x83\x61"},  // trail in one text, letter in the other
      {"ab\x81", "AB\x81"},
  };
  for (const auto& [a, b] : pairs) {
    EXPECT_EQ(base::EqualsFolded(a, b), base::UpperCase(a) == base::UpperCase(b))
        << testing::PrintToString(a) << " vs " << testing::PrintToString(b);
  }
  EXPECT_TRUE(base::EqualsFolded("zelknik", "ZELKNIK"));
  EXPECT_FALSE(base::EqualsFolded("\x83\x61", "\x83\x41"));
}

}  // namespace
}  // namespace zelkord::base
