// Per sender/receiver sequence checks and the delivery window.
#include "delivery_book.h"

namespace zelkord::bench {

DeliveryBook::DeliveryBook(int clients, int window)
    : clients_(clients),
      window_(window),
      liveCount_(clients),
      live_(static_cast<std::size_t>(clients), 1),
      sent_(static_cast<std::size_t>(clients), 0),
      fullyDelivered_(static_cast<std::size_t>(clients), 0),
      windowCounts_(static_cast<std::size_t>(clients) * static_cast<std::size_t>(window), 0),
      highest_(static_cast<std::size_t>(clients) * static_cast<std::size_t>(clients), 0),
      received_(static_cast<std::size_t>(clients) * static_cast<std::size_t>(clients), 0) {}

std::uint64_t DeliveryBook::NextSeq(int sender) {
  ++totalSent_;
  return ++sent_[static_cast<std::size_t>(sender)];
}

Arrival DeliveryBook::Record(int receiver, int sender, std::uint64_t seq) {
  if (receiver < 0 || receiver >= clients_ || sender < 0 || sender >= clients_ ||
      receiver == sender || seq == 0 || seq > sent_[static_cast<std::size_t>(sender)]) {
    ++stray_;
    return Arrival::kStray;
  }
  const std::size_t pair = Pair(receiver, sender);
  ++received_[pair];
  ++delivered_;
  Arrival arrival = Arrival::kInOrder;
  if (seq <= highest_[pair]) {
    ++reordered_;
    arrival = Arrival::kLate;
  } else {
    if (seq != highest_[pair] + 1) arrival = Arrival::kGap;
    highest_[pair] = seq;
  }
  if (window_ > 0 && seq > fullyDelivered_[static_cast<std::size_t>(sender)]) {
    const std::size_t slot = static_cast<std::size_t>(sender) * static_cast<std::size_t>(window_) +
                             static_cast<std::size_t>(seq % static_cast<std::uint64_t>(window_));
    ++windowCounts_[slot];
    Advance(sender);
  }
  return arrival;
}

void DeliveryBook::Advance(int sender) {
  const auto s = static_cast<std::size_t>(sender);
  const int needed = ReceiversOf(sender);
  const auto base = s * static_cast<std::size_t>(window_);
  while (fullyDelivered_[s] < sent_[s]) {
    const std::size_t slot = base + static_cast<std::size_t>((fullyDelivered_[s] + 1) %
                                                             static_cast<std::uint64_t>(window_));
    if (windowCounts_[slot] < needed) break;
    windowCounts_[slot] = 0;
    ++fullyDelivered_[s];
  }
}

void DeliveryBook::DropMember(int member) {
  if (member < 0 || member >= clients_ || !live_[static_cast<std::size_t>(member)]) return;
  live_[static_cast<std::size_t>(member)] = 0;
  --liveCount_;
  // Fewer receivers may complete lines that were waiting for the one gone.
  if (window_ > 0) {
    for (int sender = 0; sender < clients_; ++sender) Advance(sender);
  }
}

std::uint64_t DeliveryBook::Outstanding(int sender) const {
  if (window_ == 0) return 0;
  const auto s = static_cast<std::size_t>(sender);
  return sent_[s] - fullyDelivered_[s];
}

std::uint64_t DeliveryBook::Missing() const {
  std::uint64_t missing = 0;
  for (int receiver = 0; receiver < clients_; ++receiver) {
    if (!live_[static_cast<std::size_t>(receiver)]) continue;
    for (int sender = 0; sender < clients_; ++sender) {
      if (sender == receiver) continue;
      const std::uint64_t sent = sent_[static_cast<std::size_t>(sender)];
      const std::uint64_t got = received_[Pair(receiver, sender)];
      if (sent > got) missing += sent - got;
    }
  }
  return missing;
}

std::uint64_t DeliveryBook::Expected() const {
  std::uint64_t expected = 0;
  for (int sender = 0; sender < clients_; ++sender) {
    expected +=
        sent_[static_cast<std::size_t>(sender)] * static_cast<std::uint64_t>(ReceiversOf(sender));
  }
  return expected;
}

}  // namespace zelkord::bench
