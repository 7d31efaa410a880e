// NICK, PING, PONG, KICK and QUIT.
#include <algorithm>
#include <string>
#include <vector>

#include "base/jp_text.h"
#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

const irc::JoinedChannel* FindJoined(const irc::UserSlot& user, std::string_view name) {
  auto found = std::find_if(user.channels.begin(), user.channels.end(),
                            [&](const irc::JoinedChannel& c) { return c.name == name; });
  return found == user.channels.end() ? nullptr : &*found;
}

}  // namespace

irc::ConnState HandleNick(const Step& step) {
  if (step.state != irc::ConnState::Serving) return RegisteringNick(step);
  const std::string& newNick = step.fields[0];
  irc::UserTable& users = step.users;
  irc::ChannelTable& channels = step.channels;
  irc::UserSlot& self = step.self;

  // The caller's own slot counts too: even a change of letter case is refused.
  if (users.FindUserByNick(newNick) != irc::kNotFound) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNicknameInUse, {});
    return step.state;
  }
  const std::string oldNick = self.Nick();
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayNick, {oldNick, self.userName, self.address, newNick});
  channels.RenameMember(oldNick, newNick);
  users.RenameListRow(oldNick, newNick);
  step.protocol.commLog->SetCaption(step.slot, newNick);
  step.protocol.desk.UserListChanged(oldNick, newNick);
  users.SetNick(step.slot, newNick);

  std::string line;
  std::vector<int> members;
  for (const irc::JoinedChannel& joined : self.channels) {
    const int index = channels.FindChannel(joined.name);
    line.assign(base::jp::kNickChange).append(oldNick).append(" > ").append(newNick);
    channels.AppendLine(index, EventLine(line));
    channels.MemberSlots(index, users, members);
    irc::SendToSlots(step.protocol, members, relay);  // once per shared channel, by design
  }
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
  const std::string& target = step.fields[1];
  const std::string& comment = step.fields[2];
  irc::UserTable& users = step.users;
  irc::UserSlot& self = step.self;

  const int index = step.channels.FindChannel(name);
  if (index == irc::kNotFound) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchNick, {name});
    return step.state;
  }
  const irc::JoinedChannel* mine = FindJoined(self, name);
  if (mine == nullptr) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNotOnChannel, {name});
    return step.state;
  }
  if (!mine->isOperator) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrChanOpPrivsNeeded, {name});
    return step.state;
  }
  const int victim = users.FindUserByNick(target);
  if (victim == irc::kNotFound || FindJoined(users.Slot(victim), name) == nullptr) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchNick, {target});
    return step.state;
  }
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayKick,
                   {self.Nick(), self.userName, self.address, name, target, comment});
  std::vector<int> members;
  step.channels.MemberSlots(index, users, members);
  irc::SendToSlots(step.protocol, members, relay);
  (void)step.channels.RemoveMember(users.Slot(victim), name);  // a member: cannot fail
  return step.state;
}

irc::ConnState HandleQuit(const Step& step) {
  const std::string& message = step.fields[0];
  irc::ChannelTable& channels = step.channels;
  irc::UserSlot& self = step.self;

  std::string relay;
  irc::FormatRelay(relay, irc::kRelayQuit, {self.Nick(), self.userName, self.address, message});
  std::string line;
  std::vector<int> members;
  for (const irc::JoinedChannel& joined : self.channels) {
    const int index = channels.FindChannel(joined.name);
    line.assign(self.Nick()).append(base::jp::kQuitLeft).append(message);
    channels.AppendLine(index, EventLine(line));
    channels.MemberSlots(index, step.users, members);
    irc::SendToSlots(step.protocol, members, relay);
  }
  if (step.state != irc::ConnState::Serving) {
    irc::SendLine(step.protocol, self.socket,
                  irc::FormatRelay(irc::kRelayQuitUnregistered, {self.address}));
  }
  // Membership is left to the disconnect clean-up, which parts every channel.
  return irc::ConnState::Closing;
}

}  // namespace zelkord::commands
