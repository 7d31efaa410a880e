// Time left until a deadline, in the milliseconds poll and epoll take.
#pragma once

#include <chrono>

namespace zelkord::base {

// Milliseconds from now until when, rounded up so a wait is never early; at
// least 0. Any thread.
[[nodiscard]] inline int MillisecondsUntil(std::chrono::steady_clock::time_point when) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace zelkord::base
