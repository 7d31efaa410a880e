// NICK, PING, KICK and QUIT.
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

irc::ConnState HandleNick(irc::ProtocolState& protocol, int slot, std::string_view params,
                          std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string newNick = fields[0];
  irc::UserTable& users = *protocol.users;
  irc::ChannelTable& channels = *protocol.channels;
  irc::UserSlot& self = users.Slot(slot);

  // The caller's own slot counts too: even a change of letter case is refused.
  if (users.FindUserByNick(newNick) != irc::kNotFound) {
    irc::SendNumeric(protocol, slot, irc::kErrNicknameInUse, {});
    return keep;
  }
  const std::string oldNick = self.Nick();
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayNick, {oldNick, self.userName, self.address, newNick});
  channels.RenameMember(oldNick, newNick);
  users.RenameListRow(oldNick, newNick);
  protocol.commLog->SetCaption(slot, newNick);
  protocol.desk.UserListChanged(oldNick, newNick);
  users.SetNick(slot, newNick);

  std::string line;
  std::vector<int> members;
  for (const irc::JoinedChannel& joined : self.channels) {
    const int index = channels.FindChannel(joined.name);
    line.assign(base::jp::kNickChange).append(oldNick).append(" > ").append(newNick);
    channels.AppendLine(index, EventLine(line));
    channels.MemberSlots(index, users, members);
    irc::SendToSlots(protocol, members, relay);  // once per shared channel, by design
  }
  return keep;
}

irc::ConnState HandlePing(irc::ProtocolState& protocol, int slot, std::string_view,
                          std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  const irc::UserSlot& self = protocol.users->Slot(slot);
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayPong, {self.address, self.address, protocol.ownAddress});
  irc::SendLine(protocol, self.socket, relay);
  return keep;
}

irc::ConnState HandleKick(irc::ProtocolState& protocol, int slot, std::string_view params,
                          std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string& name = fields[0];
  const std::string& target = fields[1];
  const std::string& comment = fields[2];
  irc::UserTable& users = *protocol.users;
  irc::ChannelTable& channels = *protocol.channels;
  irc::UserSlot& self = users.Slot(slot);

  const int index = channels.FindChannel(name);
  if (index == irc::kNotFound) {
    irc::SendNumeric(protocol, slot, irc::kErrNoSuchNick, {name});
    return keep;
  }
  const irc::JoinedChannel* mine = FindJoined(self, name);
  if (mine == nullptr) {
    irc::SendNumeric(protocol, slot, irc::kErrNotOnChannel, {name});
    return keep;
  }
  if (!mine->isOperator) {
    irc::SendNumeric(protocol, slot, irc::kErrChanOpPrivsNeeded, {name});
    return keep;
  }
  const int victim = users.FindUserByNick(target);
  if (victim == irc::kNotFound || FindJoined(users.Slot(victim), name) == nullptr) {
    irc::SendNumeric(protocol, slot, irc::kErrNoSuchNick, {target});
    return keep;
  }
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayKick,
                   {self.Nick(), self.userName, self.address, name, target, comment});
  std::vector<int> members;
  channels.MemberSlots(index, users, members);
  irc::SendToSlots(protocol, members, relay);
  (void)channels.RemoveMember(users.Slot(victim), name);  // a member: cannot fail
  return keep;
}

irc::ConnState HandleQuit(irc::ProtocolState& protocol, int slot, std::string_view params,
                          std::string_view, irc::ConnState, irc::ConnState closing) {
  irc::ProtocolLock lock(protocol);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string& message = fields[0];
  irc::UserTable& users = *protocol.users;
  irc::ChannelTable& channels = *protocol.channels;
  irc::UserSlot& self = users.Slot(slot);

  std::string relay;
  irc::FormatRelay(relay, irc::kRelayQuit, {self.Nick(), self.userName, self.address, message});
  std::string line;
  std::vector<int> members;
  for (const irc::JoinedChannel& joined : self.channels) {
    const int index = channels.FindChannel(joined.name);
    line.assign(self.Nick()).append(base::jp::kQuitLeft).append(message);
    channels.AppendLine(index, EventLine(line));
    channels.MemberSlots(index, users, members);
    irc::SendToSlots(protocol, members, relay);
  }
  // Membership is left to the disconnect clean-up, which parts every channel.
  return closing;
}

}  // namespace zelkord::commands
