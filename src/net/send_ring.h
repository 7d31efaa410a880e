// Batched sends: io_uring rings through which the first sends of many
// connections reach the kernel as one submission instead of one system
// call each. A ring is taken by one thread at a time; a thread that finds
// every ring taken, or a kernel with io_uring off, sends without one.
#pragma once

#include <liburing.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zelkord::net {

// Entries of a send ring: a line to a channel of this many members goes to
// the kernel in one submission, a larger channel in several.
inline constexpr unsigned kRingEntries = 64;
// The rings kept: as many as threads that can send at once, at most this.
inline constexpr unsigned kMostRings = 8;

class SendRing {
 public:
  // Queues a send of size bytes at data on socket, never waiting, tagged
  // for its completion; the bytes must stay put until it completes. false
  // when the ring is full. The taking thread.
  [[nodiscard]] bool Prepare(int socket, const char* data, std::size_t size, std::uint64_t tag) {
    io_uring_sqe* entry = io_uring_get_sqe(&ring_);
    if (entry == nullptr) return false;
    io_uring_prep_send(entry, socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    io_uring_sqe_set_data64(entry, tag);
    return true;
  }

  // Submits the prepared sends and waits until count have completed; each
  // send completes within the submission, since none waits. The number the
  // kernel took, in order: 0 when it took none. The taking thread.
  [[nodiscard]] std::size_t SubmitAndWait(std::size_t count) {
    const int submitted = io_uring_submit_and_wait(&ring_, static_cast<unsigned>(count));
    return submitted > 0 ? static_cast<std::size_t>(submitted) : 0;
  }

  // Takes the next completion: its tag, and the bytes sent or -errno.
  // false when none can be had. The taking thread.
  [[nodiscard]] bool NextCompletion(std::uint64_t& tag, int& result) {
    io_uring_cqe* completion = nullptr;
    int waited = 0;
    while ((waited = io_uring_wait_cqe(&ring_, &completion)) == -EINTR) {
    }
    if (waited < 0) return false;
    tag = io_uring_cqe_get_data64(completion);
    result = completion->res;
    io_uring_cqe_seen(&ring_, completion);
    return true;
  }

 private:
  friend class SendRings;
  io_uring ring_{};
  // Owned by one thread from Take to GiveBack. Nobody ever waits for it.
  std::atomic_flag taken_ = ATOMIC_FLAG_INIT;
};

// The rings of one writer.
class SendRings {
 public:
  // Sets up the rings, or none when not enabled or where the kernel or a
  // container's policy has io_uring off.
  explicit SendRings(bool enabled);
  ~SendRings();
  SendRings(const SendRings&) = delete;
  SendRings& operator=(const SendRings&) = delete;

  // A ring to send a batch with, or nullptr when all are taken or there are
  // none; given back with GiveBack. Any thread.
  [[nodiscard]] SendRing* Take() {
    for (const auto& ring : rings_) {
      if (!ring->taken_.test_and_set(std::memory_order_acquire)) return ring.get();
    }
    return nullptr;
  }
  static void GiveBack(SendRing& ring) { ring.taken_.clear(std::memory_order_release); }

 private:
  std::vector<std::unique_ptr<SendRing>> rings_;
};

}  // namespace zelkord::net
