// The writer pauses only when it has been behind for a while, for about a
// round, and goes back to sending at once when it catches up.
#include "net/writer_pace.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelkord::net {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// Feeds rounds of round's length, each after gap of waiting for work, and
// returns the pauses asked for; the next round starts when the pause ends.
struct Timeline {
  WriterPace pace;
  WriterPace::Clock::time_point now{};

  std::vector<microseconds> Rounds(int count, microseconds round, microseconds gap,
                                   bool workWaiting) {
    std::vector<microseconds> pauses;
    for (int i = 0; i < count; ++i) {
      const auto started = now + gap;
      now = started + round;
      pauses.push_back(pace.AfterRound(started, now, workWaiting));
      now += pauses.back();
    }
    return pauses;
  }
};

int Paused(const std::vector<microseconds>& pauses) {
  int count = 0;
  for (const microseconds pause : pauses) count += pause.count() > 0 ? 1 : 0;
  return count;
}

TEST(WriterPace, PausesOnlyWhileBehindAndForAboutARound) {
  Timeline line;
  // Keeping up: a quarter of the time sending, even with work often waiting.
  EXPECT_EQ(Paused(line.Rounds(200, milliseconds(1), milliseconds(3), true)), 0);
  // One long round is no trend.
  EXPECT_EQ(Paused(line.Rounds(1, milliseconds(30), {}, true)), 0);
  // Behind: no idle moment, work always waiting. The pauses come after a
  // few rounds, last a round each and are not mistaken for idle time.
  const auto behind = line.Rounds(60, milliseconds(4), {}, true);
  EXPECT_EQ(behind.front(), microseconds(0));
  EXPECT_EQ(behind.back(), milliseconds(4));
  EXPECT_GT(Paused(behind), 40);
  // A very long round pauses no longer than the bound.
  EXPECT_EQ(line.Rounds(1, milliseconds(200), {}, true).back(), kMostPause);
  // Nothing queued meanwhile: nothing to gather, so no pause.
  EXPECT_EQ(Paused(line.Rounds(5, milliseconds(4), {}, false)), 0);
  // Caught up: idle time between rounds again, and the pauses end.
  const auto caughtUp = line.Rounds(40, milliseconds(1), milliseconds(3), true);
  EXPECT_EQ(caughtUp.back(), microseconds(0));
  EXPECT_LT(Paused(caughtUp), 20);
}

}  // namespace
}  // namespace zelkord::net
