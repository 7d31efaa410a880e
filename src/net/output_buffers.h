// Buffer recycling for the output queues: a busy connection keeps its
// emptied buffers and reuses them instead of allocating and freeing (and
// faulting in) a buffer for every burst; a quiet one gives them back, so an
// idle connection holds none. Buffers are freed on the writer thread: freed
// on a connection thread, they would stay in its malloc cache for as long
// as it idles.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/deadline.h"
#include "base/mutex.h"

namespace zelkord::net {

class OutputQueue;

// A queue drained again within this time of its last drain is busy and keeps
// its buffers; a lone burst (a welcome, a NAMES reply) gives them back at
// once, so that many new connections do not each hold one.
inline constexpr std::chrono::milliseconds kBusyWithin{20};
// A queue that has sent nothing for this long gives its buffers back; the
// writer looks at most this often.
inline constexpr std::chrono::milliseconds kReleaseBuffersAfter{1000};
// Buffers handed over to be freed wait this long for company, so that a run
// of registrations wakes the writer once, not once per connection.
inline constexpr std::chrono::milliseconds kFreeDiscardedAfter{50};

class OutputBuffers {
 public:
  // Keeps a connection's emptied buffers until it goes quiet. true when the
  // writer thread must be woken: it sleeps without a timeout while nothing
  // is held. Any thread, holding no queue's lock.
  [[nodiscard]] bool Hold(const std::shared_ptr<OutputQueue>& connection) EXCLUDES(mutex_);
  // Takes a buffer for the writer thread to free. true when the writer
  // thread must be woken. Any thread.
  [[nodiscard]] bool Discard(std::string&& buffer) EXCLUDES(mutex_);

  // How long the writer thread may sleep before it tends the buffers again;
  // -1 for ever. The writer thread.
  [[nodiscard]] int SleepMs() const;
  // After each wake: moves the discarded buffers that have waited long
  // enough to spent, for the caller to free, and gives back the buffers of
  // queues that have sent nothing for a while. The writer thread.
  void Tend(std::vector<std::string>& spent) EXCLUDES(mutex_);

 private:
  void ReleaseIdle(base::CoarseClock::time_point now) EXCLUDES(mutex_);

  // The innermost lock.
  base::Mutex mutex_;
  std::vector<std::weak_ptr<OutputQueue>> holding_ GUARDED_BY(mutex_);
  std::vector<std::string> discarded_ GUARDED_BY(mutex_);
  // The writer thread's own. A Hold that makes the list non-empty wakes the
  // writer, so holding can only be stale towards holding, which costs one
  // timed wake-up.
  bool holdingSeen_ = false;
  // When the discarded buffers seen waiting are freed. Only a Discard into
  // an empty list wakes the writer, so until then the others come quietly.
  std::optional<std::chrono::steady_clock::time_point> freeAt_;
  base::CoarseClock::time_point lastRelease_;
};

}  // namespace zelkord::net
