// The border between Shift_JIS texts and colour values and Qt's types.
#include "window/qt/qt_text.h"

#include <gtest/gtest.h>

#include "config/settings.h"

namespace zelkord::testing {
namespace {

using namespace window::qt;

TEST(WithTrailingSeparator, AppendsTheSeparatorOnlyWhenMissing) {
  const struct {
    const char* chosen;
    const char* field;
  } cases[] = {
      {"logs/chat", "logs/chat/"}, {"logs/chat/", "logs/chat/"}, {"/", "/"}, {"", ""},
      {"logs", "logs/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WithTrailingSeparator(QString::fromLatin1(c.chosen)), QString::fromLatin1(c.field));
  }
}

TEST(ColorValue, ChosenColoursWriteAsTheirIdentifierOrHex) {
  const struct {
    QColor chosen;
    const char* text;
  } cases[] = {
      {QColor(0, 0, 0), "clBlack"},
      {QColor(255, 0, 0), "clRed"},
      {QColor(0, 0, 255), "clBlue"},
      {QColor(128, 128, 128), "clGray"},
      {QColor(0x12, 0x34, 0x56), "$00563412"},
      {QColor(255, 255, 254), "$00FEFFFF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(config::ColorToText(ColorValue(c.chosen)), c.text);
    EXPECT_EQ(ToQColor(*config::ColorFromText(c.text)), c.chosen) << c.text;
  }
}

TEST(ToQColor, SystemColoursShowInTheLightTheme) {
  EXPECT_EQ(ToQColor(*config::ColorFromText("clWindow")), QColor(255, 255, 255));
  EXPECT_EQ(ToQColor(*config::ColorFromText("clWindowText")), QColor(0, 0, 0));
}

TEST(ToQt, ConvertsShiftJisBothWays) {
  const std::string kana = "\xBB\xB0\xCA\xDE\xB0";  // ｻｰﾊﾞｰ
  const std::string kanji = "\x92\xCA\x90M";        // 通信
  EXPECT_EQ(ToQt(kana), QString::fromUtf8("ｻｰﾊﾞｰ"));
  EXPECT_EQ(ToQt(kanji), QString::fromUtf8("通信"));
  EXPECT_EQ(FromQt(ToQt(kana + kanji)), kana + kanji);
  // A lone lead byte is shown, not lost with what follows.
  EXPECT_EQ(ToQt("a\x82"), QStringLiteral("a?"));
}

TEST(JoinToQt, JoinsFromTheFirstLineAsked) {
  const std::vector<std::string> lines{"a",
                                       "\x83"
                                       "e",
                                       "c"};
  EXPECT_EQ(JoinToQt(lines), QString::fromUtf8("a\nテ\nc"));
  EXPECT_EQ(JoinToQt(lines, 2), QStringLiteral("c"));
  EXPECT_EQ(JoinToQt(lines, 3), QString());
}

TEST(TabText, KeepsAmpersandsFromBecomingShortcuts) {
  EXPECT_EQ(TabText("  #a&b"), QStringLiteral("  #a&&b"));
}

}  // namespace
}  // namespace zelkord::testing
