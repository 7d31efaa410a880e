// One accepted socket and its bounded output queue. Sending a line appends
// it to the queue and never blocks, so a thread holding the protocol lock
// never waits for a peer or a system call. Once the protocol lock is
// released, the queued connections are sent: by the thread that queued
// them when the writer thread is idle and that thread has no more input
// waiting (a lone line goes out at once, with no hand-over or wake-up), by
// the writer thread otherwise, which takes the whole queue of a connection
// at a time, so under load one send carries many lines. Sends never wait: a
// socket whose kernel buffer is full is left to the writer, which waits for
// it with epoll. A line queued to many connections at once (a channel's
// members) reaches the kernel as one io_uring submission of their sends,
// not one system call each, where the kernel allows io_uring. A queue that
// outgrows its bound shuts the socket down: the connection's own thread
// then sees its receive fail and runs the normal disconnect clean-up.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

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

// Whether the processor can fetch a line for writing (PREFETCHW). A line
// fetched only for reading, while the writer thread's core still holds it,
// needs a second trip before a store to it can retire, and the next locked
// instruction waits for that store.
extern const bool kHasPrefetchForWrite;

// Starts fetching the cache line at address for writing. A hint: never
// faults, any address.
inline void PrefetchForWrite(std::uintptr_t address) {
#if defined(__x86_64__)
  if (kHasPrefetchForWrite) {
    asm volatile("prefetchw (%0)" : : "r"(address));
    return;
  }
#endif
  __builtin_prefetch(reinterpret_cast<const void*>(address), 1);
}

class OutputQueue : public std::enable_shared_from_this<OutputQueue> {
 public:
  OutputQueue(int socket, OutputWriter& writer, std::size_t capacity = kOutputQueueBytes);
  ~OutputQueue();
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // The socket number; it identifies the connection for its whole life.
  [[nodiscard]] int Socket() const { return socket_; }

  // Queues wireLine followed by CR LF; the writer sends it after this
  // thread's next FlushPendingOutput. false when the line was dropped: the
  // connection is dead or the queue overflowed (the socket is then shut
  // down). Any thread.
  bool Enqueue(std::string_view wireLine);

  // Starts fetching what the next Enqueue writes: the queue's own fields
  // and the end of its buffer, which the thread that last sent it may hold.
  // A thread about to queue one line to many connections asks for them all
  // first, so that the fetches overlap instead of each waiting in turn. A
  // hint only; any thread, no lock.
  void PrefetchForAppend() const {
    PrefetchForWrite(reinterpret_cast<std::uintptr_t>(&mutex_));
    PrefetchForWrite(reinterpret_cast<std::uintptr_t>(&closed_));
    // As a number: the line may run into the next cache line, past the
    // buffer's end, and a prefetch never faults.
    const auto at = reinterpret_cast<std::uintptr_t>(appendAt_.load(std::memory_order_relaxed));
    if (at == 0) return;
    PrefetchForWrite(at);
    PrefetchForWrite(at + 64);
  }

  // Starts fetching the whole queue for writing: a thread that sends the
  // queues it has just appended to asks for the next one before it sends
  // the current one. A hint only; any thread, no lock.
  void PrefetchForSend() const {
    const auto begin = reinterpret_cast<std::uintptr_t>(this);
    for (std::uintptr_t at = begin & ~std::uintptr_t{63}; at < begin + sizeof *this; at += 64) {
      PrefetchForWrite(at);
    }
  }

  // Shuts both directions down so the owning thread's receive fails; later
  // lines are dropped. Any thread.
  void Shutdown();

  // Gives queued lines up to timeoutMs to leave, then closes the socket.
  // Owning thread only, once, after its last receive.
  void DrainAndClose(int timeoutMs = kDrainOnCloseMs);

  // Waits while the queue is above half the backpressure mark and the peer
  // is still taking data, at most kBackpressureMaxWait. Any thread that
  // holds no lock.
  void AwaitProgress();

 private:
  friend class OutputWriter;
  friend void FlushPendingOutput();

  const int socket_;
  const std::size_t capacity_;
  OutputWriter& writer_;
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
  // Where the next line will be copied to: a hint for PrefetchForAppend,
  // never read through.
  std::atomic<const char*> appendAt_{nullptr};
  base::CondVar changed_;                                      // pending_, sending_ changed
  base::CoarseClock::time_point lastSend_ GUARDED_BY(mutex_);  // last bytes taken
  // Owned by whoever sends the queue now (scheduled_ hands that right from
  // the thread that queued to the one that sends, under mutex_): the bytes
  // taken and how far they got, and whether the two buffers are kept.
  std::string outgoing_;
  std::size_t outgoingSent_ = 0;
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

// The thread that sends every connection's queue.
class OutputWriter {
 public:
  OutputWriter();
  ~OutputWriter();  // stops the thread
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // true when the writer could start (an epoll instance and its thread).
  [[nodiscard]] bool Ready() const { return epoll_ >= 0; }

 private:
  friend class OutputQueue;
  friend void FlushPendingOutput();

  // Queues connections for sending and wakes the thread if it was idle;
  // false, taking none, when mayPumpHere and nobody is sending: the caller
  // then pumps them itself and calls DonePumping.
  [[nodiscard]] bool Schedule(std::vector<std::shared_ptr<OutputQueue>>& connections,
                              bool mayPumpHere);
  void DonePumping();
  void Wake();
  // Keeps a connection's emptied buffers until it goes quiet.
  void Hold(const std::shared_ptr<OutputQueue>& connection);
  // What a send already made for the connection returned: sent bytes, or
  // -1 and the errno.
  struct SendResult {
    ssize_t sent = 0;
    int error = 0;
  };
  // Sends what the connection has; waits for writable when the kernel is
  // full. With first, the first send was already made (see BeginSend) and
  // this accounts for it before going on.
  void Pump(const std::shared_ptr<OutputQueue>& connection, bool onWriter,
            const SendResult* first = nullptr);
  // Pumps every connection. Where the kernel has io_uring and a ring is
  // free, their first sends go to the kernel as one submission per batch
  // instead of one system call each; the rest is sent as Pump sends.
  void PumpAll(const std::vector<std::shared_ptr<OutputQueue>>& connections, bool onWriter);
  // Readies the connection's next send, as Pump would, and marks it under
  // way; false when there is nothing to send now.
  [[nodiscard]] static bool BeginSend(OutputQueue& connection);
  // Makes the queued lines the bytes to send when the last ones are all
  // sent; false when nothing is left to send.
  static bool TakeQueued(OutputQueue& connection) REQUIRES(connection.mutex_);
  // Hands a buffer to the writer thread to free.
  void Discard(std::string&& buffer);
  void Watch(const std::shared_ptr<OutputQueue>& connection);
  void Forget(OutputQueue* connection);
  // Gives back the buffers of queues that have sent nothing for a while.
  void ReleaseIdleBuffers(base::CoarseClock::time_point now);
  void Loop();

  struct SendRing;
  // A ring to send a batch with, or nullptr when all are taken or there
  // are none; given back with GiveBack.
  [[nodiscard]] SendRing* TakeRing();
  static void GiveBack(SendRing& ring);

  int epoll_ = -1;
  int wake_ = -1;  // eventfd: work was scheduled, or the loop should end
  // The io_uring rings batches are sent through, each taken by one thread
  // at a time; none where the kernel has io_uring off.
  std::vector<std::unique_ptr<SendRing>> rings_;
  base::Mutex mutex_;
  std::vector<std::shared_ptr<OutputQueue>> ready_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  int pumping_ GUARDED_BY(mutex_) = 0;  // threads sending now, this one or others
  // Queues waiting for their socket to become writable. The writer thread
  // adds and takes them; a closing connection's thread forgets its own.
  base::Mutex watchMutex_;
  std::unordered_map<OutputQueue*, std::shared_ptr<OutputQueue>> watched_ GUARDED_BY(watchMutex_);
  // Queues that kept their emptied buffers, so a connection that keeps
  // receiving reuses them instead of allocating and freeing (and faulting
  // in) a buffer for every burst. The innermost lock.
  base::Mutex holdMutex_;
  std::vector<std::weak_ptr<OutputQueue>> holding_ GUARDED_BY(holdMutex_);
  std::vector<std::string> discarded_ GUARDED_BY(holdMutex_);
  base::CoarseClock::time_point lastRelease_;  // the writer thread's own
  std::thread thread_;
};

}  // namespace zelkord::net
