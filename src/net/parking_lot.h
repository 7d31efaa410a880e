// Idle connections without a thread. A connection thread whose client has
// been silent for a while parks the socket here and ends; one thread watches
// every parked socket with epoll, and when one has input or is shut down it
// hands the connection to a new thread. A busy connection keeps its own
// thread; a silent one costs no stack, so idle clients do not each hold a
// thread. What a parked client says that needs no thread (its answer to a
// liveness ping) the lot's thread may take itself, leaving it parked.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"

namespace zelkord::net {

class ParkingLot {
 public:
  ParkingLot();
  // Stops watching. Whatever is still parked is dropped unserved: the owner
  // wakes everything (by shutting the sockets down) and waits for it first.
  ~ParkingLot();
  ParkingLot(const ParkingLot&) = delete;
  ParkingLot& operator=(const ParkingLot&) = delete;

  // false when the lot could not start (no epoll): nothing can park.
  [[nodiscard]] bool Ready() const { return epoll_ >= 0; }

  // Watches the sockets until one of them has input or hangs up, then calls
  // wake on the lot's thread, which takes the connection over. wake returns
  // false when it could not (no thread would start); it is then called
  // again after a pause, for as long as it takes. false when the lot cannot
  // watch the sockets: the caller keeps them. Any thread.
  //
  // With absorb, input on a parked socket first goes to absorb on the lot's
  // thread: true means it took everything waiting and the connection stays
  // parked; false wakes it as above. It must never block. Not asked after a
  // hang-up, nor for an entry of several sockets.
  [[nodiscard]] bool Park(std::initializer_list<int> sockets, std::function<bool()> wake,
                          std::function<bool()> absorb = {}) EXCLUDES(mutex_);

  // How many connections are parked now. Any thread.
  [[nodiscard]] std::size_t Parked() EXCLUDES(mutex_);

  // How many times absorb took a parked connection's input. Any thread.
  [[nodiscard]] std::uint64_t Absorbed() const { return absorbed_.load(std::memory_order_relaxed); }

 private:
  struct Entry {
    std::vector<int> sockets;
    std::function<bool()> wake;
    std::function<bool()> absorb;
  };
  void Loop();
  // Stops watching an entry's sockets; the caller has taken it out of the table.
  void Unwatch(const Entry& entry);
  // Lets absorb take an entry's input; true when it did and the entry is
  // parked again under its id.
  bool TryAbsorb(std::uint64_t id, Entry& entry, std::uint32_t events) EXCLUDES(mutex_);

  int epoll_ = -1;
  int wake_ = -1;  // eventfd: ends the loop
  base::Mutex mutex_;
  // By a number never used again, so that an event left over for a woken
  // entry cannot reach a later one on the same socket.
  std::unordered_map<std::uint64_t, Entry> parked_ GUARDED_BY(mutex_);
  std::uint64_t nextId_ GUARDED_BY(mutex_) = 1;  // 0 is the eventfd
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::atomic<std::uint64_t> absorbed_{0};
  std::thread thread_;
};

}  // namespace zelkord::net
