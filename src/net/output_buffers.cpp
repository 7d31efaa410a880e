// Keeping, giving back and freeing the output queues' buffers.
#include "net/output_buffers.h"

#include "net/output_queue.h"

namespace zelkord::net {

bool OutputBuffers::Hold(const std::shared_ptr<OutputQueue>& connection) {
  base::MutexLock lock(mutex_);
  const bool first = holding_.empty();
  holding_.push_back(connection);
  return first;
}

bool OutputBuffers::Discard(std::string&& buffer) {
  base::MutexLock lock(mutex_);
  const bool first = discarded_.empty();
  discarded_.push_back(std::move(buffer));
  return first;
}

int OutputBuffers::SleepMs() const {
  int timeoutMs = holdingSeen_ ? static_cast<int>(kReleaseBuffersAfter.count()) : -1;
  if (freeAt_) {
    const int untilFree = base::MillisecondsUntil(*freeAt_);
    if (timeoutMs < 0 || untilFree < timeoutMs) timeoutMs = untilFree;
  }
  return timeoutMs;
}

void OutputBuffers::Tend(std::vector<std::string>& spent) {
  const auto now = std::chrono::steady_clock::now();
  {
    base::MutexLock lock(mutex_);
    if (discarded_.empty()) {
      freeAt_.reset();
    } else if (!freeAt_) {
      freeAt_ = now + kFreeDiscardedAfter;
    } else if (now >= *freeAt_) {
      spent.swap(discarded_);
      freeAt_.reset();
    }
    holdingSeen_ = !holding_.empty();
  }
  if (holdingSeen_) {
    const auto coarseNow = base::CoarseClock::now();
    if (coarseNow - lastRelease_ >= kReleaseBuffersAfter) ReleaseIdle(coarseNow);
  }
}

void OutputBuffers::ReleaseIdle(base::CoarseClock::time_point now) {
  lastRelease_ = now;
  std::vector<std::weak_ptr<OutputQueue>> held;
  {
    base::MutexLock lock(mutex_);
    held.swap(holding_);
  }
  std::size_t kept = 0;
  for (auto& weak : held) {
    const std::shared_ptr<OutputQueue> connection = weak.lock();
    if (!connection) continue;
    OutputQueue& c = *connection;
    base::MutexLock lock(c.mutex_);
    // Not scheduled means nothing is queued and nobody is sending, and no
    // one can start without this lock.
    if (c.scheduled_ || now - c.lastSend_ < kReleaseBuffersAfter) {
      held[kept++] = std::move(weak);
      continue;
    }
    std::string().swap(c.queue_);
    std::string().swap(c.outgoing_);
    std::string().swap(c.sealing_);
    c.holdsBuffers_ = false;
  }
  held.resize(kept);
  base::MutexLock lock(mutex_);
  for (auto& weak : held) holding_.push_back(std::move(weak));
}

}  // namespace zelkord::net
