// Time left until a deadline, in the milliseconds poll and epoll take, and
// a cheap clock for stamps that only need milliseconds.
#pragma once

#include <time.h>

#include <chrono>

namespace zelkord::base {

// Milliseconds from now until when, rounded up so a wait is never early; at
// least 0. Any thread.
[[nodiscard]] inline int MillisecondsUntil(std::chrono::steady_clock::time_point when) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The monotonic clock at the kernel's tick (1-10 ms). Reading it skips the
// hardware clock, which is slow to read under a hypervisor, for stamps taken
// once per send. Any thread.
struct CoarseClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<CoarseClock>;
  static constexpr bool is_steady = true;

  [[nodiscard]] static time_point now() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
  }
};

}  // namespace zelkord::base
