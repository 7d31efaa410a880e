// Output queues, and the hand-over of what a thread queued.
#include "net/output_queue.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "net/output_writer.h"
#include "net/tls.h"

namespace zelkord::net {
namespace {

// Connections this thread queued into that still have to be handed over,
// and those it pushed past the backpressure mark.
thread_local std::vector<std::shared_ptr<OutputQueue>> tPending;
thread_local std::vector<std::shared_ptr<OutputQueue>> tCongested;
thread_local bool tInlineSends = true;

constexpr std::size_t kQueueFirstBytes = 1024;

}  // namespace

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
    : OutputQueue(socket, writer, nullptr, capacity) {}

OutputQueue::OutputQueue(int socket, OutputWriter& writer, std::unique_ptr<TlsStream> tls,
                         std::size_t capacity)
    : socket_(socket), capacity_(capacity), writer_(writer), tls_(std::move(tls)) {
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
      writer_.counts_.Add(OutputCount::Overflows);
      return false;
    }
    // A burst (a welcome, a NAMES reply) fills one buffer, which the writer
    // thread frees once sent, instead of a chain of smaller ones freed on
    // this thread and kept in its malloc cache while the connection idles.
    // A lone line (a liveness ping to each of thousands of idle clients)
    // takes only its own size: the buffer is sized at the second line.
    if (!queue_.empty() && queue_.capacity() < kQueueFirstBytes) queue_.reserve(kQueueFirstBytes);
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

void OutputQueue::SendTlsOwnBytes() {
  {
    base::MutexLock lock(mutex_);
    if (dead_) return;
    tlsOwn_ = true;
    if (scheduled_) return;  // the sender takes them with the lines
    scheduled_ = true;
  }
  tPending.push_back(shared_from_this());
}

void OutputQueue::AwaitProgress() {
  using Clock = base::CoarseClock;
  base::MutexLock lock(mutex_);
  const auto deadline = Clock::now() + kBackpressureMaxWait;
  ++progressWaiters_;
  writer_.awaiting_.fetch_add(1, std::memory_order_relaxed);
  while (!dead_ && pending_ > kBackpressureBytes / 2) {
    const auto now = Clock::now();
    if (now >= deadline || now - lastSend_ >= kStalledAfter) break;
    changed_.wait_for(mutex_, kStalledAfter);
  }
  writer_.awaiting_.fetch_sub(1, std::memory_order_relaxed);
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

void OutputQueue::CloseReading() {
  base::MutexLock lock(mutex_);
  if (!closed_) shutdown(socket_, SHUT_RD);
}

void OutputQueue::DrainAndClose(int timeoutMs) {
  // Lines this thread queued itself are handed over first.
  FlushPendingOutput();
  bool notify = false;
  {
    base::MutexLock lock(mutex_);
    if (closed_) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    draining_ = true;
    while (!dead_ && (pending_ > 0 || scheduled_)) {
      if (changed_.wait_until(mutex_, deadline) == std::cv_status::timeout) {
        if (pending_ > 0) writer_.counts_.Add(OutputCount::UnsentOnClose);
        break;
      }
    }
    // Only after everything else: a close notification cut in before the
    // end of a record would garble it.
    notify = tls_ != nullptr && !dead_ && !scheduled_;
    // From here on the writer sends nothing more; wait out a send under way
    // so the socket number is not reused beneath it.
    dead_ = true;
    closed_ = true;
    while (sending_) changed_.wait(mutex_);
  }
  writer_.Forget(this);
  if (notify) {
    // Best effort, once: a peer that has stopped reading does without.
    std::string last;
    tls_->Close(last);
    (void)send(socket_, last.data(), last.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  close(socket_);
}

}  // namespace zelkord::net
