// The bounded line views: the document follows the list by dropping lines
// from the top and appending, keeps a reader's place, renders hidden views
// only when shown, and shows Shift_JIS text correctly.
#include "window/qt/line_view.h"

#include <gtest/gtest.h>

#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

namespace zelkord::testing {
namespace {

using window::qt::LineView;

std::vector<std::string> Numbered(int from, int to) {
  std::vector<std::string> lines;
  for (int i = from; i < to; ++i) lines.push_back("line " + std::to_string(i));
  return lines;
}

TEST(LineView, FollowsTheListThroughEveryKindOfChange) {
  LineView view;
  view.show();
  const struct {
    std::vector<std::string> lines;
    const char* shown;
  } steps[] = {
      {{"a", "b", "c"}, "a\nb\nc"},
      {{"b", "c", "d", "e"}, "b\nc\nd\ne"},  // one dropped, two appended
      {{"b", "c", "d", "e", "f"}, "b\nc\nd\ne\nf"},
      {{"x"}, "x"},  // nothing shared: rebuilt
      {{"x", "x", "x"}, "x\nx\nx"},
      {{"x", "x", "x", "x"}, "x\nx\nx\nx"},  // repeated lines
      {{"x", "y", "x"}, "x\ny\nx"},
      {{"y", "x", "z"}, "y\nx\nz"},
      {{}, ""},
  };
  for (const auto& step : steps) {
    view.SetLines(step.lines);
    EXPECT_EQ(view.toPlainText(), QString::fromLatin1(step.shown));
    EXPECT_EQ(view.RenderedLines(), static_cast<int>(step.lines.size()));
  }
}

TEST(LineView, ShowsShiftJisText) {
  LineView view;
  view.show();
  view.SetLines(
      {"\x83"
       "e\x83X\x83g",
       "\xB6\xC5"});
  EXPECT_EQ(view.toPlainText(), QString::fromUtf8("テスト\nｶﾅ"));
}

TEST(LineView, HiddenViewRendersWhenShown) {
  LineView view;
  view.SetLines(Numbered(0, 3));
  EXPECT_EQ(view.RenderedLines(), 0);
  EXPECT_EQ(view.Lines().size(), 3u);
  view.show();
  EXPECT_EQ(view.RenderedLines(), 3);
}

TEST(LineView, KeepsAReadersPlaceAndFollowsTheBottomOtherwise) {
  LineView view;
  view.resize(200, 100);
  view.show();
  view.SetLines(Numbered(0, 100));
  QScrollBar* bar = view.verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  view.SetLines(Numbered(1, 101));
  EXPECT_EQ(bar->value(), bar->maximum());
  bar->setValue(10);
  view.SetLines(Numbered(2, 102));
  EXPECT_LE(bar->value(), 10);
  EXPECT_LT(bar->value(), bar->maximum());
}

TEST(LineView, LeftPressAsksForTheMenuOnlyWhenSetTo) {
  LineView view;
  view.SetLines(Numbered(0, 3));
  view.show();
  QSignalSpy pressed(&view, &LineView::leftPressed);
  QTest::mouseClick(view.viewport(), Qt::LeftButton);
  EXPECT_EQ(pressed.count(), 0);
  view.SetLeftPressMenu(true);
  QTest::mouseClick(view.viewport(), Qt::LeftButton);
  EXPECT_EQ(pressed.count(), 1);
}

}  // namespace
}  // namespace zelkord::testing
