// Ban patterns: the four-field match and the locked pattern list.
#include "config/ban_list.h"

#include <array>
#include <utility>

namespace zelkord::config {

namespace {

constexpr int kBanFieldCount = 4;
constexpr std::string_view kAnyField = "*";

using BanFields = std::array<std::string_view, kBanFieldCount>;

// Splits from the right, so a text with too few dots has empty leading fields
// and one with too many keeps the extra dots in its first field; either way it
// cannot match a dotted-decimal address field by field.
BanFields SplitFromRight(std::string_view text) {
  BanFields fields;
  for (int index = kBanFieldCount - 1; index > 0; --index) {
    const std::size_t dot = text.rfind('.');
    if (dot == std::string_view::npos) {
      fields[index] = text;
      text = {};
    } else {
      fields[index] = text.substr(dot + 1);
      text = text.substr(0, dot);
    }
  }
  fields[0] = text;
  return fields;
}

}  // namespace

bool MatchBanPattern(std::string_view address, std::string_view pattern) {
  const BanFields addressFields = SplitFromRight(address);
  const BanFields patternFields = SplitFromRight(pattern);
  for (int index = 0; index < kBanFieldCount; ++index) {
    if (patternFields[index] != kAnyField && patternFields[index] != addressFields[index]) {
      return false;
    }
  }
  return true;
}

void BanList::Assign(std::vector<std::string> patterns) {
  if (patterns.size() > static_cast<std::size_t>(kBanCapacity)) patterns.resize(kBanCapacity);
  base::MutexLock lock(mutex_);
  patterns_ = std::move(patterns);
}

bool BanList::IsBanned(std::string_view address) const {
  base::MutexLock lock(mutex_);
  for (const std::string& pattern : patterns_) {
    if (MatchBanPattern(address, pattern)) return true;
  }
  return false;
}

bool BanList::Add(std::string pattern) {
  base::MutexLock lock(mutex_);
  // Refused beyond capacity: the settings file could not hold the pattern.
  if (patterns_.size() >= static_cast<std::size_t>(kBanCapacity)) return false;
  patterns_.push_back(std::move(pattern));
  return true;
}

bool BanList::ReplaceAt(int index, std::string pattern) {
  base::MutexLock lock(mutex_);
  if (index < 0 || static_cast<std::size_t>(index) >= patterns_.size()) return false;
  patterns_[static_cast<std::size_t>(index)] = std::move(pattern);
  return true;
}

bool BanList::EraseAt(int index) {
  base::MutexLock lock(mutex_);
  if (index < 0 || static_cast<std::size_t>(index) >= patterns_.size()) return false;
  patterns_.erase(patterns_.begin() + index);
  return true;
}

bool BanList::BanAddress(std::string_view address) {
  return Add(std::string(address));
}

std::vector<std::string> BanList::Snapshot() const {
  base::MutexLock lock(mutex_);
  return patterns_;
}

int BanList::Count() const {
  base::MutexLock lock(mutex_);
  return static_cast<int>(patterns_.size());
}

}  // namespace zelkord::config
