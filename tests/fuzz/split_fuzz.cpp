// Fuzzes the line and parameter splitting with arbitrary received text. The
// parts SplitLine returns must put the line back together exactly (prefix,
// spaces, command word, spaces, parameters), and the fields SplitParams
// returns must be pieces of the parameter text, cut to the limit, with the
// count telling how many were begun.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "irc/split.h"

namespace zelkord::fuzz {
namespace {

// A field as cut: at most limit bytes, never between a Shift_JIS lead byte
// (0x81-0x9F, 0xE0-0xFC) and the byte after it.
std::string_view Cut(std::string_view full, std::size_t limit) {
  if (limit >= full.size()) return full;
  std::size_t end = 0;
  for (std::size_t i = 0; i < full.size();) {
    const auto byte = static_cast<unsigned char>(full[i]);
    const bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    const std::size_t width = lead && i + 1 < full.size() ? 2 : 1;
    if (i + width > limit) break;
    i += width;
    end = i;
  }
  return full.substr(0, end);
}

constexpr std::array<std::size_t, 6> kFieldLimits = {std::string::npos, 0, 1, 8, 255, 510};

std::size_t SkipSpaces(std::string_view text, std::size_t pos) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
  return pos;
}

void CheckSplitLine(std::string_view line) {
  irc::SplitResult parts{"old prefix", "old command", "old params"};
  const int result = irc::SplitLine(line, parts);
  if (line.empty()) {
    ZELKORD_FUZZ_CHECK(result == -1);
    ZELKORD_FUZZ_CHECK(parts.prefix == "old prefix" && parts.command == "old command" &&
                       parts.params == "old params");
    return;
  }
  ZELKORD_FUZZ_CHECK(result == 0);
  // Walk the line again and match each part where it must stand.
  std::size_t pos = 0;
  if (line[0] == ':') {
    ZELKORD_FUZZ_CHECK(parts.prefix.find(' ') == std::string::npos);
    ZELKORD_FUZZ_CHECK(line.substr(1, parts.prefix.size()) == parts.prefix);
    pos = 1 + parts.prefix.size();
    const std::size_t after = SkipSpaces(line, pos);
    if (after >= line.size()) {
      ZELKORD_FUZZ_CHECK(parts.command.empty() && parts.params.empty());
      return;
    }
    ZELKORD_FUZZ_CHECK(after > pos);  // a prefix ends only at a space
    pos = after;
  } else {
    ZELKORD_FUZZ_CHECK(parts.prefix.empty());
  }
  // The command word starts right here, whatever the character, and ends
  // at the next space after its first character.
  ZELKORD_FUZZ_CHECK(!parts.command.empty());
  ZELKORD_FUZZ_CHECK(line.substr(pos, parts.command.size()) == parts.command);
  ZELKORD_FUZZ_CHECK(parts.command.find(' ', 1) == std::string::npos);
  pos += parts.command.size();
  if (pos >= line.size()) {
    ZELKORD_FUZZ_CHECK(parts.params.empty());
    return;
  }
  ZELKORD_FUZZ_CHECK(line[pos] == ' ');
  pos = SkipSpaces(line, pos);
  ZELKORD_FUZZ_CHECK(line.substr(pos) == parts.params);
}

void CheckSplitParams(std::string_view params, std::size_t limit) {
  irc::ParamFields fields{"a", "b", "c", "d"};
  const int count = irc::SplitParams(params, fields, limit);
  ZELKORD_FUZZ_CHECK(count >= 1 && count <= irc::kFourthFieldHasSpace);
  const int begun = count == irc::kFourthFieldHasSpace ? irc::kParamFieldCount : count;
  for (int i = begun; i < irc::kParamFieldCount; ++i) ZELKORD_FUZZ_CHECK(fields[i].empty());
  for (const std::string& field : fields) {
    ZELKORD_FUZZ_CHECK(limit == std::string::npos || field.size() <= limit);
  }
  // Replay the fields without the cut: each must start where the walk says.
  std::size_t pos = 0;
  for (int i = 0; i < begun; ++i) {
    if (i > 0) {
      ZELKORD_FUZZ_CHECK(pos < params.size() && params[pos] == ' ');
      pos = SkipSpaces(params, pos);
    }
    ZELKORD_FUZZ_CHECK(pos <= params.size());
    const bool rest = (pos < params.size() && params[pos] == ':') || i == irc::kParamFieldCount - 1;
    if (pos < params.size() && params[pos] == ':') ++pos;
    std::string_view full = params.substr(pos);
    if (!rest) full = full.substr(0, full.find(' '));
    ZELKORD_FUZZ_CHECK(fields[i] == Cut(full, limit));
    if (rest) {
      ZELKORD_FUZZ_CHECK(i == begun - 1);
      if (i == irc::kParamFieldCount - 1) {
        const bool hasSpace = full.find(' ') != std::string_view::npos;
        ZELKORD_FUZZ_CHECK(hasSpace == (count == irc::kFourthFieldHasSpace));
      }
      return;
    }
    pos += full.size();
  }
  // The fields ran out before the text: only spaces can be left.
  ZELKORD_FUZZ_CHECK(SkipSpaces(params, pos) == params.size());
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelkord;
  if (size < 1) return 0;
  const std::size_t limit = fuzz::kFieldLimits[data[0] % fuzz::kFieldLimits.size()];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  fuzz::CheckSplitLine(text);
  fuzz::CheckSplitParams(text, limit);
  // The parameters as the handlers see them: after a line's split.
  irc::SplitResult parts;
  if (irc::SplitLine(text, parts) == 0) fuzz::CheckSplitParams(parts.params, limit);
  return 0;
}
