// When the writer should wait before its next round. A writer that keeps up
// sends each line as it comes, for the least latency. One that has had no
// idle moment for a while is behind: every round finds the next already
// waiting, and each member's line or two goes out in a send and a packet of
// its own, the costliest way to deliver them. Pausing for about as long as
// the round took lets each member's lines gather, so the same lines leave
// in fewer, fuller sends and the machine catches up sooner. The pause is
// bounded, so a line waits at most a round and kMostPause more.
#pragma once

#include <chrono>

namespace zelkord::net {

inline constexpr std::chrono::microseconds kMostPause{25000};

class WriterPace {
 public:
  using Clock = std::chrono::steady_clock;

  // A round sent from started to ended; workWaiting when more was queued
  // meanwhile. Returns how long to pause before the next round: zero unless
  // the writer has been busy through nearly all of its waking time lately.
  std::chrono::microseconds AfterRound(Clock::time_point started, Clock::time_point ended,
                                       bool workWaiting);

 private:
  // The share of its waking time the writer spent sending, over the last
  // rounds or so; pauses are not waking time, so pausing does not make the
  // writer look idle.
  double busyShare_ = 0;
  Clock::time_point awakeSince_{};
};

}  // namespace zelkord::net
