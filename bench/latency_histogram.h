// A fixed-size latency histogram for the load generator: log-linear buckets
// (exact below 256 ns, then 128 buckets per power of two, under 0.8 %
// relative error), so millions of samples cost no memory growth and the
// quantiles come out without sorting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelkord::bench {

inline constexpr int kSubBucketBits = 7;
inline constexpr std::uint64_t kSubBuckets = std::uint64_t{1} << kSubBucketBits;
inline constexpr std::uint64_t kLinearLimit = 2 * kSubBuckets;
inline constexpr std::size_t kBucketCount = kLinearLimit + (64 - kSubBucketBits - 1) * kSubBuckets;

class LatencyHistogram {
 public:
  LatencyHistogram();

  // Records one latency in nanoseconds. Single thread.
  void Add(std::uint64_t nanoseconds);

  // Number of samples recorded. Single thread.
  [[nodiscard]] std::uint64_t Count() const { return count_; }

  // Largest sample recorded, exactly; 0 when empty. Single thread.
  [[nodiscard]] std::uint64_t Max() const { return max_; }

  // The value below or at which the fraction q (0 to 1) of the samples lie:
  // the upper edge of the bucket holding that rank, never above Max(). 0 when
  // empty. Single thread.
  [[nodiscard]] std::uint64_t Quantile(double q) const;

  // Bucket index of a value, and the largest value that bucket holds. Any
  // thread.
  [[nodiscard]] static std::size_t BucketOf(std::uint64_t value);
  [[nodiscard]] static std::uint64_t BucketUpper(std::size_t bucket);

 private:
  std::vector<std::uint64_t> counts_;
  std::uint64_t count_ = 0;
  std::uint64_t max_ = 0;
};

}  // namespace zelkord::bench
