// Fuzzes the ban pattern match and the ban list. The match is compared with
// a straightforward model of both rules: for texts without ":", four fields
// split from the right, "*" matches any field, every other field byte for
// byte; for IPv6, inet_pton on both sides, the prefix length after the last
// "/" read as a plain decimal, and the leading bits compared one by one.
// IPv4 clients must see exactly the old field rule whatever the pattern, and
// addresses derived from the input with one bit flipped check the prefix
// compare where random text rarely reaches it. The refusal messages, their
// count, and the list's "any pattern matches" are checked too.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ban_list.h"
#include "fuzz_check.h"

namespace zelkord::fuzz {
namespace {

constexpr int kFieldCount = 4;
constexpr int kIpv6Bits = 128;
constexpr int kWidestPrefix = 16;

std::array<std::string, kFieldCount> FieldsFromTheRight(std::string_view text) {
  std::array<std::string, kFieldCount> fields;
  for (int field = kFieldCount - 1; field > 0; --field) {
    const std::size_t dot = text.rfind('.');
    if (dot == std::string_view::npos) {
      fields[field] = std::string(text);
      text = {};
    } else {
      fields[field] = std::string(text.substr(dot + 1));
      text = text.substr(0, dot);
    }
  }
  fields[0] = std::string(text);
  return fields;
}

bool FieldModelMatch(std::string_view address, std::string_view pattern) {
  const auto a = FieldsFromTheRight(address);
  const auto p = FieldsFromTheRight(pattern);
  for (int i = 0; i < kFieldCount; ++i) {
    if (p[i] != "*" && p[i] != a[i]) return false;
  }
  return true;
}

bool HasColon(std::string_view text) {
  return text.find(':') != std::string_view::npos;
}

using Ipv6Bytes = std::array<std::uint8_t, 16>;

// Text with a NUL byte is no address: inet_pton would see only its start.
std::optional<Ipv6Bytes> ModelAddress(std::string_view text) {
  const std::string copy(text);
  Ipv6Bytes bytes{};
  if (std::strlen(copy.c_str()) != copy.size()) return std::nullopt;
  if (inet_pton(AF_INET6, copy.c_str(), bytes.data()) != 1) return std::nullopt;
  return bytes;
}

// -1 when the text is not a plain decimal number; 1000 for any above 999.
int ModelPrefix(std::string_view digits) {
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return -1;
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string_view::npos) return 0;
  digits.remove_prefix(first);
  return digits.size() > 3 ? 1000 : std::stoi(std::string(digits));
}

enum class Verdict { Usable, Malformed, TooWide, TooLong };

struct ModelPattern {
  Verdict verdict = Verdict::Malformed;
  Ipv6Bytes address{};
  int prefix = kIpv6Bits;
};

ModelPattern ModelIpv6Pattern(std::string_view pattern) {
  ModelPattern model;
  const std::size_t slash = pattern.rfind('/');
  const auto address = ModelAddress(pattern.substr(0, slash));
  if (!address) return model;
  model.address = *address;
  if (slash != std::string_view::npos) model.prefix = ModelPrefix(pattern.substr(slash + 1));
  if (model.prefix < 0) return model;
  model.verdict = model.prefix < kWidestPrefix ? Verdict::TooWide
                  : model.prefix > kIpv6Bits   ? Verdict::TooLong
                                               : Verdict::Usable;
  return model;
}

bool Bit(const Ipv6Bytes& bytes, int index) {
  return ((bytes[static_cast<std::size_t>(index / 8)] >> (7 - index % 8)) & 1) != 0;
}

bool ModelMatch(std::string_view address, std::string_view pattern) {
  if (HasColon(address) != HasColon(pattern)) return false;
  if (!HasColon(pattern)) return FieldModelMatch(address, pattern);
  const ModelPattern model = ModelIpv6Pattern(pattern);
  const auto client = ModelAddress(address);
  if (model.verdict != Verdict::Usable || !client) return false;
  for (int i = 0; i < model.prefix; ++i) {
    if (Bit(*client, i) != Bit(model.address, i)) return false;
  }
  return true;
}

// The refusal says which problem, quoting the pattern; usable ones get none.
void CheckProblem(std::string_view pattern) {
  const std::string problem = config::BanPatternProblem(pattern);
  const Verdict verdict = HasColon(pattern) ? ModelIpv6Pattern(pattern).verdict : Verdict::Usable;
  ZELKORD_FUZZ_CHECK(problem.empty() == (verdict == Verdict::Usable));
  if (problem.empty()) return;
  ZELKORD_FUZZ_CHECK(problem.starts_with("\"" + std::string(pattern) + "\" "));
  const std::string_view reason = std::string_view(problem).substr(pattern.size() + 3);
  ZELKORD_FUZZ_CHECK(reason.starts_with("is wider than") == (verdict == Verdict::TooWide));
  ZELKORD_FUZZ_CHECK(reason.starts_with("has a prefix length above") ==
                     (verdict == Verdict::TooLong));
  ZELKORD_FUZZ_CHECK(reason.starts_with("is not an IPv6") == (verdict == Verdict::Malformed));
}

// Patterns made from the client's own address with bit flipped inverted, so
// the match turns on exactly that bit against the prefix length.
void CheckFlippedBit(std::string_view address, const Ipv6Bytes& client, int flipped, int prefix) {
  Ipv6Bytes other = client;
  other[static_cast<std::size_t>(flipped / 8)] ^= static_cast<std::uint8_t>(0x80 >> (flipped % 8));
  std::array<char, INET6_ADDRSTRLEN> text{};
  ZELKORD_FUZZ_CHECK(inet_ntop(AF_INET6, other.data(), text.data(), text.size()) != nullptr);
  const std::string range = std::string(text.data()) + "/" + std::to_string(prefix);
  const bool usable = prefix >= kWidestPrefix;
  ZELKORD_FUZZ_CHECK(config::MatchBanPattern(address, range) == (usable && flipped >= prefix));
  ZELKORD_FUZZ_CHECK(config::BanPatternProblem(range).empty() == usable);
  ZELKORD_FUZZ_CHECK(config::MatchBanPattern(address, text.data()) == false);
}

// The input as lines: the first is the address, the rest are patterns.
std::vector<std::string> Lines(std::string_view input) {
  std::vector<std::string> lines;
  for (;;) {
    const std::size_t end = input.find('\n');
    lines.emplace_back(input.substr(0, end));
    if (end == std::string_view::npos) return lines;
    input.remove_prefix(end + 1);
  }
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelkord;
  std::vector<std::string> lines =
      fuzz::Lines(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string address = lines.front();
  lines.erase(lines.begin());

  // The list keeps only the first kBanCapacity patterns.
  bool anyMatch = false;
  int unusable = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool match = config::MatchBanPattern(address, lines[i]);
    ZELKORD_FUZZ_CHECK(match == fuzz::ModelMatch(address, lines[i]));
    // An IPv4 client sees the old field rule, even against IPv6 patterns.
    if (!fuzz::HasColon(address)) {
      ZELKORD_FUZZ_CHECK(match == fuzz::FieldModelMatch(address, lines[i]));
    }
    fuzz::CheckProblem(lines[i]);
    if (!config::BanPatternProblem(lines[i]).empty()) ++unusable;
    if (i < static_cast<std::size_t>(config::kBanCapacity)) anyMatch = anyMatch || match;
  }
  ZELKORD_FUZZ_CHECK(config::CountUnusableBanPatterns(lines) == unusable);

  // A client address matches itself, and the all-star pattern only reaches
  // IPv4 clients.
  const auto client = fuzz::ModelAddress(address);
  const bool ipv6 = fuzz::HasColon(address);
  ZELKORD_FUZZ_CHECK(config::MatchBanPattern(address, address) == (!ipv6 || client.has_value()));
  ZELKORD_FUZZ_CHECK(config::MatchBanPattern(address, "*.*.*.*") == !ipv6);
  if (ipv6 && client) {
    // A hash of the whole input picks both, so every mutation may move them.
    const std::size_t pick =
        std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(data), size));
    const int flipped = static_cast<int>(pick % fuzz::kIpv6Bits);
    const int prefix = static_cast<int>((pick >> 8) % (fuzz::kIpv6Bits + 1));
    fuzz::CheckFlippedBit(address, *client, flipped, prefix);
  }

  config::BanList list;
  list.Assign(lines);
  ZELKORD_FUZZ_CHECK(list.IsBanned(address) == anyMatch);
  const bool full = lines.size() >= static_cast<std::size_t>(config::kBanCapacity);
  ZELKORD_FUZZ_CHECK(list.Count() ==
                     (full ? config::kBanCapacity : static_cast<int>(lines.size())));
  // Adding to a full list is refused; otherwise the address is banned at once
  // when it can match itself.
  ZELKORD_FUZZ_CHECK(list.BanAddress(address) == !full);
  if (!full && (!ipv6 || client)) ZELKORD_FUZZ_CHECK(list.IsBanned(address));
  return 0;
}
