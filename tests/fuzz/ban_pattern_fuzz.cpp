// Fuzzes the ban pattern match and the ban list. The match is compared with
// a straightforward model of the rule (four fields split from the right,
// "*" matches any field, every other field byte for byte), and the list's
// answer with "any pattern matches", whatever the address and pattern texts.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/ban_list.h"
#include "fuzz_check.h"

namespace zelkord::fuzz {
namespace {

constexpr int kFieldCount = 4;

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

bool ModelMatch(std::string_view address, std::string_view pattern) {
  const auto a = FieldsFromTheRight(address);
  const auto p = FieldsFromTheRight(pattern);
  for (int i = 0; i < kFieldCount; ++i) {
    if (p[i] != "*" && p[i] != a[i]) return false;
  }
  return true;
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
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool match = config::MatchBanPattern(address, lines[i]);
    ZELKORD_FUZZ_CHECK(match == fuzz::ModelMatch(address, lines[i]));
    if (i < static_cast<std::size_t>(config::kBanCapacity)) anyMatch = anyMatch || match;
  }
  // Every text matches itself, and the all-star pattern matches anything.
  ZELKORD_FUZZ_CHECK(config::MatchBanPattern(address, address));
  ZELKORD_FUZZ_CHECK(config::MatchBanPattern(address, "*.*.*.*"));

  config::BanList list;
  list.Assign(lines);
  ZELKORD_FUZZ_CHECK(list.IsBanned(address) == anyMatch);
  const bool full = lines.size() >= static_cast<std::size_t>(config::kBanCapacity);
  ZELKORD_FUZZ_CHECK(list.Count() ==
                     (full ? config::kBanCapacity : static_cast<int>(lines.size())));
  // Adding to a full list is refused; otherwise the address is banned at once.
  ZELKORD_FUZZ_CHECK(list.BanAddress(address) == !full);
  if (!full) ZELKORD_FUZZ_CHECK(list.IsBanned(address));
  return 0;
}
