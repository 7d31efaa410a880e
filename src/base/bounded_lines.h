// Bounded views, as the window keeps them: a view that already holds more
// than its bound loses its first entry before one is added, so it ends up
// holding bound + 1 entries at most. A ring whose slots are reused, so a full
// view takes new entries without allocating.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zelkord::base {

template <typename T>
class BoundedRing {
 public:
  explicit BoundedRing(std::size_t bound = 200) : bound_(bound) {}

  // The slot the newest entry goes into: a new, value-initialized one while
  // the view is not yet full, then the oldest entry's, for the caller to
  // overwrite.
  T& Next() {
    if (ring_.size() <= bound_) {
      // Grown in two steps (2, then 16 entries) before it doubles: the arrays
      // a growing ring gives up are freed on the appending thread, and an
      // idle connection thread would keep them in its malloc cache.
      if (ring_.size() == ring_.capacity() && ring_.capacity() < kSecondStep) {
        ring_.reserve(std::min(bound_ + 1, ring_.capacity() == 0 ? kFirstStep : kSecondStep));
      }
      return ring_.emplace_back();
    }
    T& oldest = ring_[start_];
    start_ = start_ + 1 == ring_.size() ? 0 : start_ + 1;
    return oldest;
  }
  void Clear() {
    ring_.clear();
    start_ = 0;
  }
  [[nodiscard]] std::size_t Size() const { return ring_.size(); }
  [[nodiscard]] std::size_t Bound() const { return bound_; }
  // Entry i, oldest first.
  [[nodiscard]] const T& At(std::size_t i) const { return ring_[(start_ + i) % ring_.size()]; }

 private:
  static constexpr std::size_t kFirstStep = 2;
  static constexpr std::size_t kSecondStep = 16;

  std::size_t bound_;
  std::vector<T> ring_;
  std::size_t start_ = 0;  // index of the oldest entry once the ring is full
};

// A bounded view of text lines; a full view copies a new line into the
// storage of the line it drops.
class BoundedLines : public BoundedRing<std::string> {
 public:
  using BoundedRing::BoundedRing;

  void Append(std::string_view line) { Next().assign(line); }
  [[nodiscard]] std::vector<std::string> Copy() const {
    std::vector<std::string> lines;
    lines.reserve(Size());
    for (std::size_t i = 0; i < Size(); ++i) lines.push_back(At(i));
    return lines;
  }
};

}  // namespace zelkord::base
