// What the load generator needs to understand of a server's lines: numerics,
// PING, ERROR and channel PRIVMSG relays, and the probe text the clients send
// ("<sender-id> <seq> <send-time-ns>"). Daemons differ in their welcome
// bursts, so nothing here depends on one server's wording.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelkord::bench {

enum class LineKind { kOther, kNumeric, kPing, kError, kPrivmsg };

struct ServerLine {
  LineKind kind = LineKind::kOther;
  int numeric = 0;        // the reply code when kind is kNumeric
  std::string_view text;  // PING token, ERROR text or PRIVMSG text
};

struct Probe {
  std::uint32_t sender = 0;
  std::uint64_t seq = 0;
  std::uint64_t sentNs = 0;
};

// Classifies one server line (without its CR LF). The views point into line.
// Any thread.
[[nodiscard]] ServerLine ClassifyLine(std::string_view line);

// Reads a probe from a PRIVMSG text; extra words after the three numbers are
// allowed (padding). nullopt when the text is no probe. Any thread.
[[nodiscard]] std::optional<Probe> ParseProbe(std::string_view text);

// Appends "PRIVMSG <channel> :<sender> <seq> <sentNs>" plus padding bytes and
// CR LF to out. Any thread.
void AppendProbeLine(std::string& out, std::string_view channel, const Probe& probe,
                     std::size_t padding);

}  // namespace zelkord::bench
