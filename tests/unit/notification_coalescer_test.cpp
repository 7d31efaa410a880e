// The coalescer between marking threads and the thread that takes: marks
// from several threads at once post a single refresh while none is taken,
// and with a taker serving the posts alongside, every mark reaches a Take.
#include "window/notification_coalescer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <thread>
#include <vector>

namespace zelkord::window {
namespace {

using Coalescer = NotificationCoalescer;

constexpr int kThreads = 4;
constexpr int kSlotsPerThread = 4000;
constexpr int kSlots = kThreads * kSlotsPerThread;
static_assert(kSlots <= kTrackedLogSlots, "every slot is tracked one by one");

// The posts waiting to be served, as the window's event queue holds them.
struct PostBox {
  base::Mutex mutex;
  base::CondVar wake;
  int waiting = 0;
  bool done = false;

  void Post() {
    {
      base::MutexLock lock(mutex);
      ++waiting;
    }
    wake.notify_one();
  }
};

// Each thread flags its own slots, one mark per slot, all starting at once.
void MarkFromThreads(Coalescer& coalescer) {
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&coalescer, &start, t] {
      start.arrive_and_wait();
      for (int slot = t * kSlotsPerThread; slot < (t + 1) * kSlotsPerThread; ++slot) {
        coalescer.MarkLogSlots({&slot, 1}, Coalescer::kSlotChanged);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

void Collect(const Coalescer::Changes& changes, std::vector<bool>& seen) {
  for (std::size_t slot = 0; slot < changes.slotFlags.size(); ++slot) {
    if ((changes.slotFlags[slot] & Coalescer::kSlotChanged) != 0) seen[slot] = true;
  }
}

TEST(NotificationCoalescer, ConcurrentMarksCoalesceAndNoneIsLost) {
  PostBox box;
  Coalescer coalescer([&box] { box.Post(); });

  // Nothing is taken meanwhile: one post, and one Take holds every mark.
  MarkFromThreads(coalescer);
  EXPECT_EQ(coalescer.CurrentCounts().notifications, static_cast<std::uint64_t>(kSlots));
  EXPECT_EQ(coalescer.CurrentCounts().posts, 1u);
  std::vector<bool> seen(kSlots);
  const Coalescer::Changes first = coalescer.Take();
  EXPECT_EQ(first.bits, Coalescer::kLogPagesDirty);
  Collect(first, seen);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kSlots);

  // A taker serves each post as it comes while the threads mark again.
  {
    base::MutexLock lock(box.mutex);
    box.waiting = 0;
  }
  std::vector<bool> seenAgain(kSlots);
  std::uint64_t takes = 0;
  std::thread taker([&] {
    for (;;) {
      {
        base::MutexLock lock(box.mutex);
        box.wake.wait(box.mutex, [&box] { return box.waiting > 0 || box.done; });
        if (box.waiting == 0) return;
        --box.waiting;
      }
      Collect(coalescer.Take(), seenAgain);
      ++takes;
    }
  });
  MarkFromThreads(coalescer);
  {
    base::MutexLock lock(box.mutex);
    box.done = true;
  }
  box.wake.notify_one();
  taker.join();

  EXPECT_EQ(std::count(seenAgain.begin(), seenAgain.end(), true), kSlots);
  const Coalescer::Counts counts = coalescer.CurrentCounts();
  EXPECT_EQ(counts.posts, 1 + takes);
  EXPECT_EQ(counts.refreshes, 1 + takes);
  EXPECT_FALSE(counts.posted);
  const Coalescer::Changes left = coalescer.Take();
  EXPECT_EQ(left.bits, 0u);
  EXPECT_TRUE(left.slotFlags.empty());
}

}  // namespace
}  // namespace zelkord::window
