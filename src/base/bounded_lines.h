// A bounded list of text lines, as the views keep them: a view that already
// holds more than its bound loses its first line before a line is added, so
// it ends up holding bound + 1 lines at most. A ring of strings whose
// storage is reused, so a full view takes new lines without allocating.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zelkord::base {

class BoundedLines {
 public:
  explicit BoundedLines(std::size_t bound = 200) : bound_(bound) {}

  void Append(std::string_view line) {
    if (ring_.size() <= bound_) {
      // Grown in two steps (2, then 16 lines) before it doubles: the arrays
      // a growing ring gives up are freed on the appending thread, and an
      // idle connection thread would keep them in its malloc cache.
      if (ring_.size() == ring_.capacity() && ring_.capacity() < kSecondStep) {
        ring_.reserve(std::min(bound_ + 1, ring_.capacity() == 0 ? kFirstStep : kSecondStep));
      }
      ring_.emplace_back(line);
      return;
    }
    ring_[start_].assign(line);  // the oldest line's storage takes the newest
    start_ = (start_ + 1) % ring_.size();
  }
  void Clear() {
    ring_.clear();
    start_ = 0;
  }
  [[nodiscard]] std::size_t Size() const { return ring_.size(); }
  [[nodiscard]] std::size_t Bound() const { return bound_; }
  // Line i, oldest first.
  [[nodiscard]] const std::string& At(std::size_t i) const {
    return ring_[(start_ + i) % ring_.size()];
  }
  [[nodiscard]] std::vector<std::string> Copy() const {
    std::vector<std::string> lines;
    lines.reserve(ring_.size());
    for (std::size_t i = 0; i < ring_.size(); ++i) lines.push_back(At(i));
    return lines;
  }

 private:
  static constexpr std::size_t kFirstStep = 2;
  static constexpr std::size_t kSecondStep = 16;

  std::size_t bound_;
  std::vector<std::string> ring_;
  std::size_t start_ = 0;  // index of the oldest line once the ring is full
};

}  // namespace zelkord::base
