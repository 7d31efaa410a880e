// Marking from any thread, taking on the refreshing one.
#include "window/notification_coalescer.h"

#include <utility>

namespace zelkord::window {

void NotificationCoalescer::MarkDirty(unsigned bits) {
  ++notifications_;
  // The bits first, then the post: a Take that has already taken the bits
  // has also cleared posted_, so this change posts again.
  dirty_.fetch_or(bits);
  if (posted_.exchange(true)) return;
  ++posts_;
  post_();
}

void NotificationCoalescer::ChannelRemoved(std::string_view name) {
  {
    base::MutexLock lock(mutex_);
    if (removedChannels_.size() < kRemovedChannelsKept) {
      removedChannels_.emplace(name);
    } else {
      rebuildChannels_ = true;
    }
  }
  MarkDirty(kChannelsDirty);
}

void NotificationCoalescer::MarkLogSlots(std::span<const int> slots, unsigned char flags) {
  unsigned bits = 0;
  {
    base::MutexLock lock(mutex_);
    for (int slot : slots) {
      if (slot < 0 || slot >= kTrackedLogSlots) {
        bits |= kAllLogPagesDirty;
        continue;
      }
      const auto index = static_cast<std::size_t>(slot);
      if (logSlots_.size() <= index) logSlots_.resize(index + 1, 0);
      logSlots_[index] |= flags;
      bits |= kLogPagesDirty;
    }
  }
  if (bits != 0) MarkDirty(bits);
}

void NotificationCoalescer::AddWarning(std::string line) {
  {
    base::MutexLock lock(mutex_);
    if (warnings_.size() >= kWarningsKept) warnings_.pop_front();
    warnings_.push_back(std::move(line));
  }
  MarkDirty(kWarningsDirty);
}

NotificationCoalescer::Changes NotificationCoalescer::Take() {
  // Cleared before the bits are taken: see MarkDirty.
  posted_ = false;
  Changes changes;
  changes.bits = dirty_.exchange(0);
  {
    base::MutexLock lock(mutex_);
    changes.warnings.swap(warnings_);
    changes.removedChannels.swap(removedChannels_);
    changes.rebuildChannels = std::exchange(rebuildChannels_, false);
    changes.slotFlags.swap(logSlots_);
  }
  ++refreshes_;
  return changes;
}

NotificationCoalescer::Counts NotificationCoalescer::CurrentCounts() {
  Counts counts;
  counts.notifications = notifications_.load();
  counts.posts = posts_.load();
  counts.refreshes = refreshes_.load();
  counts.posted = posted_.load();
  base::MutexLock lock(mutex_);
  counts.removedChannels = removedChannels_.size();
  return counts;
}

}  // namespace zelkord::window
