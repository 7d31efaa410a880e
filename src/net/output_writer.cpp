// The writer thread, and sending a connection's queue from any thread.
#include "net/output_writer.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include "net/tls.h"

namespace zelkord::net {
namespace {

constexpr int kMaxEvents = 64;
// Fewer connections than this are sent one send() each: a submission and
// its completions cost more than a send or two.
constexpr std::size_t kLeastBatch = 2;
// What a record adds to its plaintext at most (header, padding, tag), for
// reserving the ciphertext of a take at once.
constexpr std::size_t kRecordOverhead = 64;

}  // namespace

OutputWriter::OutputWriter(const WriterOptions& options) : rings_(options.batchedSends) {
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

bool OutputWriter::Watching() {
  base::MutexLock lock(watchMutex_);
  return !watched_.empty();
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
  std::string spent;       // a lone burst's buffer, for the writer to free
  std::string spentPlain;  // over TLS, the one its lines were sealed from
  for (;; sentBefore = true) {
    Taken taken = Taken::Ready;
    {
      base::MutexLock lock(c.mutex_);
      c.sending_ = false;
      if (sent > 0) {
        Sent(c, static_cast<std::size_t>(sent));
        c.lastSend_ = base::CoarseClock::now();
        if (c.progressWaiters_ > 0) c.changed_.notify_all();
      } else if (sent < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
        Watch(connectionPtr);  // stays scheduled: the socket's writable edge resumes it
        if (c.closed_) c.changed_.notify_all();
        return;
      } else if (sentBefore && !(sent < 0 && error == EINTR)) {
        // The peer is gone; its receive fails too and its thread cleans up.
        GiveUp(c);
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
        if (c.queue_.empty() && !c.tlsOwn_) {
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
            spentPlain.swap(c.sealing_);
            break;
          }
          c.outgoing_.clear();
          if (c.holdsBuffers_) return;
          c.holdsBuffers_ = true;
          hold = true;
          break;
        }
        taken = TakeQueued(c);
      }
      c.sending_ = true;
    }
    if (taken == Taken::ToSeal && !Seal(c)) {
      sent = -1;
      error = EPIPE;
      continue;
    }
    if (c.outgoingSent_ == c.outgoing_.size()) {
      // Only the session's own bytes were asked for, and an earlier take
      // carried them: nothing to send, look again.
      sent = -1;
      error = EINTR;
      continue;
    }
    sent = send(c.socket_, c.outgoing_.data() + c.outgoingSent_,
                c.outgoing_.size() - c.outgoingSent_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) error = errno;
  }
  // Outside the queue's lock: the buffers' lock is innermost.
  if (hold && buffers_.Hold(connectionPtr)) Wake();
  if (!onWriter && spent.capacity() > 0 && buffers_.Discard(std::move(spent))) Wake();
  if (!onWriter && spentPlain.capacity() > 0 && buffers_.Discard(std::move(spentPlain))) Wake();
}

OutputWriter::Taken OutputWriter::TakeQueued(OutputQueue& c) {
  if (c.outgoingSent_ != c.outgoing_.size()) return Taken::Ready;
  if (c.queue_.empty() && !c.tlsOwn_) return Taken::Nothing;
  c.outgoing_.clear();
  c.outgoingSent_ = 0;
  if (c.tls_ == nullptr) {
    c.outgoing_.swap(c.queue_);
  } else {
    // The lines wait in sealing_; queue_ takes its emptied buffer.
    c.sealing_.clear();
    c.sealing_.swap(c.queue_);
    c.tlsOwn_ = false;
  }
  c.appendAt_.store(c.queue_.data(), std::memory_order_relaxed);
  return c.tls_ == nullptr ? Taken::Ready : Taken::ToSeal;
}

bool OutputWriter::Seal(OutputQueue& c) {
  // Whatever the session had waiting to send (a key update's answer) comes
  // out first: the records leave in the order the session made them.
  c.outgoing_.reserve(c.sealing_.size() +
                      (c.sealing_.size() / kTlsRecordBytes + 2) * kRecordOverhead);
  c.outgoingPlain_ = c.sealing_.size();
  const bool sealed = c.tls_->Seal(c.sealing_, c.outgoing_);
  c.sealing_.clear();
  // The socket is still open: whoever closes it waits for this sender.
  if (!sealed) shutdown(c.socket_, SHUT_RDWR);
  return sealed;
}

void OutputWriter::Sent(OutputQueue& c, std::size_t sent) {
  const std::size_t before = c.outgoingSent_;
  c.outgoingSent_ += sent;
  if (c.tls_ == nullptr) {
    c.pending_ -= sent;
    return;
  }
  // pending_ counts plaintext, the socket takes ciphertext. Each send is
  // taken to carry the same share of the take's plaintext as of its
  // ciphertext (records, and the session's own bytes, which carry none):
  // the take's plaintext is all accounted exactly when its last byte has
  // left, and the bound and backpressure see it leave as gradually as a
  // plain queue's.
  const std::size_t total = c.outgoing_.size();
  c.pending_ -= c.outgoingPlain_ * c.outgoingSent_ / total - c.outgoingPlain_ * before / total;
}

void OutputWriter::GiveUp(OutputQueue& c) {
  c.dead_ = true;
  c.scheduled_ = false;
  c.queue_.clear();
  c.pending_ = 0;
  c.changed_.notify_all();
}

bool OutputWriter::BeginSend(OutputQueue& c) {
  {
    base::MutexLock lock(c.mutex_);
    if (c.closed_ || c.dead_) return false;
    switch (TakeQueued(c)) {
      case Taken::Nothing:
        return false;
      case Taken::Ready:
        c.sending_ = true;
        return true;
      case Taken::ToSeal:
        c.sending_ = true;
        break;
    }
  }
  if (!Seal(c)) {
    base::MutexLock lock(c.mutex_);
    GiveUp(c);
    return false;  // Pump ends the send under way
  }
  // false: only the session's own bytes were asked for, and went earlier.
  return c.outgoingSent_ != c.outgoing_.size();
}

void OutputWriter::PumpAll(const std::vector<std::shared_ptr<OutputQueue>>& connections,
                           bool onWriter) {
  SendRing* ring = connections.size() >= kLeastBatch ? rings_.Take() : nullptr;
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
      // The bytes stay put while sending_ is set: only their sender moves
      // them, and a closing owner waits for it. Never full: the ring is
      // empty at the start of a chunk, which is no longer than the ring.
      if (!ring->Prepare(c.socket_, c.outgoing_.data() + c.outgoingSent_,
                         c.outgoing_.size() - c.outgoingSent_, entries)) {
        Pump(connections[k], onWriter, &kNotSent);
        continue;
      }
      accounted[entries] = false;
      begun[entries++] = k;
    }
    if (entries == 0) continue;
    // A full socket reports EAGAIN as send() does, so the wait ends at once.
    const std::size_t taken = ring->SubmitAndWait(entries);
    for (std::size_t done = 0; done < taken; ++done) {
      std::uint64_t entry = 0;
      int sent = 0;
      if (!ring->NextCompletion(entry, sent)) break;
      const SendResult result = sent >= 0 ? SendResult{sent, 0} : SendResult{-1, -sent};
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
  if (ringSound) SendRings::GiveBack(*ring);
}

void OutputWriter::Loop() {
  epoll_event events[kMaxEvents];
  std::vector<std::shared_ptr<OutputQueue>> ready;
  for (;;) {
    const int count = epoll_wait(epoll_, events, kMaxEvents, buffers_.SleepMs());
    if (count < 0) {
      if (errno == EINTR) continue;
      return;
    }
    std::vector<std::string> spent;  // freed here, on this thread
    buffers_.Tend(spent);
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
        const auto started = WriterPace::Clock::now();
        PumpAll(ready, true);
        ready.clear();
        const auto ended = WriterPace::Clock::now();
        bool workWaiting = false;
        {
          base::MutexLock lock(mutex_);
          --pumping_;
          workWaiting = !ready_.empty();
        }
        // Lines gather on their own where a reader is slow, and a pause
        // would hold up a thread waiting for a queue to drain: then the
        // writer goes on at once.
        if (workWaiting && (awaiting_.load(std::memory_order_relaxed) > 0 || Watching())) {
          workWaiting = false;
        }
        // While the writer pauses, what is queued stays listed, so the
        // connection threads add to it rather than send it themselves.
        const auto pause = pace_.AfterRound(started, ended, workWaiting);
        if (pause.count() > 0) std::this_thread::sleep_for(pause);
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
