// Setting the send rings up and taking them down.
#include "net/send_ring.h"

#include <algorithm>
#include <thread>

namespace zelkord::net {

SendRings::SendRings(bool enabled) {
  if (!enabled) return;
  const unsigned wanted = std::clamp(std::thread::hardware_concurrency(), 1U, kMostRings);
  for (unsigned i = 0; i < wanted; ++i) {
    auto ring = std::make_unique<SendRing>();
    // Fails where the kernel or a container's policy has io_uring off.
    if (io_uring_queue_init(kRingEntries, &ring->ring_, 0) != 0) break;
    rings_.push_back(std::move(ring));
  }
}

SendRings::~SendRings() {
  for (const auto& ring : rings_) io_uring_queue_exit(&ring->ring_);
}

}  // namespace zelkord::net
