// Counters that many threads add to without taking a lock or sharing a
// cache line: each thread adds to one of a few padded shards, and a reader
// sums the shards. The totals are for metrics, read now and then; an add
// is one relaxed atomic add on a line the thread mostly has to itself.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zelkord::base {

inline constexpr std::size_t kCounterShards = 8;

// The shard this thread adds to, given out in turn as threads first count.
// Any thread.
[[nodiscard]] inline std::size_t CounterShardOfThread() {
  static std::atomic<std::size_t> next{0};
  thread_local const std::size_t shard =
      next.fetch_add(1, std::memory_order_relaxed) % kCounterShards;
  return shard;
}

// One counter for each value of the enum Kind before its last, Kind::Count,
// side by side in each shard: counters usually added to together.
template <typename Kind>
class Counters {
 public:
  // Adds amount to counter which. Any thread.
  void Add(Kind which, std::uint64_t amount = 1) {
    shards_[CounterShardOfThread()].values[Index(which)].fetch_add(amount,
                                                                   std::memory_order_relaxed);
  }
  // Counter which as the sum of its shards: exact once the adders stop,
  // otherwise a value it held at some moment during the call or near it.
  // Any thread.
  [[nodiscard]] std::uint64_t Total(Kind which) const {
    std::uint64_t total = 0;
    for (const Shard& shard : shards_) {
      total += shard.values[Index(which)].load(std::memory_order_relaxed);
    }
    return total;
  }

 private:
  static constexpr std::size_t Index(Kind which) { return static_cast<std::size_t>(which); }
  struct alignas(64) Shard {
    std::array<std::atomic<std::uint64_t>, Index(Kind::Count)> values{};
  };
  std::array<Shard, kCounterShards> shards_{};
};

}  // namespace zelkord::base
