// CAP: capability negotiation. The capability table lists what the server
// offers; each connection keeps the bits it enabled in its slot. A CAP LS
// or CAP REQ before registration holds the welcome burst until CAP END.
#include <charconv>
#include <string>
#include <vector>

#include "base/sjis.h"
#include "commands/handlers.h"
#include "irc/name_rules.h"

namespace zelkord::commands {
namespace {

struct Capability {
  std::string_view name;
  std::string_view value;  // shown after '=' to a 302 client; empty: none
  std::uint32_t bit;
  bool needsHistory = false;  // offered only while the history store is open
};

constexpr bool kNeedsHistory = true;

// Only what the server honours is offered.
constexpr Capability kCapabilities[] = {
    {"cap-notify", "", irc::kCapNotify},
    {"multi-prefix", "", irc::kCapMultiPrefix},
    {"userhost-in-names", "", irc::kCapUserhostInNames},
    {"away-notify", "", irc::kCapAwayNotify},
    {"invite-notify", "", irc::kCapInviteNotify},
    {"message-tags", "", irc::kCapMessageTags},
    {"server-time", "", irc::kCapServerTime},
    {"echo-message", "", irc::kCapEchoMessage},
    {"batch", "", irc::kCapBatch},
    {"labeled-response", "", irc::kCapLabeledResponse},
    {"draft/chathistory", "", irc::kCapChathistory, kNeedsHistory},
    {"draft/event-playback", "", irc::kCapEventPlayback, kNeedsHistory},
};

// The version from which values are shown, lists split and cap-notify implied.
constexpr int kVersionWithValues = 302;

bool Offered(const irc::ProtocolState& protocol, const Capability& capability) {
  return !capability.needsHistory || protocol.history != nullptr;
}

// The offered capability of that name, or nullptr.
const Capability* FindCapability(const irc::ProtocolState& protocol, std::string_view name) {
  for (const Capability& capability : kCapabilities) {
    if (capability.name == name && Offered(protocol, capability)) return &capability;
  }
  return nullptr;
}

std::string_view Target(const Step& step) {
  return step.self.Registered() ? std::string_view(step.self.Nick()) : std::string_view("*");
}

// Sends words as CAP <subcommand> lines within the line limit; every line
// but the last carries "*" before its list, as a 302 client expects.
void SendCapLines(const Step& step, std::string_view subcommand,
                  const std::vector<std::string>& words) REQUIRES(step.protocol.mutex) {
  const std::string_view server = step.protocol.settings.serverName;
  const std::string more = std::string(subcommand) + " *";
  const std::string fixed = irc::FormatRelay(irc::kRelayCap, {server, Target(step), more, ""});
  const std::size_t room = irc::ListRoom(fixed);
  std::string list;
  for (const std::string& word : words) {
    if (!list.empty() && list.size() + 1 + word.size() > room) {
      irc::SendLine(step.protocol, step.self.socket,
                    irc::FormatRelay(irc::kRelayCap, {server, Target(step), more, list}));
      list.clear();
    }
    if (!list.empty()) list.push_back(' ');
    list.append(word);
  }
  irc::SendLine(step.protocol, step.self.socket,
                irc::FormatRelay(irc::kRelayCap, {server, Target(step), subcommand, list}));
}

void SendLs(const Step& step) REQUIRES(step.protocol.mutex) {
  const std::string& version = step.fields[1];
  int number = 0;
  std::from_chars(version.data(), version.data() + version.size(), number);
  if (number >= kVersionWithValues) {
    step.self.capVersion302 = true;
    step.self.capabilities |= irc::kCapNotify;
  }
  std::vector<std::string> words;
  for (const Capability& capability : kCapabilities) {
    if (!Offered(step.protocol, capability)) continue;
    std::string word(capability.name);
    if (step.self.capVersion302 && !capability.value.empty()) {
      word.append("=").append(capability.value);
    }
    words.push_back(std::move(word));
  }
  SendCapLines(step, "LS", words);
}

void SendList(const Step& step) REQUIRES(step.protocol.mutex) {
  std::vector<std::string> words;
  for (const Capability& capability : kCapabilities) {
    if ((step.self.capabilities & capability.bit) != 0) words.emplace_back(capability.name);
  }
  SendCapLines(step, "LIST", words);
}

// Acknowledges the whole request or refuses it whole, changing nothing.
void AnswerRequest(const Step& step) REQUIRES(step.protocol.mutex) {
  const std::string& request = step.fields[1];
  std::uint32_t enabled = step.self.capabilities;
  bool known = true;
  for (const irc::CapRequestWord& word : irc::SplitCapRequest(request)) {
    const Capability* capability = FindCapability(step.protocol, word.name);
    known = capability != nullptr;
    if (!known) break;
    enabled = word.removing ? enabled & ~capability->bit : enabled | capability->bit;
  }
  // A 302 client keeps cap-notify: it cannot be switched off.
  if (step.self.capVersion302) enabled |= irc::kCapNotify;
  if (known) step.self.capabilities = enabled;
  const std::string line = irc::FormatRelay(
      irc::kRelayCap,
      {step.protocol.settings.serverName, Target(step), known ? "ACK" : "NAK", request});
  irc::SendLine(step.protocol, step.self.socket, line);
}

}  // namespace

irc::ConnState HandleCap(const Step& step) {
  const std::string& subcommand = step.fields[0];
  const bool registering = step.state != irc::ConnState::Serving;
  if (base::EqualsFolded(subcommand, "LS")) {
    if (registering) step.self.capHeld = true;
    SendLs(step);
    return step.state;
  }
  if (base::EqualsFolded(subcommand, "LIST")) {
    SendList(step);
    return step.state;
  }
  if (base::EqualsFolded(subcommand, "REQ")) {
    if (registering) step.self.capHeld = true;
    AnswerRequest(step);
    return step.state;
  }
  if (base::EqualsFolded(subcommand, "END")) {
    if (!step.self.capHeld) return step.state;
    step.self.capHeld = false;
    if (step.state != irc::ConnState::AwaitingLogin) return step.state;
    return CompleteRegistration(step);
  }
  irc::SendLine(step.protocol, step.self.socket,
                irc::FormatNumeric(step.protocol.settings.serverName, irc::kErrInvalidCapCmd,
                                   Target(step), {subcommand}));
  return step.state;
}

}  // namespace zelkord::commands
