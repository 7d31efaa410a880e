// The ban list of address patterns (IPv4 fields or IPv6 addresses and
// ranges) and the pattern match. The list has its own lock because the
// window edits it while connection threads scan it during admission.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"

namespace zelkord::config {

// True when the client address matches the pattern. Any thread.
//
// A pattern without ":" is an IPv4 pattern, matched only against an address
// without ":". Both texts are split into four fields from the right (fewer
// dots give empty leading fields, extra dots stay in the first field); a
// pattern field "*" matches any field, every other field must be equal byte
// for byte (no numeric comparison, no partial wildcards).
//
// A pattern with ":" is an IPv6 address or "address/prefix-length", matched
// only against an IPv6 address, on the numeric value: one address matches
// every spelling of itself, a range every address sharing its first
// prefix-length bits. A pattern BanPatternProblem refuses never matches.
[[nodiscard]] bool MatchBanPattern(std::string_view address, std::string_view pattern);

// Empty when the pattern can be used, otherwise why not, in a sentence for
// the person who typed it, quoting the pattern. Every IPv4 pattern (no ":")
// is usable whatever its text; an IPv6 pattern must be an address, or an
// address with a prefix length of 16 to 128. Any thread.
[[nodiscard]] std::string BanPatternProblem(std::string_view pattern);

// The number of patterns BanPatternProblem refuses: kept in the list, but
// never matching. Any thread.
[[nodiscard]] int CountUnusableBanPatterns(const std::vector<std::string>& patterns);

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
