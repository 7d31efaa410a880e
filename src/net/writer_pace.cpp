// Pausing the writer when it is behind.
#include "net/writer_pace.h"

#include <algorithm>

namespace zelkord::net {
namespace {

// Busy through this share of its waking time, the writer is behind. A
// writer that keeps up waits for work between rounds, far below it.
constexpr double kBehindShare = 0.9;
// Each round moves the smoothed share this part of the way: some twenty
// busy rounds in a row make a writer behind, not one long one.
constexpr double kSmoothing = 1.0 / 8;

}  // namespace

std::chrono::microseconds WriterPace::AfterRound(Clock::time_point started, Clock::time_point ended,
                                                 bool workWaiting) {
  using std::chrono::duration;
  const double sending = duration<double>(ended - started).count();
  const double waiting =
      duration<double>(std::max(started - awakeSince_, Clock::duration{})).count();
  const double share = sending + waiting > 0 ? sending / (sending + waiting) : 0;
  busyShare_ += (share - busyShare_) * kSmoothing;
  std::chrono::microseconds pause{0};
  if (workWaiting && busyShare_ >= kBehindShare) {
    pause = std::min(std::chrono::duration_cast<std::chrono::microseconds>(ended - started),
                     kMostPause);
  }
  awakeSince_ = ended + pause;
  return pause;
}

}  // namespace zelkord::net
