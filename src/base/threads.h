// Starting the server's many short-lived threads cheaply: detached, with a
// small stack, so that many idle connections stay small; and kept for a
// moment once their work is done, so that clients that each say a line now
// and then (and are parked in between) do not start a thread per line.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace zelkord::base {

inline constexpr std::size_t kThreadStackBytes = 256 * 1024;
// A thread whose work is done waits this long for more before it ends, if
// fewer than kMostSpareThreads others wait already.
inline constexpr std::chrono::milliseconds kSpareThreadFor{1000};
inline constexpr int kMostSpareThreads = 256;

// Runs fn on a thread of its own: one that waits for work, or a new
// detached one with a kThreadStackBytes stack. fn's captures are destroyed
// before the thread waits for more. false when no thread could be created
// (fn is then not run). Any thread.
[[nodiscard]] bool StartDetachedThread(std::function<void()> fn);

// How many threads wait for work now. Any thread.
[[nodiscard]] int SpareThreads();

}  // namespace zelkord::base
