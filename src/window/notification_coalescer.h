// Coalesces the desk's notifications into refreshes of the window. Protocol
// threads only mark what changed, and at most one refresh is posted to the
// GUI thread until that refresh takes the marks; nothing is queued per line,
// so memory stays bounded under any load. Toolkit-free: the window hands in
// how a refresh is posted.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"

namespace zelkord::window {

// Channel names remembered as removed between two refreshes; beyond this
// every channel page is rebuilt instead.
inline constexpr std::size_t kRemovedChannelsKept = 64;
// Log slots tracked one by one; a higher slot makes every page refresh.
inline constexpr int kTrackedLogSlots = 65536;
// Warnings kept between two refreshes: the newest.
inline constexpr std::size_t kWarningsKept = 16;

class NotificationCoalescer {
 public:
  // The parts of the window a notification marks.
  enum DirtyBit : unsigned {
    kUsersDirty = 1,
    kChannelsDirty = 2,
    kLogPagesDirty = 4,
    kAllLogPagesDirty = 8,
    kWebViewDirty = 16,
    kBanListDirty = 32,
    kWarningsDirty = 64,
    kEverythingDirty = 127,
  };
  // What happened to one communication log slot.
  enum SlotFlag : unsigned char { kSlotChanged = 1, kSlotReopened = 2 };

  // Everything marked since the previous Take.
  struct Changes {
    unsigned bits = 0;
    std::set<std::string> removedChannels;
    bool rebuildChannels = false;          // more removals than were remembered
    std::vector<unsigned char> slotFlags;  // SlotFlag bits, by slot
    std::deque<std::string> warnings;
  };

  // Bookkeeping, for checks that nothing piles up.
  struct Counts {
    std::uint64_t notifications = 0;  // marks received
    std::uint64_t posts = 0;          // refreshes posted
    std::uint64_t refreshes = 0;      // Takes run
    bool posted = false;              // one refresh is on its way now
    std::size_t removedChannels = 0;  // removals remembered for the next Take
  };

  // post asks for one refresh (a Take) later, on the thread that takes; it
  // is called from the marking thread and must neither block nor call back.
  explicit NotificationCoalescer(std::function<void()> post) : post_(std::move(post)) {}
  NotificationCoalescer(const NotificationCoalescer&) = delete;
  NotificationCoalescer& operator=(const NotificationCoalescer&) = delete;

  // Marks parts of the window changed; posts unless a refresh is on its way.
  // Any thread.
  void MarkDirty(unsigned bits);
  // Remembers a removed channel: a page of that name still shown is stale,
  // even when a channel of the same name exists again by the refresh.
  // Any thread.
  void ChannelRemoved(std::string_view name) EXCLUDES(mutex_);
  // Flags the slots (a slot outside the tracked range marks every page).
  // Any thread.
  void MarkLogSlots(std::span<const int> slots, unsigned char flags) EXCLUDES(mutex_);
  // Keeps a warning line for the refresh, dropping the oldest beyond
  // kWarningsKept. Any thread.
  void AddWarning(std::string line) EXCLUDES(mutex_);

  // Takes everything marked so far and lets the next mark post again. The
  // refresh's first step. The thread that serves the posts only.
  [[nodiscard]] Changes Take() EXCLUDES(mutex_);

  [[nodiscard]] Counts CurrentCounts() EXCLUDES(mutex_);

 private:
  const std::function<void()> post_;
  std::atomic<unsigned> dirty_{0};
  std::atomic<bool> posted_{false};
  std::atomic<std::uint64_t> notifications_{0};
  std::atomic<std::uint64_t> posts_{0};
  std::atomic<std::uint64_t> refreshes_{0};
  // The pending-event lock (see base/mutex.h for its place in the lock
  // order): marks take it, often under the protocol lock, only to add to the
  // fields below, and Take only to swap them out; no other lock is taken and
  // nothing waits while it is held.
  base::Mutex mutex_;
  std::set<std::string> removedChannels_ GUARDED_BY(mutex_);
  bool rebuildChannels_ GUARDED_BY(mutex_) = false;
  std::vector<unsigned char> logSlots_ GUARDED_BY(mutex_);
  std::deque<std::string> warnings_ GUARDED_BY(mutex_);
};

}  // namespace zelkord::window
