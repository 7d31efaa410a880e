// One accepted socket and its bounded output queue. Sending a line appends
// it to the queue and never blocks, so a thread holding the protocol lock
// never waits for a slow peer. The thread that queued into an empty queue
// flushes it with non-blocking sends once it has released the lock; what the
// kernel will not take yet is handed to the OutputWriter thread, which waits
// for the socket to become writable. A queue that outgrows its bound shuts
// the socket down: the connection's own thread then sees its receive fail
// and runs the normal disconnect clean-up.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "frame/annotations.h"

namespace zelkord::irc {

inline constexpr std::size_t kOutputQueueBytes = 256 * 1024;
// How long a closing connection may take to hand its last lines (a 465, a
// final relay) to the kernel before the socket is closed anyway.
inline constexpr int kDrainOnCloseMs = 2000;

class OutputWriter;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(int socket, OutputWriter& writer, std::size_t capacity = kOutputQueueBytes);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The socket number; it identifies the connection for its whole life.
  [[nodiscard]] int Socket() const { return socket_; }

  // Queues wireLine followed by CR LF. false when the line was dropped: the
  // connection is dead or the queue overflowed (the socket is then shut
  // down). Any thread.
  bool Enqueue(std::string_view wireLine);

  // Sends what is queued without blocking. true when the queue is empty
  // afterwards (or the connection is dead). Any thread.
  bool Flush();

  // Shuts both directions down so the owning thread's receive fails; later
  // lines are dropped. Any thread.
  void Shutdown();

  // Gives queued lines up to timeoutMs to leave, then closes the socket.
  // Owning thread only, once, after its last receive.
  void DrainAndClose(int timeoutMs = kDrainOnCloseMs);

  // Bytes queued and not yet sent. Any thread.
  [[nodiscard]] std::size_t QueuedBytes();

 private:
  friend class OutputWriter;
  // Sends from the queue until done or the kernel refuses more.
  bool SendQueued() REQUIRES(mutex_);

  const int socket_;
  const std::size_t capacity_;
  OutputWriter& writer_;
  frame::Mutex mutex_;
  std::string queue_ GUARDED_BY(mutex_);
  std::size_t sent_ GUARDED_BY(mutex_) = 0;        // bytes of queue_ already sent
  bool dead_ GUARDED_BY(mutex_) = false;           // nothing more will be sent
  bool closed_ GUARDED_BY(mutex_) = false;         // the socket is closed
  bool writerWaiting_ GUARDED_BY(mutex_) = false;  // registered with the writer
};

// Flushes the connections this thread queued into since its last flush.
// Called by every protocol lock guard after it releases the lock.
void FlushPendingOutput();

// The thread that finishes sends the kernel could not take at once.
class OutputWriter {
 public:
  OutputWriter();
  ~OutputWriter();  // stops the thread
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // true when the writer could start (an epoll instance and its thread).
  [[nodiscard]] bool Ready() const { return epoll_ >= 0; }

 private:
  friend class Connection;
  // Waits for the connection's socket to become writable. Called with the
  // connection's mutex held; takes only the writer's own mutex.
  void Watch(const std::shared_ptr<Connection>& connection);
  void Forget(Connection* connection);
  void Loop();

  int epoll_ = -1;
  int wake_ = -1;  // eventfd that ends the loop
  std::mutex mutex_;
  std::unordered_map<Connection*, std::shared_ptr<Connection>> watched_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace zelkord::irc
