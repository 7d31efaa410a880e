// One accepted socket and its bounded output queue. Sending a line appends
// it to the queue and never blocks, so a thread holding the protocol lock
// never waits for a peer or a system call. Once the protocol lock is
// released, the thread hands the connections it queued into to the writer
// (output_writer.h), or sends them itself when the writer is idle. A queue
// that outgrows its bound shuts the socket down: the connection's own
// thread then sees its receive fail and runs the normal disconnect
// clean-up. A queue over a TLS session holds plaintext lines like any
// other; its sender seals what it takes into records (see OutputWriter).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/counters.h"
#include "base/cpu_features.h"
#include "base/deadline.h"
#include "base/mutex.h"

namespace zelkord::net {

inline constexpr std::size_t kOutputQueueBytes = 256 * 1024;
// A queue above this makes the thread that filled it wait (outside the
// protocol lock) for the writer to catch up, as long as the peer is reading:
// a client that floods a channel is slowed to its readers' pace instead of
// pushing them over the bound. A peer that reads nothing is not waited for.
inline constexpr std::size_t kBackpressureBytes = 64 * 1024;
inline constexpr std::chrono::milliseconds kStalledAfter{100};
inline constexpr std::chrono::milliseconds kBackpressureMaxWait{1000};
// How long a closing connection may take to hand its last lines (a 465, a
// final relay) to the kernel before the socket is closed anyway.
inline constexpr int kDrainOnCloseMs = 2000;

class OutputWriter;
class TlsStream;

// What the queues of one writer count, for metrics: connections dropped
// because their queue outgrew its bound (slow readers), and connections
// closed before their last lines left within the drain time.
enum class OutputCount { Overflows, UnsentOnClose, Count };

class OutputQueue : public std::enable_shared_from_this<OutputQueue> {
 public:
  OutputQueue(int socket, OutputWriter& writer, std::size_t capacity = kOutputQueueBytes);
  // The same for a socket that carries the TLS session tls.
  OutputQueue(int socket, OutputWriter& writer, std::unique_ptr<TlsStream> tls,
              std::size_t capacity = kOutputQueueBytes);
  ~OutputQueue();
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // The socket number; it identifies the connection for its whole life.
  [[nodiscard]] int Socket() const { return socket_; }

  // The TLS session the socket carries, or nullptr.
  [[nodiscard]] TlsStream* Tls() const { return tls_.get(); }

  // Has the sender send what the TLS session made on its own (an answer to
  // the peer's key update, an alert) after this thread's next
  // FlushPendingOutput. Any thread.
  void SendTlsOwnBytes();

  // Queues wireLine followed by CR LF; the writer sends it after this
  // thread's next FlushPendingOutput. false when the line was dropped: the
  // connection is dead or the queue overflowed (the socket is then shut
  // down). Any thread.
  bool Enqueue(std::string_view wireLine);

  // What the next Enqueue writes, fetched in two steps by a thread about to
  // queue one line to many connections, a few queues ahead of the one it
  // queues to: first the queue's own fields, which costs it no wait; then,
  // once they have arrived, the end of the buffer, which the thread that
  // last sent the queue may hold. Fetched all at once, a large channel's
  // first queues would be evicted again before their turn came. Hints only;
  // any thread, no lock.
  void PrefetchFields() const {
    base::PrefetchForWrite(reinterpret_cast<std::uintptr_t>(&mutex_));
    base::PrefetchForWrite(reinterpret_cast<std::uintptr_t>(&closed_));
    base::PrefetchForWrite(reinterpret_cast<std::uintptr_t>(&appendAt_));
  }
  void PrefetchBufferEnd() const {
    // As a number: the line may run into the next cache line, past the
    // buffer's end, and a prefetch never faults.
    const auto at = reinterpret_cast<std::uintptr_t>(appendAt_.load(std::memory_order_relaxed));
    if (at == 0) return;
    base::PrefetchForWrite(at);
    base::PrefetchForWrite(at + 64);
  }

  // Starts fetching the whole queue for writing: a thread that sends the
  // queues it has just appended to asks for the next one before it sends
  // the current one. A hint only; any thread, no lock.
  void PrefetchForSend() const {
    const auto begin = reinterpret_cast<std::uintptr_t>(this);
    for (std::uintptr_t at = begin & ~std::uintptr_t{63}; at < begin + sizeof *this; at += 64) {
      base::PrefetchForWrite(at);
    }
  }

  // Shuts both directions down so the owning thread's receive fails; later
  // lines are dropped. Any thread.
  void Shutdown();

  // Shuts the receiving direction down, so the owning thread's receive ends
  // as if the peer had closed, while the lines queued still leave: the
  // server ends the connection with a last line of its own. Any thread.
  void CloseReading();

  // Gives queued lines up to timeoutMs to leave, then closes the socket;
  // a TLS session that sent them all has its close notification sent
  // first, if the socket takes it at once. Owning thread only, once, after
  // its last receive.
  void DrainAndClose(int timeoutMs = kDrainOnCloseMs);

  // Waits while the queue is above half the backpressure mark and the peer
  // is still taking data, at most kBackpressureMaxWait. Any thread that
  // holds no lock.
  void AwaitProgress();

 private:
  friend class OutputWriter;
  friend class OutputBuffers;
  friend void FlushPendingOutput();

  const int socket_;
  const std::size_t capacity_;
  OutputWriter& writer_;
  const std::unique_ptr<TlsStream> tls_;
  // What Enqueue touches comes first, so that it spans as few cache lines
  // as the layout allows.
  base::Mutex mutex_;
  std::string queue_ GUARDED_BY(mutex_);        // lines not yet taken by the writer
  std::size_t pending_ GUARDED_BY(mutex_) = 0;  // bytes queued or taken, not yet sent
  bool scheduled_ GUARDED_BY(mutex_) = false;   // handed to the writer, not finished
  bool sending_ GUARDED_BY(mutex_) = false;     // the writer is inside send() now
  bool dead_ GUARDED_BY(mutex_) = false;        // nothing more will be sent
  bool closed_ GUARDED_BY(mutex_) = false;      // the socket is closed
  int progressWaiters_ GUARDED_BY(mutex_) = 0;  // threads in AwaitProgress
  bool draining_ GUARDED_BY(mutex_) = false;    // the owner waits in DrainAndClose
  bool tlsOwn_ GUARDED_BY(mutex_) = false;      // the TLS session has bytes to send
  // Where the next line will be copied to: a hint for PrefetchBufferEnd,
  // never read through.
  std::atomic<const char*> appendAt_{nullptr};
  base::CondVar changed_;                                      // pending_, sending_ changed
  base::CoarseClock::time_point lastSend_ GUARDED_BY(mutex_);  // last bytes taken
  // Owned by whoever sends the queue now (scheduled_ hands that right from
  // the thread that queued to the one that sends, under mutex_): the bytes
  // taken and how far they got, and whether the two buffers are kept.
  // Over TLS, outgoing_ is the ciphertext of the lines taken, sealed from
  // sealing_, and outgoingPlain_ how many plaintext bytes it stands for.
  std::string outgoing_;
  std::size_t outgoingSent_ = 0;
  std::string sealing_;
  std::size_t outgoingPlain_ = 0;
  bool holdsBuffers_ GUARDED_BY(mutex_) = false;
  base::CoarseClock::time_point lastDrained_ GUARDED_BY(mutex_);
};

// Whether this thread may send its queued lines itself when the writer is
// idle (the default). A thread that has more input waiting says no, so that
// its next lines join the writer's pass and share its sends. This thread only.
void AllowInlineSends(bool allow);

// Hands the connections this thread queued into since its last call to the
// writer, then waits for any of them it pushed past the backpressure mark.
// Called by every protocol lock guard after it releases the lock, so the
// writer is woken once per command, never inside the lock.
void FlushPendingOutput();

}  // namespace zelkord::net
