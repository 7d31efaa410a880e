// Bookkeeping of a channel flood: what each sender sent, what each receiver
// got from each sender and in which order, and, for the windowed workload,
// how many of a sender's lines have not yet reached every other member.
// Loss is counted as lines sent but never received by a receiver that was
// still connected at the end; a line that arrives after a later line of the
// same sender counts as reordered.
#pragma once

#include <cstdint>
#include <vector>

namespace zelkord::bench {

enum class Arrival { kInOrder, kGap, kLate, kStray };

class DeliveryBook {
 public:
  // clients members, each both sender and receiver. window 0 turns the
  // window accounting off; otherwise a sender may have at most window lines
  // outstanding (the caller keeps to that).
  DeliveryBook(int clients, int window);

  // Records that sender sends its next line; returns that line's sequence
  // number (1, 2, ...). Single thread.
  [[nodiscard]] std::uint64_t NextSeq(int sender);

  // Records that receiver got line seq of sender. kInOrder: the next one
  // expected; kGap: later than expected (earlier ones missing so far);
  // kLate: older than one already received (reordered or repeated);
  // kStray: never sent, or the receiver's own line, or out of range (not
  // counted as delivered). Single thread.
  Arrival Record(int receiver, int sender, std::uint64_t seq);

  // Marks a member as gone (its connection closed): it no longer counts as
  // a receiver that must get every line. Single thread.
  void DropMember(int member);

  // Lines of sender that some live receiver has not yet got, as far as the
  // window accounting can tell (0 when the window is off). Single thread.
  [[nodiscard]] std::uint64_t Outstanding(int sender) const;

  [[nodiscard]] std::uint64_t Sent() const { return totalSent_; }
  [[nodiscard]] std::uint64_t Delivered() const { return delivered_; }
  [[nodiscard]] std::uint64_t Reordered() const { return reordered_; }
  [[nodiscard]] std::uint64_t Stray() const { return stray_; }

  // Lines that live receivers should have got from every sender and have
  // not (yet): the sum over receiver/sender pairs of sent minus received,
  // never below zero per pair. Single thread.
  [[nodiscard]] std::uint64_t Missing() const;

  // Deliveries the live receivers should get in all. Single thread.
  [[nodiscard]] std::uint64_t Expected() const;

 private:
  [[nodiscard]] std::size_t Pair(int receiver, int sender) const {
    return static_cast<std::size_t>(receiver) * static_cast<std::size_t>(clients_) +
           static_cast<std::size_t>(sender);
  }
  [[nodiscard]] int ReceiversOf(int sender) const {
    return liveCount_ - (live_[static_cast<std::size_t>(sender)] ? 1 : 0);
  }
  void Advance(int sender);

  int clients_;
  int window_;
  int liveCount_;
  std::vector<char> live_;
  std::vector<std::uint64_t> sent_;
  std::vector<std::uint64_t> fullyDelivered_;
  std::vector<int> windowCounts_;  // clients x window: receivers that got seq % window
  std::vector<std::uint64_t> highest_;
  std::vector<std::uint64_t> received_;
  std::uint64_t totalSent_ = 0;
  std::uint64_t delivered_ = 0;
  std::uint64_t reordered_ = 0;
  std::uint64_t stray_ = 0;
};

}  // namespace zelkord::bench
