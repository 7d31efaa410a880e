// The shape of a community for the load generator's workload D: channels
// whose sizes fall off as 1/k (a Zipf law), filled from one population with a
// fixed seed, and the bookkeeping of lines that go each either to a channel
// or to one other client. Every line has its own number, so loss, repeats and
// order are checked per delivered line without a table of every
// sender/receiver pair (which thousands of clients would not fit in memory).
#pragma once

#include <cstdint>
#include <vector>

#include "delivery_book.h"

namespace zelkord::bench {

// A small, fast generator whose sequence is the same on every platform, so a
// seed names one community everywhere (the standard distributions do not
// promise that). Single thread.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  // Uniform in [0, bound); bound > 0.
  std::uint64_t Below(std::uint64_t bound);

 private:
  std::uint64_t state_;
};

// Channels of a community of clients: clients / 4 of them, at least one.
// Any thread.
[[nodiscard]] int ZipfChannelCount(int clients);

// Size of channel k (1-based) of a community of clients: (clients / 2) / k
// rounded, at least 2, at most clients. Any thread.
[[nodiscard]] int ZipfChannelSize(int clients, int k);

// The members of each channel (index k - 1 for channel k), drawn with seed:
// distinct clients in every channel, and no client in more than
// maxPerClient channels. A channel too big for the clients still below that
// cap takes all of them; the list ends where fewer than 2 are left. Any thread.
[[nodiscard]] std::vector<std::vector<int>> AssignZipfChannels(int clients, int maxPerClient,
                                                               std::uint64_t seed);

class FanoutBook {
 public:
  // clients clients, every one both sender and receiver; channels as
  // AssignZipfChannels gives them.
  FanoutBook(int clients, std::vector<std::vector<int>> channels);

  [[nodiscard]] const std::vector<int>& Members(int channel) const {
    return channels_[static_cast<std::size_t>(channel)];
  }
  // The channels client is in.
  [[nodiscard]] std::vector<int> ChannelsOf(int client) const;

  // Records a line from sender to every other member of channel, or to
  // receiver alone; returns its line number (1, 2, ...), which the probe
  // carries as its sequence number. Single thread.
  [[nodiscard]] std::uint64_t SendToChannel(int sender, int channel);
  [[nodiscard]] std::uint64_t SendToClient(int sender, int receiver);

  // Records that receiver got line from sender. kInOrder: first copy, and no
  // later line of the sender reached this receiver before it; kLate: a
  // repeat, or overtaken by a later line of the same sender; kStray: no such
  // line, another sender's, or not addressed to this receiver (none of which
  // counts as delivered). Single thread.
  Arrival Record(int receiver, int sender, std::uint64_t line);

  // Marks a client as gone: lines it has not got are no longer missing, and
  // later lines do not expect it. Single thread.
  void DropMember(int member);

  [[nodiscard]] std::uint64_t Sent() const { return lines_.size(); }
  [[nodiscard]] std::uint64_t Delivered() const { return delivered_; }
  [[nodiscard]] std::uint64_t Reordered() const { return reordered_; }
  [[nodiscard]] std::uint64_t Stray() const { return stray_; }
  // Deliveries expected when the lines were sent, less those delivered: a
  // cheap figure for deciding when to stop waiting. Single thread.
  [[nodiscard]] std::uint64_t Pending() const {
    return expectedAtSend_ > delivered_ ? expectedAtSend_ - delivered_ : 0;
  }
  // Copies that live receivers should have got and have not, counted line by
  // line. Single thread.
  [[nodiscard]] std::uint64_t Missing() const;
  // Copies the live receivers should get in all. Single thread.
  [[nodiscard]] std::uint64_t Expected() const;

 private:
  struct Line {
    int sender;
    int channel;   // -1 for a private line
    int receiver;  // the one receiver of a private line
    std::uint32_t senderIndex;
    std::uint64_t firstBit;
  };
  struct Membership {
    int channel;
    int position;
  };

  // The receiver's bit for line, or -1 when the line is not for it.
  [[nodiscard]] std::int64_t BitOf(const Line& line, int receiver) const;
  [[nodiscard]] bool Got(std::int64_t bit) const {
    return (got_[static_cast<std::size_t>(bit) / 64] >> (bit % 64) & 1u) != 0;
  }
  std::uint64_t Add(Line line, std::uint64_t receivers, std::uint64_t bits);

  std::vector<std::vector<int>> channels_;
  std::vector<std::vector<Membership>> memberships_;
  std::vector<int> liveMembers_;
  std::vector<char> live_;
  std::vector<std::vector<std::uint64_t>> linesBySender_;
  std::vector<Line> lines_;
  std::vector<std::uint64_t> got_;
  std::uint64_t nextBit_ = 0;
  std::uint64_t expectedAtSend_ = 0;
  std::uint64_t delivered_ = 0;
  std::uint64_t reordered_ = 0;
  std::uint64_t stray_ = 0;
};

}  // namespace zelkord::bench
