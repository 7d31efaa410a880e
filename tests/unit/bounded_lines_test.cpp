// Bounded views: bound + 1 lines at most, oldest dropped first, order kept
// across the ring's wrap.
#include "base/bounded_lines.h"

#include <gtest/gtest.h>

namespace zelkord::base {
namespace {

TEST(BoundedLines, KeepsTheLastBoundPlusOneInOrder) {
  base::BoundedLines view(200);
  for (int i = 1; i <= 250; ++i) view.Append("line " + std::to_string(i));
  ASSERT_EQ(view.Size(), 201u);
  const auto lines = view.Copy();
  EXPECT_EQ(lines.front(), "line 50");
  EXPECT_EQ(lines.back(), "line 250");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], "line " + std::to_string(50 + i));
  }
}

TEST(BoundedLines, ZeroBoundKeepsOneLine) {
  base::BoundedLines view(0);
  view.Append("a");
  view.Append("b");
  EXPECT_EQ(view.Copy(), std::vector<std::string>{"b"});
  view.Clear();
  EXPECT_EQ(view.Size(), 0u);
  view.Append("c");
  EXPECT_EQ(view.At(0), "c");
}

}  // namespace
}  // namespace zelkord::base
