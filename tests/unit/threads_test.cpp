// Threads are reused while work keeps coming: each piece of work runs once
// however many arrive together, a finished thread takes the next, what a
// piece captured goes as it ends, and a spare thread ends when none comes.
#include "base/threads.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <set>

#include "support/wait.h"

namespace zelkord::base {
namespace {

using testing::WaitUntil;

TEST(DetachedThreads, RunEachOnceReuseFinishedOnesAndEndWhenIdle) {
  ASSERT_TRUE(WaitUntil([] { return SpareThreads() == 0; }));

  // One at a time: the second piece runs on the thread that ran the first,
  // which let the first's captures go before it waited.
  auto captured = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = captured;
  std::promise<pid_t> first;
  ASSERT_TRUE(
      StartDetachedThread([&first, captured = std::move(captured)] { first.set_value(gettid()); }));
  const pid_t firstThread = first.get_future().get();
  ASSERT_TRUE(WaitUntil([] { return SpareThreads() == 1; }));
  EXPECT_TRUE(watch.expired());
  std::promise<pid_t> second;
  ASSERT_TRUE(StartDetachedThread([&second] { second.set_value(gettid()); }));
  EXPECT_EQ(second.get_future().get(), firstThread);
  ASSERT_TRUE(WaitUntil([] { return SpareThreads() == 1; }));

  // More at once than threads wait: each runs once, all at the same time.
  constexpr int kPieces = 64;
  std::mutex mutex;
  std::condition_variable allIn;
  std::multiset<pid_t> threads;
  for (int i = 0; i < kPieces; ++i) {
    ASSERT_TRUE(StartDetachedThread([&] {
      std::unique_lock lock(mutex);
      threads.insert(gettid());
      allIn.notify_all();
      allIn.wait(lock, [&] { return threads.size() >= kPieces; });
    }));
  }
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(
        allIn.wait_for(lock, std::chrono::seconds(10), [&] { return threads.size() >= kPieces; }));
    EXPECT_EQ(threads.size(), static_cast<std::size_t>(kPieces));
    EXPECT_EQ(std::set<pid_t>(threads.begin(), threads.end()).size(), threads.size());
  }

  // With no more work, the spare threads end.
  ASSERT_TRUE(WaitUntil([] { return SpareThreads() == kPieces; }));
  EXPECT_TRUE(WaitUntil([] { return SpareThreads() == 0; }));
}

}  // namespace
}  // namespace zelkord::base
