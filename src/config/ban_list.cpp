// Ban patterns: the four-field IPv4 match, the numeric IPv6 match, the
// check that explains an unusable pattern, and the locked pattern list.
#include "config/ban_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>
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

bool MatchIpv4Pattern(std::string_view address, std::string_view pattern) {
  const BanFields addressFields = SplitFromRight(address);
  const BanFields patternFields = SplitFromRight(pattern);
  for (int index = 0; index < kBanFieldCount; ++index) {
    if (patternFields[index] != kAnyField && patternFields[index] != addressFields[index]) {
      return false;
    }
  }
  return true;
}

constexpr int kIpv6Bits = 128;
// A wider range is more likely a slip than meant, and would shut out a
// large part of the Internet.
constexpr int kWidestIpv6Prefix = 16;
// The longest text inet_pton accepts: eight full groups, the last two
// written as a dotted IPv4 tail.
constexpr std::size_t kIpv6TextMax = INET6_ADDRSTRLEN - 1;

bool IsIpv6Text(std::string_view text) {
  return text.find(':') != std::string_view::npos;
}

// Parses one IPv6 address. Text holding a NUL byte is refused here, since
// inet_pton would read only the part before it.
bool ParseIpv6Address(std::string_view text, in6_addr& address) {
  if (text.size() > kIpv6TextMax || text.find('\0') != std::string_view::npos) return false;
  std::array<char, kIpv6TextMax + 1> terminated{};
  text.copy(terminated.data(), text.size());
  return inet_pton(AF_INET6, terminated.data(), &address) == 1;
}

enum class Ipv6Verdict { Usable, Malformed, TooWide, PrefixTooLong };

struct Ipv6Pattern {
  Ipv6Verdict verdict = Ipv6Verdict::Malformed;
  in6_addr address{};
  int prefix = kIpv6Bits;
};

Ipv6Pattern ParseIpv6Pattern(std::string_view pattern) {
  Ipv6Pattern parsed;
  const std::size_t slash = pattern.find('/');
  if (!ParseIpv6Address(pattern.substr(0, slash), parsed.address)) return parsed;
  if (slash != std::string_view::npos) {
    const std::string_view digits = pattern.substr(slash + 1);
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return parsed;
    }
    // Saturates just above the limit, so any long number is simply too long.
    int prefix = 0;
    for (const char digit : digits) prefix = std::min(prefix * 10 + (digit - '0'), kIpv6Bits + 1);
    parsed.prefix = prefix;
  }
  parsed.verdict = parsed.prefix < kWidestIpv6Prefix ? Ipv6Verdict::TooWide
                   : parsed.prefix > kIpv6Bits       ? Ipv6Verdict::PrefixTooLong
                                                     : Ipv6Verdict::Usable;
  return parsed;
}

bool SamePrefix(const in6_addr& a, const in6_addr& b, int bits) {
  const int wholeBytes = bits / 8;
  if (std::memcmp(a.s6_addr, b.s6_addr, static_cast<std::size_t>(wholeBytes)) != 0) return false;
  const int restBits = bits % 8;
  if (restBits == 0) return true;
  const unsigned mask = (0xFF00u >> restBits) & 0xFFu;
  return ((a.s6_addr[wholeBytes] ^ b.s6_addr[wholeBytes]) & mask) == 0;
}

bool MatchIpv6Pattern(std::string_view address, std::string_view pattern) {
  const Ipv6Pattern parsed = ParseIpv6Pattern(pattern);
  if (parsed.verdict != Ipv6Verdict::Usable) return false;
  in6_addr client{};
  return ParseIpv6Address(address, client) && SamePrefix(client, parsed.address, parsed.prefix);
}

}  // namespace

bool MatchBanPattern(std::string_view address, std::string_view pattern) {
  // Each rule sees only its own family, so "*.*.*.*" never reaches an IPv6
  // client through the field split.
  if (IsIpv6Text(pattern) != IsIpv6Text(address)) return false;
  return IsIpv6Text(pattern) ? MatchIpv6Pattern(address, pattern)
                             : MatchIpv4Pattern(address, pattern);
}

std::string BanPatternProblem(std::string_view pattern) {
  if (!IsIpv6Text(pattern)) return {};
  // Appended, not added: the optimizer misreads the sum as an overlapping copy.
  std::string quoted = "\"";
  quoted.append(pattern).push_back('"');
  const std::string rangeRule = "; an IPv6 range must have a prefix length of " +
                                std::to_string(kWidestIpv6Prefix) + " to " +
                                std::to_string(kIpv6Bits);
  switch (ParseIpv6Pattern(pattern).verdict) {
    case Ipv6Verdict::Usable:
      return {};
    case Ipv6Verdict::TooWide:
      return quoted + " is wider than /" + std::to_string(kWidestIpv6Prefix) + rangeRule;
    case Ipv6Verdict::PrefixTooLong:
      return quoted + " has a prefix length above " + std::to_string(kIpv6Bits) + rangeRule;
    case Ipv6Verdict::Malformed:
      break;
  }
  return quoted + " is not an IPv6 address or range";
}

int CountUnusableBanPatterns(const std::vector<std::string>& patterns) {
  return static_cast<int>(
      std::count_if(patterns.begin(), patterns.end(), [](const std::string& pattern) {
        return IsIpv6Text(pattern) && ParseIpv6Pattern(pattern).verdict != Ipv6Verdict::Usable;
      }));
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
