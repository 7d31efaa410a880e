// Channel assignment and line bookkeeping for workload D.
#include "community.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace zelkord::bench {

std::uint64_t SplitMix64::Next() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// The modulo bias is below one in 10^12 for the bounds used here.
std::uint64_t SplitMix64::Below(std::uint64_t bound) {
  return Next() % bound;
}

int ZipfChannelCount(int clients) {
  return std::max(1, clients / 4);
}

int ZipfChannelSize(int clients, int k) {
  const double size = std::round(static_cast<double>(clients / 2) / static_cast<double>(k));
  return std::min(clients, std::max(2, static_cast<int>(size)));
}

std::vector<std::vector<int>> AssignZipfChannels(int clients, int maxPerClient,
                                                 std::uint64_t seed) {
  std::vector<std::vector<int>> channels;
  if (clients < 2 || maxPerClient < 1) return channels;
  SplitMix64 random(seed);
  // The clients still below the cap; each channel is a partial shuffle of it.
  std::vector<int> pool(static_cast<std::size_t>(clients));
  std::iota(pool.begin(), pool.end(), 0);
  std::vector<int> counts(static_cast<std::size_t>(clients), 0);
  const int count = ZipfChannelCount(clients);
  for (int k = 1; k <= count; ++k) {
    const std::size_t size =
        std::min(static_cast<std::size_t>(ZipfChannelSize(clients, k)), pool.size());
    if (size < 2) break;
    std::vector<int> members;
    members.reserve(size);
    bool someoneFull = false;
    for (std::size_t i = 0; i < size; ++i) {
      std::swap(pool[i], pool[i + random.Below(pool.size() - i)]);
      members.push_back(pool[i]);
      someoneFull |= ++counts[static_cast<std::size_t>(pool[i])] >= maxPerClient;
    }
    if (someoneFull) {
      std::erase_if(pool,
                    [&](int c) { return counts[static_cast<std::size_t>(c)] >= maxPerClient; });
    }
    std::sort(members.begin(), members.end());
    channels.push_back(std::move(members));
  }
  return channels;
}

FanoutBook::FanoutBook(int clients, std::vector<std::vector<int>> channels)
    : channels_(std::move(channels)),
      memberships_(static_cast<std::size_t>(clients)),
      live_(static_cast<std::size_t>(clients), 1),
      linesBySender_(static_cast<std::size_t>(clients)) {
  liveMembers_.reserve(channels_.size());
  for (std::size_t channel = 0; channel < channels_.size(); ++channel) {
    const std::vector<int>& members = channels_[channel];
    liveMembers_.push_back(static_cast<int>(members.size()));
    for (std::size_t position = 0; position < members.size(); ++position) {
      memberships_[static_cast<std::size_t>(members[position])].push_back(
          {static_cast<int>(channel), static_cast<int>(position)});
    }
  }
}

std::vector<int> FanoutBook::ChannelsOf(int client) const {
  std::vector<int> result;
  for (const Membership& m : memberships_[static_cast<std::size_t>(client)]) {
    result.push_back(m.channel);
  }
  return result;
}

std::int64_t FanoutBook::BitOf(const Line& line, int receiver) const {
  if (receiver == line.sender) return -1;
  if (line.channel < 0) {
    return receiver == line.receiver ? static_cast<std::int64_t>(line.firstBit) : -1;
  }
  for (const Membership& m : memberships_[static_cast<std::size_t>(receiver)]) {
    if (m.channel == line.channel) return static_cast<std::int64_t>(line.firstBit) + m.position;
  }
  return -1;
}

std::uint64_t FanoutBook::Add(Line line, std::uint64_t receivers, std::uint64_t bits) {
  auto& ofSender = linesBySender_[static_cast<std::size_t>(line.sender)];
  line.senderIndex = static_cast<std::uint32_t>(ofSender.size());
  line.firstBit = nextBit_;
  lines_.push_back(line);
  ofSender.push_back(lines_.size());
  nextBit_ += bits;
  got_.resize((nextBit_ + 63) / 64, 0);
  expectedAtSend_ += receivers;
  return lines_.size();
}

std::uint64_t FanoutBook::SendToChannel(int sender, int channel) {
  const Line line{sender, channel, -1, 0, 0};
  const auto& own = memberships_[static_cast<std::size_t>(sender)];
  const bool senderCounted = live_[static_cast<std::size_t>(sender)] != 0 &&
                             std::any_of(own.begin(), own.end(), [channel](const Membership& m) {
                               return m.channel == channel;
                             });
  const int receivers = liveMembers_[static_cast<std::size_t>(channel)] - (senderCounted ? 1 : 0);
  return Add(line, static_cast<std::uint64_t>(std::max(0, receivers)),
             channels_[static_cast<std::size_t>(channel)].size());
}

std::uint64_t FanoutBook::SendToClient(int sender, int receiver) {
  const bool counted = receiver != sender && live_[static_cast<std::size_t>(receiver)] != 0;
  return Add({sender, -1, receiver, 0, 0}, counted ? 1 : 0, 1);
}

Arrival FanoutBook::Record(int receiver, int sender, std::uint64_t number) {
  const auto clients = static_cast<int>(live_.size());
  if (receiver < 0 || receiver >= clients || sender < 0 || sender >= clients || number == 0 ||
      number > lines_.size() || lines_[number - 1].sender != sender) {
    ++stray_;
    return Arrival::kStray;
  }
  const Line& line = lines_[number - 1];
  const std::int64_t bit = BitOf(line, receiver);
  if (bit < 0) {
    ++stray_;
    return Arrival::kStray;
  }
  if (Got(bit)) {
    ++reordered_;
    return Arrival::kLate;
  }
  got_[static_cast<std::size_t>(bit) / 64] |= std::uint64_t{1} << (bit % 64);
  ++delivered_;
  // A sender sends few lines in a run, so looking at its later ones is cheap.
  const auto& ofSender = linesBySender_[static_cast<std::size_t>(sender)];
  for (std::size_t i = line.senderIndex + 1; i < ofSender.size(); ++i) {
    const std::int64_t later = BitOf(lines_[ofSender[i] - 1], receiver);
    if (later >= 0 && Got(later)) {
      ++reordered_;
      return Arrival::kLate;
    }
  }
  return Arrival::kInOrder;
}

void FanoutBook::DropMember(int member) {
  if (member < 0 || member >= static_cast<int>(live_.size()) ||
      live_[static_cast<std::size_t>(member)] == 0) {
    return;
  }
  live_[static_cast<std::size_t>(member)] = 0;
  for (const Membership& m : memberships_[static_cast<std::size_t>(member)]) {
    --liveMembers_[static_cast<std::size_t>(m.channel)];
  }
}

std::uint64_t FanoutBook::Missing() const {
  std::uint64_t missing = 0;
  for (const Line& line : lines_) {
    if (line.channel < 0) {
      if (line.receiver != line.sender && live_[static_cast<std::size_t>(line.receiver)] != 0 &&
          !Got(static_cast<std::int64_t>(line.firstBit))) {
        ++missing;
      }
      continue;
    }
    const std::vector<int>& members = channels_[static_cast<std::size_t>(line.channel)];
    for (std::size_t position = 0; position < members.size(); ++position) {
      const int member = members[position];
      if (member != line.sender && live_[static_cast<std::size_t>(member)] != 0 &&
          !Got(static_cast<std::int64_t>(line.firstBit + position))) {
        ++missing;
      }
    }
  }
  return missing;
}

std::uint64_t FanoutBook::Expected() const {
  std::uint64_t expected = 0;
  for (const Line& line : lines_) {
    if (line.channel < 0) {
      if (line.receiver != line.sender && live_[static_cast<std::size_t>(line.receiver)] != 0) {
        ++expected;
      }
      continue;
    }
    for (const int member : channels_[static_cast<std::size_t>(line.channel)]) {
      if (member != line.sender && live_[static_cast<std::size_t>(member)] != 0) ++expected;
    }
  }
  return expected;
}

}  // namespace zelkord::bench
