// Output queues and the writer thread that sends them.
#include "net/output_queue.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif
#include <liburing.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>

#include "base/deadline.h"

namespace zelkord::net {
namespace {

// Connections this thread queued into that still have to be handed over,
// and those it pushed past the backpressure mark.
thread_local std::vector<std::shared_ptr<OutputQueue>> tPending;
thread_local std::vector<std::shared_ptr<OutputQueue>> tCongested;
thread_local bool tInlineSends = true;

constexpr int kMaxEvents = 64;
constexpr std::size_t kQueueFirstBytes = 1024;
// A queue drained again within this time of its last drain is busy and keeps
// its buffers; a lone burst (a welcome, a NAMES reply) gives them back at
// once, so that many new connections do not each hold one.
constexpr std::chrono::milliseconds kBusyWithin{20};
// A queue that has sent nothing for this long gives its buffers back, so an
// idle connection holds none; the writer looks at most this often.
constexpr std::chrono::milliseconds kReleaseBuffersAfter{1000};
// Buffers handed over to be freed wait this long for company, so that a run
// of registrations wakes the writer once, not once per connection.
constexpr std::chrono::milliseconds kFreeDiscardedAfter{50};

// Entries of a send ring: a line to a channel of this many members goes to
// the kernel in one submission, a larger channel in several.
constexpr unsigned kRingEntries = 64;
// The rings kept: as many as threads that can send at once, at most this.
constexpr unsigned kMostRings = 8;
// Fewer connections than this are sent one send() each: a submission and
// its completions cost more than a send or two.
constexpr std::size_t kLeastBatch = 2;

bool DetectPrefetchForWrite() {
#if defined(__x86_64__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(0x80000001, &a, &b, &c, &d) != 0 && (c & bit_PRFCHW) != 0;
#else
  return false;
#endif
}

}  // namespace

const bool kHasPrefetchForWrite = DetectPrefetchForWrite();

void AllowInlineSends(bool allow) {
  tInlineSends = allow;
}

void FlushPendingOutput() {
  if (tPending.empty() && tCongested.empty()) return;
  std::vector<std::shared_ptr<OutputQueue>> pending;
  pending.swap(tPending);
  // Normally every connection belongs to the same server, and so the same
  // writer: one hand-over for all of them.
  std::vector<std::shared_ptr<OutputQueue>> batch;
  batch.reserve(pending.size());
  for (std::size_t i = 0; i < pending.size(); ++i) {
    batch.push_back(std::move(pending[i]));
    if (i + 1 == pending.size() || &pending[i + 1]->writer_ != &batch.front()->writer_) {
      OutputWriter& writer = batch.front()->writer_;
      if (!writer.Schedule(batch, tInlineSends)) {
        // The writer is idle: this thread sends the lines itself, as an
        // event loop would, instead of paying for a hand-over and a wake-up.
        writer.PumpAll(batch, false);
        writer.DonePumping();
      }
      batch.clear();
    }
  }
  // The list keeps its storage: a thread queues to much the same members
  // line after line, and would otherwise grow it afresh for each.
  pending.clear();
  if (tPending.empty()) tPending.swap(pending);
  std::vector<std::shared_ptr<OutputQueue>> congested;
  congested.swap(tCongested);
  for (const auto& connection : congested) connection->AwaitProgress();
}

OutputQueue::OutputQueue(int socket, OutputWriter& writer, std::size_t capacity)
    : socket_(socket), capacity_(capacity), writer_(writer) {
  base::MutexLock lock(mutex_);
  lastSend_ = base::CoarseClock::now();
}

OutputQueue::~OutputQueue() {
  base::MutexLock lock(mutex_);
  if (!closed_ && socket_ >= 0) close(socket_);
}

bool OutputQueue::Enqueue(std::string_view wireLine) {
  bool handOver = false;
  bool congested = false;
  {
    base::MutexLock lock(mutex_);
    if (dead_) return false;
    if (pending_ + wireLine.size() + 2 > capacity_) {
      // A peer that does not read must not make the server hold unbounded
      // output for it: drop the connection instead.
      dead_ = true;
      queue_.clear();
      pending_ = 0;
      shutdown(socket_, SHUT_RDWR);
      return false;
    }
    // A burst (a welcome, a NAMES reply) fills one buffer, which the writer
    // thread frees once sent, instead of a chain of smaller ones freed on
    // this thread and kept in its malloc cache while the connection idles.
    if (queue_.empty() && queue_.capacity() < kQueueFirstBytes) queue_.reserve(kQueueFirstBytes);
    queue_.append(wireLine).append("\r\n");
    appendAt_.store(queue_.data() + queue_.size(), std::memory_order_relaxed);
    pending_ += wireLine.size() + 2;
    if (!scheduled_) {
      scheduled_ = true;
      handOver = true;
    }
    congested = pending_ > kBackpressureBytes;
  }
  if (handOver) tPending.push_back(shared_from_this());
  if (congested && (tCongested.empty() || tCongested.back().get() != this)) {
    tCongested.push_back(shared_from_this());
  }
  return true;
}

void OutputQueue::AwaitProgress() {
  using Clock = base::CoarseClock;
  base::MutexLock lock(mutex_);
  const auto deadline = Clock::now() + kBackpressureMaxWait;
  ++progressWaiters_;
  while (!dead_ && pending_ > kBackpressureBytes / 2) {
    const auto now = Clock::now();
    if (now >= deadline || now - lastSend_ >= kStalledAfter) break;
    changed_.wait_for(mutex_, kStalledAfter);
  }
  --progressWaiters_;
}

void OutputQueue::Shutdown() {
  base::MutexLock lock(mutex_);
  if (closed_) return;
  dead_ = true;
  queue_.clear();
  pending_ = 0;
  shutdown(socket_, SHUT_RDWR);
  changed_.notify_all();
}

void OutputQueue::DrainAndClose(int timeoutMs) {
  // Lines this thread queued itself are handed over first.
  FlushPendingOutput();
  {
    base::MutexLock lock(mutex_);
    if (closed_) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    draining_ = true;
    while (!dead_ && (pending_ > 0 || scheduled_)) {
      if (changed_.wait_until(mutex_, deadline) == std::cv_status::timeout) break;
    }
    // From here on the writer sends nothing more; wait out a send under way
    // so the socket number is not reused beneath it.
    dead_ = true;
    closed_ = true;
    while (sending_) changed_.wait(mutex_);
  }
  writer_.Forget(this);
  close(socket_);
}

struct OutputWriter::SendRing {
  io_uring ring{};
  // Owned by one thread from TakeRing to GiveBack. Nobody ever waits for
  // it: a thread that finds every ring taken sends without one.
  std::atomic_flag taken = ATOMIC_FLAG_INIT;
};

OutputWriter::OutputWriter() {
  // ZELKORD_BATCHED_SENDS=0 keeps to one send() per connection, to compare.
  const char* batched = std::getenv("ZELKORD_BATCHED_SENDS");
  if (batched == nullptr || std::string_view(batched) != "0") {
    const unsigned wanted = std::clamp(std::thread::hardware_concurrency(), 1U, kMostRings);
    for (unsigned i = 0; i < wanted; ++i) {
      auto ring = std::make_unique<SendRing>();
      // Fails where the kernel or a container's policy has io_uring off.
      if (io_uring_queue_init(kRingEntries, &ring->ring, 0) != 0) break;
      rings_.push_back(std::move(ring));
    }
  }
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_ < 0 || wake_ < 0) {
    if (epoll_ >= 0) close(epoll_);
    if (wake_ >= 0) close(wake_);
    epoll_ = wake_ = -1;
    return;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
  thread_ = std::thread([this] { Loop(); });
}

OutputWriter::~OutputWriter() {
  for (const auto& ring : rings_) io_uring_queue_exit(&ring->ring);
  if (epoll_ < 0) return;
  {
    base::MutexLock lock(mutex_);
    stopping_ = true;
  }
  uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);  // the loop sees it and ends
  thread_.join();
  close(epoll_);
  close(wake_);
}

bool OutputWriter::Schedule(std::vector<std::shared_ptr<OutputQueue>>& connections,
                            bool mayPumpHere) {
  bool wasIdle = false;
  {
    base::MutexLock lock(mutex_);
    if (mayPumpHere && ready_.empty() && pumping_ == 0 && !stopping_) {
      ++pumping_;
      return false;
    }
    wasIdle = ready_.empty();
    for (auto& connection : connections) ready_.push_back(std::move(connection));
  }
  if (wasIdle) Wake();
  return true;
}

void OutputWriter::DonePumping() {
  base::MutexLock lock(mutex_);
  --pumping_;
}

void OutputWriter::Wake() {
  if (epoll_ < 0) return;
  uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);  // a full counter still wakes the loop
}

void OutputWriter::Hold(const std::shared_ptr<OutputQueue>& connection) {
  bool first = false;
  {
    base::MutexLock lock(holdMutex_);
    first = holding_.empty();
    holding_.push_back(connection);
  }
  // The loop sleeps without a timeout while nothing is held.
  if (first) Wake();
}

void OutputWriter::Watch(const std::shared_ptr<OutputQueue>& connection) {
  base::MutexLock lock(watchMutex_);
  if (!watched_.emplace(connection.get(), connection).second) return;
  epoll_event event{};
  event.events = EPOLLOUT | EPOLLONESHOT;
  event.data.ptr = connection.get();
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, connection->Socket(), &event) != 0) {
    epoll_ctl(epoll_, EPOLL_CTL_MOD, connection->Socket(), &event);
  }
}

void OutputWriter::Forget(OutputQueue* connection) {
  base::MutexLock lock(watchMutex_);
  if (watched_.erase(connection) > 0) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, connection->Socket(), nullptr);
  }
}

void OutputWriter::Pump(const std::shared_ptr<OutputQueue>& connectionPtr, bool onWriter,
                        const SendResult* first) {
  OutputQueue& c = *connectionPtr;
  // What the last send did, accounted under the same taking of the lock that
  // decides the next one: one lock per send, not two.
  bool sentBefore = first != nullptr;
  ssize_t sent = first != nullptr ? first->sent : 0;
  int error = first != nullptr ? first->error : 0;
  bool hold = false;
  std::string spent;  // a lone burst's buffer, for the writer to free
  for (;; sentBefore = true) {
    {
      base::MutexLock lock(c.mutex_);
      c.sending_ = false;
      if (sent > 0) {
        c.outgoingSent_ += static_cast<std::size_t>(sent);
        c.pending_ -= static_cast<std::size_t>(sent);
        c.lastSend_ = base::CoarseClock::now();
        if (c.progressWaiters_ > 0) c.changed_.notify_all();
      } else if (sent < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
        Watch(connectionPtr);  // stays scheduled: the socket's writable edge resumes it
        if (c.closed_) c.changed_.notify_all();
        return;
      } else if (sentBefore && !(sent < 0 && error == EINTR)) {
        // The peer is gone; its receive fails too and its thread cleans up.
        c.dead_ = true;
        c.scheduled_ = false;
        c.queue_.clear();
        c.pending_ = 0;
        c.changed_.notify_all();
        return;
      }
      if (c.closed_ || c.dead_) {
        c.scheduled_ = false;
        c.outgoing_.clear();
        c.outgoingSent_ = 0;
        c.changed_.notify_all();
        return;
      }
      if (c.outgoingSent_ == c.outgoing_.size()) {
        if (c.queue_.empty()) {
          // All sent. A busy connection keeps the emptied buffer for its
          // next lines until the idle release; otherwise it goes back now.
          c.scheduled_ = false;
          c.outgoingSent_ = 0;
          if (c.progressWaiters_ > 0 || c.draining_) c.changed_.notify_all();
          const bool busy = c.lastSend_ - c.lastDrained_ < kBusyWithin;
          c.lastDrained_ = c.lastSend_;
          if (!busy && !c.holdsBuffers_) {
            // Freed on the writer thread: freed here, a connection thread
            // would keep it in its malloc cache for as long as it idles.
            spent.swap(c.outgoing_);
            break;
          }
          c.outgoing_.clear();
          if (c.holdsBuffers_) return;
          c.holdsBuffers_ = true;
          hold = true;
          break;
        }
        TakeQueued(c);
      }
      c.sending_ = true;
    }
    sent = send(c.socket_, c.outgoing_.data() + c.outgoingSent_,
                c.outgoing_.size() - c.outgoingSent_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) error = errno;
  }
  if (hold) Hold(connectionPtr);  // outside the queue's lock: the list's lock is innermost
  if (!onWriter && spent.capacity() > 0) Discard(std::move(spent));
}

bool OutputWriter::TakeQueued(OutputQueue& c) {
  if (c.outgoingSent_ != c.outgoing_.size()) return true;
  if (c.queue_.empty()) return false;
  c.outgoing_.clear();
  c.outgoing_.swap(c.queue_);
  c.appendAt_.store(c.queue_.data(), std::memory_order_relaxed);
  c.outgoingSent_ = 0;
  return true;
}

bool OutputWriter::BeginSend(OutputQueue& c) {
  base::MutexLock lock(c.mutex_);
  if (c.closed_ || c.dead_ || !TakeQueued(c)) return false;
  c.sending_ = true;
  return true;
}

OutputWriter::SendRing* OutputWriter::TakeRing() {
  for (const auto& ring : rings_) {
    if (!ring->taken.test_and_set(std::memory_order_acquire)) return ring.get();
  }
  return nullptr;
}

void OutputWriter::GiveBack(SendRing& ring) {
  ring.taken.clear(std::memory_order_release);
}

void OutputWriter::PumpAll(const std::vector<std::shared_ptr<OutputQueue>>& connections,
                           bool onWriter) {
  SendRing* ring = connections.size() >= kLeastBatch ? TakeRing() : nullptr;
  if (ring == nullptr) {
    for (std::size_t k = 0; k < connections.size(); ++k) {
      // This thread has just written the queues' first fields; the
      // sender's own arrive while the kernel takes the previous bytes.
      if (k + 1 < connections.size()) connections[k + 1]->PrefetchForSend();
      Pump(connections[k], onWriter);
    }
    return;
  }
  // Pump takes "interrupted" as "not sent, send again".
  static constexpr SendResult kNotSent{-1, EINTR};
  bool ringSound = true;                        // false once an entry may be left in the ring
  std::array<std::size_t, kRingEntries> begun;  // the connection each entry sends for
  std::array<bool, kRingEntries> accounted;
  for (std::size_t start = 0; start < connections.size(); start += kRingEntries) {
    const std::size_t end = std::min(connections.size(), start + kRingEntries);
    std::size_t entries = 0;
    for (std::size_t k = start; k < end; ++k) {
      OutputQueue& c = *connections[k];
      if (!ringSound || !BeginSend(c)) {
        Pump(connections[k], onWriter);  // nothing to send, closed, or no ring
        continue;
      }
      // Never null: the ring is empty at the start of a chunk, which is no
      // longer than the ring.
      io_uring_sqe* entry = io_uring_get_sqe(&ring->ring);
      if (entry == nullptr) {
        Pump(connections[k], onWriter, &kNotSent);
        continue;
      }
      // The bytes stay put while sending_ is set: only their sender moves
      // them, and a closing owner waits for it.
      io_uring_prep_send(entry, c.socket_, c.outgoing_.data() + c.outgoingSent_,
                         c.outgoing_.size() - c.outgoingSent_, MSG_NOSIGNAL | MSG_DONTWAIT);
      io_uring_sqe_set_data64(entry, entries);
      accounted[entries] = false;
      begun[entries++] = k;
    }
    if (entries == 0) continue;
    // MSG_DONTWAIT: each send completes within the submission, and a full
    // socket reports EAGAIN as send() does, so the wait ends at once.
    const int submitted = io_uring_submit_and_wait(&ring->ring, static_cast<unsigned>(entries));
    const std::size_t taken = submitted > 0 ? static_cast<std::size_t>(submitted) : 0;
    for (std::size_t done = 0; done < taken;) {
      io_uring_cqe* completion = nullptr;
      const int waited = io_uring_wait_cqe(&ring->ring, &completion);
      if (waited == -EINTR) continue;
      if (waited < 0) break;
      const std::uint64_t entry = io_uring_cqe_get_data64(completion);
      const SendResult result =
          completion->res >= 0 ? SendResult{completion->res, 0} : SendResult{-1, -completion->res};
      io_uring_cqe_seen(&ring->ring, completion);
      ++done;
      if (entry >= entries || accounted[entry]) continue;
      accounted[entry] = true;
      Pump(connections[begun[entry]], onWriter, &result);
    }
    for (std::size_t entry = 0; entry < entries; ++entry) {
      if (accounted[entry]) continue;
      // The kernel took the entries in order: one it did not take is sent
      // again without the ring, which is never used again since it may
      // still hold the entry. One it took without a completion may or may
      // not have gone out; the connection is dropped rather than risk
      // losing or repeating lines.
      ringSound = false;
      const std::shared_ptr<OutputQueue>& connection = connections[begun[entry]];
      if (entry < taken) {
        connection->Shutdown();
        static constexpr SendResult kUnknown{-1, EIO};
        Pump(connection, onWriter, &kUnknown);
      } else {
        Pump(connection, onWriter, &kNotSent);
      }
    }
  }
  if (ringSound) GiveBack(*ring);
}

void OutputWriter::Discard(std::string&& buffer) {
  bool first = false;
  {
    base::MutexLock lock(holdMutex_);
    first = discarded_.empty();
    discarded_.push_back(std::move(buffer));
  }
  if (first) Wake();
}

void OutputWriter::ReleaseIdleBuffers(base::CoarseClock::time_point now) {
  lastRelease_ = now;
  std::vector<std::weak_ptr<OutputQueue>> held;
  {
    base::MutexLock lock(holdMutex_);
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
    c.holdsBuffers_ = false;
  }
  held.resize(kept);
  base::MutexLock lock(holdMutex_);
  for (auto& weak : held) holding_.push_back(std::move(weak));
}

void OutputWriter::Loop() {
  epoll_event events[kMaxEvents];
  std::vector<std::shared_ptr<OutputQueue>> ready;
  // A Hold that makes the list non-empty wakes the loop, so this can only
  // be stale towards holding, which costs one timed wake-up.
  bool holding = false;
  // When the discarded buffers seen waiting are freed. Only a Discard into
  // an empty list wakes the loop, so until then the others come quietly.
  std::optional<std::chrono::steady_clock::time_point> freeAt;
  for (;;) {
    int timeoutMs = holding ? static_cast<int>(kReleaseBuffersAfter.count()) : -1;
    if (freeAt) {
      const int untilFree = base::MillisecondsUntil(*freeAt);
      if (timeoutMs < 0 || untilFree < timeoutMs) timeoutMs = untilFree;
    }
    const int count = epoll_wait(epoll_, events, kMaxEvents, timeoutMs);
    if (count < 0) {
      if (errno == EINTR) continue;
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::string> spent;  // freed here, on this thread
    {
      base::MutexLock lock(holdMutex_);
      if (discarded_.empty()) {
        freeAt.reset();
      } else if (!freeAt) {
        freeAt = now + kFreeDiscardedAfter;
      } else if (now >= *freeAt) {
        spent.swap(discarded_);
        freeAt.reset();
      }
      holding = !holding_.empty();
    }
    if (holding) {
      const auto coarseNow = base::CoarseClock::now();
      if (coarseNow - lastRelease_ >= kReleaseBuffersAfter) ReleaseIdleBuffers(coarseNow);
    }
    for (int i = 0; i < count; ++i) {
      if (events[i].data.ptr == nullptr) {
        uint64_t ticks = 0;
        (void)!read(wake_, &ticks, sizeof ticks);  // only clears the counter
        {
          base::MutexLock lock(mutex_);
          if (stopping_) return;
          ready.swap(ready_);
          ++pumping_;
        }
        PumpAll(ready, true);
        ready.clear();
        DonePumping();
        continue;
      }
      std::shared_ptr<OutputQueue> connection;
      {
        base::MutexLock lock(watchMutex_);
        auto found = watched_.find(static_cast<OutputQueue*>(events[i].data.ptr));
        if (found == watched_.end()) continue;  // forgotten by a closing thread
        connection = std::move(found->second);
        watched_.erase(found);
      }
      Pump(connection, true);
    }
  }
}

}  // namespace zelkord::net
