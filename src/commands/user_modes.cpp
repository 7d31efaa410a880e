// The user modes (MODE on a nick) and the server operators' commands:
// OPER, KILL and WALLOPS. Users start with no modes; +i hides them from
// those who share no channel with them, +w brings them WALLOPS, and +o,
// given only by OPER, makes them server operators.
#include <chrono>
#include <string>
#include <vector>

#include "base/jp_text.h"
#include "commands/handlers.h"
#include "config/operator_password.h"
#include "irc/name_rules.h"

namespace zelkord::commands {
namespace {

using Clock = std::chrono::steady_clock;

// The user-mode letters the server implements.
constexpr std::string_view kImplementedUserModes = "iow";
// Failed OPER attempts in a row after which a connection is refused unheard
// until kOperPause has passed since the last of them.
constexpr int kOperFailuresAllowed = 3;
constexpr auto kOperPause = std::chrono::seconds(60);
// Checked in place of the hash of a name that is not configured, so that
// a wrong name takes as long as a wrong password.
constexpr std::string_view kUnknownOperatorHash =
    "$scrypt$N=16384,r=8,p=1$AAAAAAAAAAAAAAAAAAAAAA==$"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

std::string ModeText(const irc::UserSlot& user) {
  std::string text = "+";
  if (user.Invisible()) text.push_back('i');
  if (user.ServerOperator()) text.push_back('o');
  if (user.wallops) text.push_back('w');
  return text;
}

// Tells the user of slot that its own modes changed.
void RelayOwnModes(irc::ProtocolState& protocol, int slot, std::string_view changes)
    REQUIRES(protocol.mutex) {
  const irc::UserSlot& user = protocol.users->Slot(slot);
  irc::SendLine(protocol, user.socket,
                irc::FormatRelay(irc::kRelayUserMode,
                                 {user.Nick(), user.userName, user.address, user.Nick(), changes}));
}

bool OperPaused(const irc::UserSlot& user, Clock::time_point now) {
  return user.operFailures >= kOperFailuresAllowed && now - user.lastOperFailure < kOperPause;
}

// 481 unless the sender is a server operator.
bool RequireOperator(const Step& step) REQUIRES(step.protocol.mutex) {
  if (IsServerOperator(step.self)) return true;
  irc::SendNumeric(step.protocol, step.slot, irc::kErrNoPrivileges, {});
  return false;
}

}  // namespace

std::string UserModeLetters(const config::Settings& settings) {
  std::string letters;
  for (const char letter : settings.serverUserMode) {
    if (kImplementedUserModes.find(letter) != std::string_view::npos &&
        letters.find(letter) == std::string::npos) {
      letters.push_back(letter);
    }
  }
  return letters;
}

bool CanSee(const irc::UserSlot& asker, const irc::UserSlot& other) {
  if (!other.Invisible() || &asker == &other) return true;
  for (const irc::JoinedChannel& joined : asker.channels) {
    if (FindJoined(other, joined.name) != nullptr) return true;
  }
  return false;
}

irc::ConnState HandleUserMode(const Step& step) {
  const std::string& target = step.fields[0];
  const int found = step.users.FindUserByNick(target);
  if (found == irc::kNotFound || !step.users.Slot(found).Registered()) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchNick, {target});
    return step.state;
  }
  if (found != step.slot) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrUsersDontMatch, {});
    return step.state;
  }
  irc::UserSlot& self = step.self;
  if (step.count < 2) {
    irc::SendNumeric(step.protocol, step.slot, irc::kRplUModeIs, {ModeText(self)});
    return step.state;
  }
  const std::string offered = UserModeLetters(step.protocol.settings);
  std::string changes;
  char shownSign = 0;
  bool adding = true;
  bool unknown = false;
  for (const char letter : step.fields[1]) {
    if (letter == '+' || letter == '-') {
      adding = letter == '+';
      continue;
    }
    if (offered.find(letter) == std::string::npos) {
      unknown = true;
      continue;
    }
    const bool current = letter == 'i'   ? self.Invisible()
                         : letter == 'w' ? self.wallops
                                         : self.ServerOperator();
    // +o is OPER's to give; anyone may drop it.
    if (current == adding || (letter == 'o' && adding)) continue;
    if (letter == 'i') step.users.SetInvisible(step.slot, adding);
    if (letter == 'w') self.wallops = adding;
    if (letter == 'o') step.users.SetServerOperator(step.slot, false);
    const char sign = adding ? '+' : '-';
    if (sign != shownSign) changes.push_back(sign);
    shownSign = sign;
    changes.push_back(letter);
  }
  if (!changes.empty()) RelayOwnModes(step.protocol, step.slot, changes);
  if (unknown) irc::SendNumeric(step.protocol, step.slot, irc::kErrUModeUnknownFlag, {});
  return step.state;
}

OperCheck CheckOperPassword(irc::ProtocolState& protocol, int slot, std::string_view name,
                            std::string_view password) {
  std::string stored;
  bool known = false;
  {
    irc::ProtocolLock lock(protocol);
    const std::vector<std::pair<std::string, std::string>>& operators = protocol.live.operators;
    if (operators.empty() || OperPaused(protocol.users->Slot(slot), Clock::now())) {
      return OperCheck::NotChecked;
    }
    stored = kUnknownOperatorHash;
    for (const auto& [operatorName, hash] : operators) {
      if (operatorName != name) continue;
      stored = hash;
      known = true;
      break;
    }
  }
  // The slow part runs without the lock: nobody else waits for it.
  const bool matches = config::VerifyPassword(password, stored);
  return known && matches ? OperCheck::Good : OperCheck::Bad;
}

irc::ConnState HandleOper(const Step& step) {
  irc::UserSlot& self = step.self;
  const Clock::time_point now = Clock::now();
  if (OperPaused(self, now)) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrPasswdMismatch, {});
    return step.state;
  }
  if (step.protocol.live.operators.empty()) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoOperHost, {});
    return step.state;
  }
  const std::string& name = step.fields[0];
  if (step.operCheck != OperCheck::Good) {
    self.operFailures = self.operFailures >= kOperFailuresAllowed ? 1 : self.operFailures + 1;
    self.lastOperFailure = now;
    irc::SendNumeric(step.protocol, step.slot, irc::kErrPasswdMismatch, {});
    step.protocol.desk.ShowWarning("OPER as " + name + " failed for " + self.Nick() + " from " +
                                   self.address);
    return step.state;
  }
  self.operFailures = 0;
  irc::SendNumeric(step.protocol, step.slot, irc::kRplYoureOper, {});
  if (!self.ServerOperator()) {
    step.users.SetServerOperator(step.slot, true);
    RelayOwnModes(step.protocol, step.slot, "+o");
  }
  step.protocol.desk.ShowWarning(self.Nick() + " from " + self.address +
                                 " is now an IRC operator as " + name);
  return step.state;
}

irc::ConnState HandleKill(const Step& step) {
  if (!RequireOperator(step)) return step.state;
  const std::string& nick = step.fields[0];
  irc::UserTable& users = step.users;
  const int victim = users.FindUserByNick(nick);
  if (victim == irc::kNotFound || !users.Slot(victim).Registered()) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchNick, {nick});
    return step.state;
  }
  irc::UserSlot& target = users.Slot(victim);
  const std::string reason = irc::CutText(step.fields[1], irc::kKickLen);
  const std::string killer = step.self.Nick();
  AnnounceQuit(step.protocol, victim, "Killed (" + killer + " (" + reason + "))", victim);
  // Gone from its channels now, so the clean-up after its connection has
  // no PART to tell them.
  const std::vector<irc::JoinedChannel> joined = target.channels;
  for (const irc::JoinedChannel& channel : joined) {
    (void)step.channels.RemoveMember(target, channel.name);  // a member: cannot fail
  }
  irc::SendLine(step.protocol, target.socket,
                irc::FormatRelay(irc::kRelayKilled, {target.address, killer, reason}));
  target.killed = true;
  if (target.output) target.output->CloseReading();
  step.protocol.desk.ShowWarning(killer + " killed " + target.Nick() + " (" + reason + ")");
  return victim == step.slot ? irc::ConnState::Closing : step.state;
}

irc::ConnState HandleWallops(const Step& step) {
  if (!RequireOperator(step)) return step.state;
  const irc::UserSlot& self = step.self;
  const std::string relay = irc::FormatRelay(
      irc::kRelayWallops, {self.Nick(), self.userName, self.address, step.fields[0]});
  std::vector<int> readers;
  for (int index = 0; index < step.users.Capacity(); ++index) {
    const irc::UserSlot& user = step.users.Slot(index);
    if (user.inUse && user.Registered() && user.wallops) readers.push_back(index);
  }
  irc::SendToSlots(step.protocol, readers, relay);
  return step.state;
}

}  // namespace zelkord::commands
