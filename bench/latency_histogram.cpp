// Log-linear latency buckets: see the header for the layout.
#include "latency_histogram.h"

#include <bit>
#include <cmath>

namespace zelkord::bench {

LatencyHistogram::LatencyHistogram() : counts_(kBucketCount, 0) {}

std::size_t LatencyHistogram::BucketOf(std::uint64_t value) {
  if (value < kLinearLimit) return static_cast<std::size_t>(value);
  const int exponent = 63 - std::countl_zero(value);
  const int shift = exponent - kSubBucketBits;
  const std::uint64_t mantissa = (value >> shift) & (kSubBuckets - 1);
  return static_cast<std::size_t>(
      kLinearLimit + static_cast<std::uint64_t>(exponent - kSubBucketBits - 1) * kSubBuckets +
      mantissa);
}

std::uint64_t LatencyHistogram::BucketUpper(std::size_t bucket) {
  if (bucket < kLinearLimit) return bucket;
  const std::uint64_t above = bucket - kLinearLimit;
  const int shift = static_cast<int>(above / kSubBuckets) + 1;
  const std::uint64_t mantissa = above % kSubBuckets;
  const std::uint64_t lower = (kSubBuckets + mantissa) << shift;
  return lower + ((std::uint64_t{1} << shift) - 1);
}

void LatencyHistogram::Add(std::uint64_t nanoseconds) {
  ++counts_[BucketOf(nanoseconds)];
  ++count_;
  if (nanoseconds > max_) max_ = nanoseconds;
}

std::uint64_t LatencyHistogram::Quantile(double q) const {
  if (count_ == 0) return 0;
  if (q < 0) q = 0;
  if (q > 1) q = 1;
  auto rank = static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_)));
  if (rank == 0) rank = 1;
  std::uint64_t seen = 0;
  for (std::size_t bucket = 0; bucket < counts_.size(); ++bucket) {
    seen += counts_[bucket];
    if (seen >= rank) {
      const std::uint64_t upper = BucketUpper(bucket);
      return upper < max_ ? upper : max_;
    }
  }
  return max_;
}

}  // namespace zelkord::bench
