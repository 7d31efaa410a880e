// Starting the server's many short-lived threads cheaply: detached, with a
// small stack, so that many idle connections stay small.
#pragma once

#include <cstddef>
#include <functional>

namespace zelkord::base {

inline constexpr std::size_t kThreadStackBytes = 256 * 1024;

// Starts fn on a detached thread with a kThreadStackBytes stack. false when
// the thread could not be created (fn is then not run). Any thread.
[[nodiscard]] bool StartDetachedThread(std::function<void()> fn);

}  // namespace zelkord::base
