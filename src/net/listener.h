// One listening socket and the chain of threads accepting on it: a thread
// accepts one connection, starts its successor and then serves what it
// accepted, so the socket always has a thread waiting. Accepts failing for
// lack of descriptors or memory back off and retry, told once a spell.
// Closing the listener fails the waiting accepts and so ends the chain; the
// descriptor stays open until the listener is destroyed, so its number is
// not reused under a thread still inside accept.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "net/tcp.h"

namespace zelkord::net {

class Listener {
 public:
  // Serves one accepted socket, which it then owns. The accepting thread.
  using Serve = std::function<void(int socket, const std::string& address)>;
  // Starts body on a thread of its own, counted by whoever owns the
  // listener; false when no thread could start (body is then not run).
  using StartThread = std::function<bool(std::function<void()> body)>;

  // waiting is how many threads wait in accept at once; report tells a
  // spell of failing accepts (see AcceptSpell).
  Listener(int waiting, std::function<void(int error)> report, StartThread start, Serve serve);
  // Closes every socket it opened. Only once none of its threads is left.
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Listens on port (0 lets the kernel choose). false, with errno, when the
  // socket cannot listen. Main thread, while closed.
  [[nodiscard]] bool Open(int port);
  // Starts the waiting threads; false at the first that cannot start.
  // Main thread, once after each Open.
  [[nodiscard]] bool StartThreads();
  // Shuts the socket down, which ends its chain; later accepts fail. Does
  // nothing when closed. Main thread.
  void Close();

  // Whether the socket is open now. Any thread.
  [[nodiscard]] bool IsOpen() const { return socket_.load() != kNoSocket; }
  // The port of the last Open, or -1 before any. Main thread.
  [[nodiscard]] int Port() const { return port_; }
  // The pauses its accepting threads took after accepts failed for lack of
  // descriptors or memory. Any thread.
  [[nodiscard]] std::uint64_t AcceptBackoffs() const { return spell_.Backoffs(); }

 private:
  // One thread of the chain: accepts until it has started a successor.
  void Run();
  [[nodiscard]] bool StartOne();

  const int waiting_;
  const StartThread start_;
  const Serve serve_;
  // One spell for the listener, not per thread, since several threads wait
  // on it at once.
  AcceptSpell spell_;
  std::atomic<int> socket_{kNoSocket};
  int port_ = -1;
  std::vector<int> closed_;  // main thread; shut down, closed at destruction
};

}  // namespace zelkord::net
