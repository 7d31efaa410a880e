// Waiting for a condition with a deadline: the one way tests wait for
// something another thread or process does.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace zelkord::testing {

// Polls done() briefly until it is true (true) or the deadline passes (false).
[[nodiscard]] inline bool WaitUntil(const std::function<bool()>& done,
                                    std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace zelkord::testing
