// NICK, PING, PONG, KICK and QUIT.
#include <algorithm>
#include <string>
#include <vector>

#include "base/jp_text.h"
#include "commands/handlers.h"
#include "irc/name_rules.h"

namespace zelkord::commands {

namespace {

// Whether the NICK line names a nick that may be used; otherwise says why.
bool AcceptNickSyntax(const Step& step) REQUIRES(step.protocol.mutex) {
  const std::string& nick = step.fields[0];
  if (nick.empty()) {
    irc::SendReply(step.protocol, step.slot, irc::kErrNoNicknameGiven, {});
    return false;
  }
  if (!irc::IsValidNick(nick)) {
    irc::SendReply(step.protocol, step.slot, irc::kErrErroneusNickname, {nick});
    return false;
  }
  return true;
}

}  // namespace

irc::ConnState HandleNick(const Step& step) {
  if (!AcceptNickSyntax(step)) return step.state;
  if (step.state != irc::ConnState::Serving) return RegisteringNick(step);
  const std::string& newNick = step.fields[0];
  irc::UserTable& users = step.users;
  irc::ChannelTable& channels = step.channels;
  irc::UserSlot& self = step.self;

  if (newNick == self.Nick()) return step.state;  // no change: nothing to tell anyone
  // A change of letter case alone is the caller's own to make.
  const int holder = users.FindUserByNick(newNick);
  if (holder != irc::kNotFound && holder != step.slot) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNicknameInUse, {newNick});
    return step.state;
  }
  const std::string oldNick = self.Nick();
  RememberNick(step.protocol, self);
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayNick, {oldNick, self.userName, self.address, newNick});
  channels.RenameMember(oldNick, newNick);
  step.protocol.commLog->SetCaption(step.slot, newNick);
  step.protocol.desk.UserListChanged(oldNick, newNick);
  users.SetNick(step.slot, newNick);

  std::string line;
  std::vector<int> members;
  const irc::MessageStamp stamp = irc::NewStamp();  // one event, whatever the channels
  for (const irc::JoinedChannel& joined : self.channels) {
    const int index = channels.FindChannel(joined.name);
    line.assign(base::jp::kNickChange).append(oldNick).append(" > ").append(newNick);
    channels.AppendLine(index, EventLine(line));
    channels.MemberSlots(index, users, members);
    // once per shared channel, by design
    irc::SendToSlots(step.protocol, members, relay, irc::kNotFound, {}, {&stamp});
    RecordHistory(step.protocol, self, stamp, "NICK", joined.name, newNick, {}, {}, oldNick);
  }
  // In no channel, the client still needs to hear that its nick changed.
  if (self.channels.empty()) irc::SendLine(step.protocol, self.socket, relay, {}, {&stamp});
  return step.state;
}

irc::ConnState HandlePing(const Step& step) {
  // The client's token is the last parameter, echoed as it came.
  const std::string& token = step.fields[std::max(step.count, 1) - 1];
  const std::string& server = step.protocol.settings.serverName;
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayPong, {server, server, token});
  irc::SendLine(step.protocol, step.self.socket, relay);
  return step.state;
}

irc::ConnState HandlePong(const Step& step) {
  return step.state;  // the line has already proved the client alive
}

irc::ConnState HandleKick(const Step& step) {
  const std::string& name = step.fields[0];
  const std::string comment = irc::CutText(step.fields[2], irc::kKickLen);
  irc::UserTable& users = step.users;
  irc::UserSlot& self = step.self;

  const int index = step.channels.FindChannel(name);
  if (index == irc::kNotFound) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchChannel, {name});
    return step.state;
  }
  // A server operator may kick in any channel, a member or not.
  const irc::JoinedChannel* mine = FindJoined(self, name);
  if (mine == nullptr && !IsServerOperator(self)) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNotOnChannel, {name});
    return step.state;
  }
  if ((mine == nullptr || !mine->isOperator) && !IsServerOperator(self)) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrChanOpPrivsNeeded, {name});
    return step.state;
  }
  const std::vector<std::string_view> targets = irc::SplitList(step.fields[1]);
  std::string relay;
  std::vector<int> members;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const std::string_view target = targets[i];
    if (i == static_cast<std::size_t>(irc::kMaxTargets)) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrTooManyTargets, {target});
      break;
    }
    const int victim = users.FindUserByNick(target);
    if (victim == irc::kNotFound) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchNick, {target});
      continue;
    }
    if (FindJoined(users.Slot(victim), name) == nullptr) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrUserNotInChannel, {target, name});
      continue;
    }
    irc::FormatRelay(relay, irc::kRelayKick,
                     {self.Nick(), self.userName, self.address, name, target, comment});
    step.channels.MemberSlots(index, users, members);
    const irc::MessageStamp stamp = irc::NewStamp();
    irc::SendToSlots(step.protocol, members, relay, irc::kNotFound, {}, {&stamp});
    RecordHistory(step.protocol, self, stamp, "KICK", name, target, comment);
    // A member: cannot fail. Kicking oneself out of the last seat ends the channel.
    (void)step.channels.RemoveMember(users.Slot(victim), name);
    if (step.channels.FindChannel(name) == irc::kNotFound) break;
  }
  return step.state;
}

void AnnounceQuit(irc::ProtocolState& protocol, int slot, std::string_view message,
                  int exceptSlot) {
  irc::ChannelTable& channels = *protocol.channels;
  const irc::UserSlot& user = protocol.users->Slot(slot);
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayQuit, {user.Nick(), user.userName, user.address, message});
  std::string line;
  std::vector<int> members;
  const irc::MessageStamp stamp = irc::NewStamp();  // one event, whatever the channels
  for (const irc::JoinedChannel& joined : user.channels) {
    const int index = channels.FindChannel(joined.name);
    line.assign(user.Nick()).append(base::jp::kQuitLeft).append(message);
    channels.AppendLine(index, EventLine(line));
    channels.MemberSlots(index, *protocol.users, members);
    irc::SendToSlots(protocol, members, relay, exceptSlot, {}, {&stamp});
    RecordHistory(protocol, user, stamp, "QUIT", joined.name, {}, message);
  }
}

irc::ConnState HandleQuit(const Step& step) {
  irc::UserSlot& self = step.self;
  AnnounceQuit(step.protocol, step.slot, step.fields[0], irc::kNotFound);
  if (step.state != irc::ConnState::Serving) {
    irc::SendLine(step.protocol, self.socket,
                  irc::FormatRelay(irc::kRelayQuitUnregistered, {self.address}));
  }
  // Membership is left to the disconnect clean-up, which parts every channel.
  return irc::ConnState::Closing;
}

}  // namespace zelkord::commands
