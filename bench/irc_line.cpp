// Server line classification and the probe text format.
#include "irc_line.h"

#include <charconv>

namespace zelkord::bench {

namespace {

constexpr std::size_t kNumericDigits = 3;
constexpr std::size_t kMaxDigits = 20;  // UINT64_MAX

// The next space-separated word of rest, which is advanced past it and the
// spaces after it.
std::string_view NextWord(std::string_view& rest) {
  const auto end = rest.find(' ');
  const std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  return word;
}

bool ParseNumber(std::string_view& rest, std::uint64_t& value) {
  const std::string_view word = NextWord(rest);
  if (word.empty()) return false;
  const auto result = std::from_chars(word.data(), word.data() + word.size(), value);
  return result.ec == std::errc() && result.ptr == word.data() + word.size();
}

void AppendNumber(std::string& out, std::uint64_t value) {
  char digits[kMaxDigits];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

}  // namespace

ServerLine ClassifyLine(std::string_view line) {
  ServerLine result;
  std::string_view rest = line;
  if (!rest.empty() && rest.front() == ':') NextWord(rest);
  const std::string_view command = NextWord(rest);
  if (command == "PING") {
    result.kind = LineKind::kPing;
    result.text = rest;
    return result;
  }
  if (command == "ERROR") {
    result.kind = LineKind::kError;
    result.text = rest;
    return result;
  }
  if (command.size() == kNumericDigits && command[0] >= '0' && command[0] <= '9' &&
      command[1] >= '0' && command[1] <= '9' && command[2] >= '0' && command[2] <= '9') {
    result.kind = LineKind::kNumeric;
    result.numeric = (command[0] - '0') * 100 + (command[1] - '0') * 10 + (command[2] - '0');
    result.text = rest;
    return result;
  }
  if (command == "PRIVMSG") {
    NextWord(rest);  // the target
    if (!rest.empty() && rest.front() == ':') rest.remove_prefix(1);
    result.kind = LineKind::kPrivmsg;
    result.text = rest;
  }
  return result;
}

std::optional<Probe> ParseProbe(std::string_view text) {
  std::uint64_t sender = 0;
  Probe probe;
  if (!ParseNumber(text, sender) || sender > UINT32_MAX) return std::nullopt;
  if (!ParseNumber(text, probe.seq) || !ParseNumber(text, probe.sentNs)) return std::nullopt;
  probe.sender = static_cast<std::uint32_t>(sender);
  return probe;
}

void AppendProbeLine(std::string& out, std::string_view channel, const Probe& probe,
                     std::size_t padding) {
  out += "PRIVMSG ";
  out += channel;
  out += " :";
  AppendNumber(out, probe.sender);
  out += ' ';
  AppendNumber(out, probe.seq);
  out += ' ';
  AppendNumber(out, probe.sentNs);
  if (padding > 0) {
    out += ' ';
    out.append(padding, 'x');
  }
  out += "\r\n";
}

}  // namespace zelkord::bench
