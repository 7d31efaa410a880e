// The writer thread: it sends every connection's queue that was handed to
// it, taking the whole queue of a connection at a time, so under load one
// send carries many lines. Sends never wait: a socket whose kernel buffer
// is full is watched with epoll and sent again once writable. A thread that
// finds the writer idle sends its own connections through the same code
// (Pump), with no hand-over or wake-up. A line queued to many connections
// at once (a channel's members) reaches the kernel as one io_uring
// submission of their sends where the kernel allows io_uring. A queue over
// TLS is sealed into records by whoever sends it, as it takes the lines,
// outside the queue's lock; the records then leave like plain bytes. A
// writer that has been behind for a while pauses about a round between
// rounds (WriterPace), so that each connection's lines gather into fewer,
// fuller sends.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "net/output_buffers.h"
#include "net/output_queue.h"
#include "net/send_ring.h"
#include "net/writer_pace.h"

namespace zelkord::net {

struct WriterOptions {
  // Whether a line queued to many connections goes to the kernel as one
  // batch (SendRings); false sends with one send() each.
  bool batchedSends = true;
};

// The thread that sends every connection's queue.
class OutputWriter {
 public:
  explicit OutputWriter(const WriterOptions& options = {});
  ~OutputWriter();  // stops the thread
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // true when the writer could start (an epoll instance and its thread).
  [[nodiscard]] bool Ready() const { return epoll_ >= 0; }

  // What its connections' queues counted. Any thread.
  [[nodiscard]] const base::Counters<OutputCount>& Counts() const { return counts_; }

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
  // Pumps every connection. Where a send ring is free, their first sends go
  // to the kernel as one submission per batch instead of one system call
  // each; the rest is sent as Pump sends.
  void PumpAll(const std::vector<std::shared_ptr<OutputQueue>>& connections, bool onWriter);
  // Readies the connection's next send, as Pump would, and marks it under
  // way; false when there is nothing to send now.
  [[nodiscard]] static bool BeginSend(OutputQueue& connection);
  enum class Taken { Nothing, Ready, ToSeal };
  // Makes the queued lines the bytes to send when the last ones are all
  // sent: Ready, or ToSeal over TLS, where the caller then Seals them
  // once it has let the lock go. Nothing when nothing is left to send.
  static Taken TakeQueued(OutputQueue& connection) REQUIRES(connection.mutex_);
  // Seals the lines TakeQueued took into the bytes to send; false when the
  // session has failed, which has shut the socket down. The sender, without
  // the queue's lock.
  static bool Seal(OutputQueue& connection);
  // Accounts for sent more bytes of those taken having left.
  static void Sent(OutputQueue& connection, std::size_t sent) REQUIRES(connection.mutex_);
  // Drops what is queued: nothing more will be sent.
  static void GiveUp(OutputQueue& connection) REQUIRES(connection.mutex_);
  void Watch(const std::shared_ptr<OutputQueue>& connection);
  void Forget(OutputQueue* connection);
  // Whether some socket is full and watched for room.
  bool Watching();
  void Loop();

  int epoll_ = -1;
  int wake_ = -1;    // eventfd: work was scheduled, or the loop should end
  SendRings rings_;  // none without batched sends or where io_uring is off
  base::Mutex mutex_;
  std::vector<std::shared_ptr<OutputQueue>> ready_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  int pumping_ GUARDED_BY(mutex_) = 0;  // threads sending now, this one or others
  // Queues waiting for their socket to become writable. The writer thread
  // adds and takes them; a closing connection's thread forgets its own.
  base::Mutex watchMutex_;
  std::unordered_map<OutputQueue*, std::shared_ptr<OutputQueue>> watched_ GUARDED_BY(watchMutex_);
  OutputBuffers buffers_;  // tended by the writer thread
  WriterPace pace_;        // the writer thread's own
  // Threads held back until a queue they filled drains (AwaitProgress).
  std::atomic<int> awaiting_{0};
  base::Counters<OutputCount> counts_;
  std::thread thread_;
};

}  // namespace zelkord::net
