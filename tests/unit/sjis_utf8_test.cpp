// Console text conversion: Shift_JIS to UTF-8 and back, one '?' per
// character that has no code on the other side.
#include "text/sjis_utf8.h"

#include <gtest/gtest.h>

namespace zelkord::text {
namespace {

TEST(TextConversion, RoundTripsJapanese) {
  const std::string sjis = "\x93\xfa\x96\x7b\x8c\xea abc \xb1";  // 日本語 abc ｱ
  EXPECT_EQ(SjisToDisplayUtf8(sjis), "日本語 abc ｱ");
  EXPECT_EQ(DisplayUtf8ToSjis("日本語 abc ｱ"), sjis);
}

TEST(TextConversion, OneQuestionMarkPerMissingCharacter) {
  EXPECT_EQ(DisplayUtf8ToSjis("a€b😀c"), "a?b?c");
  EXPECT_EQ(SjisToDisplayUtf8("a\x81"), "a?");  // a lone lead byte at the end
}

}  // namespace
}  // namespace zelkord::text
