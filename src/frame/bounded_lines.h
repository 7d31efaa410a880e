// A bounded list of text lines, as the views keep them: a view that already
// holds more than its bound loses its first line before a line is added, so
// it ends up holding bound + 1 lines at most.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace zelkord::frame {

class BoundedLines {
 public:
  explicit BoundedLines(std::size_t bound = 200) : bound_(bound) {}

  void Append(std::string_view line) {
    if (lines_.size() > bound_) lines_.pop_front();
    lines_.emplace_back(line);
  }
  void Clear() { lines_.clear(); }
  [[nodiscard]] std::size_t Size() const { return lines_.size(); }
  [[nodiscard]] std::size_t Bound() const { return bound_; }
  [[nodiscard]] const std::deque<std::string>& Lines() const { return lines_; }
  [[nodiscard]] std::vector<std::string> Copy() const { return {lines_.begin(), lines_.end()}; }

 private:
  std::size_t bound_;
  std::deque<std::string> lines_;
};

}  // namespace zelkord::frame
