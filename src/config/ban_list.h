// The ban list of IPv4 address patterns and the pattern match. The list has
// its own lock because the window edits it while connection threads scan it
// during admission.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"

namespace zelkord::config {

// True when the dotted address matches the pattern. Both texts are split into
// four fields from the right (fewer dots give empty leading fields, extra dots
// stay in the first field); a pattern field "*" matches any field, every other
// field must be equal byte for byte (no numeric comparison, no partial
// wildcards). Any thread.
[[nodiscard]] bool MatchBanPattern(std::string_view address, std::string_view pattern);

// Most patterns the list holds; the settings file loads and saves no more.
inline constexpr int kBanCapacity = 1024;

// The ordered list of ban patterns. Duplicates and patterns that can never
// match are kept as given. Every member may be called from any thread; a scan
// sees the list either before or after a concurrent edit, never half of one.
class BanList {
 public:
  BanList() = default;
  BanList(const BanList&) = delete;
  BanList& operator=(const BanList&) = delete;

  // Replaces the whole list, keeping at most the first kBanCapacity patterns.
  // Any thread.
  void Assign(std::vector<std::string> patterns);

  // True when any pattern matches the address; patterns are tried in list
  // order and the first match ends the scan. Any thread.
  [[nodiscard]] bool IsBanned(std::string_view address) const;

  // Appends a pattern unchanged (even empty or already listed). False, with
  // the list unchanged, when it already holds kBanCapacity patterns. Any thread.
  [[nodiscard]] bool Add(std::string pattern);

  // Replaces the pattern at index. False, with the list unchanged, when the
  // index is out of range. Any thread.
  [[nodiscard]] bool ReplaceAt(int index, std::string pattern);

  // Removes the pattern at index. False, with the list unchanged, when the
  // index is out of range. Any thread.
  [[nodiscard]] bool EraseAt(int index);

  // Appends the address itself as a pattern, as Add does. False when the list
  // is full. Any thread.
  [[nodiscard]] bool BanAddress(std::string_view address);

  // Returns a copy of the patterns in list order. Any thread.
  [[nodiscard]] std::vector<std::string> Snapshot() const;

  // Returns the number of patterns. Any thread.
  [[nodiscard]] int Count() const;

 private:
  mutable base::Mutex mutex_;
  std::vector<std::string> patterns_ GUARDED_BY(mutex_);
};

}  // namespace zelkord::config
