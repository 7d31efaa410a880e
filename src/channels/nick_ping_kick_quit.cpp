// NICK, PING, KICK and QUIT.
#include <algorithm>
#include <string>
#include <vector>

#include "channels/handlers.h"
#include "irc/jp_text.h"

namespace zelkord::channels {
namespace {

const irc::JoinedChannel* FindJoined(const irc::UserSlot& user, std::string_view name) {
  auto found = std::find_if(user.channels.begin(), user.channels.end(),
                            [&](const irc::JoinedChannel& c) { return c.name == name; });
  return found == user.channels.end() ? nullptr : &*found;
}

}  // namespace

ConnState HandleNick(frame::Server& server, int slot, std::string_view params, ConnState keep,
                     ConnState) {
  frame::ProtocolLock lock(server);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string newNick = fields[0];
  irc::UserTable& users = *server.users;
  ChannelTable& channels = *server.channels;
  irc::UserSlot& self = users.Slot(slot);

  // The caller's own slot counts too: even a change of letter case is refused.
  if (users.FindUserByNick(newNick) != irc::kNotFound) {
    irc::SendNumeric(server, slot, irc::kErrNicknameInUse, {});
    return keep;
  }
  const std::string oldNick = self.Nick();
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayNick, {oldNick, self.userName, self.address, newNick});
  channels.RenameMember(oldNick, newNick);
  users.RenameListRow(oldNick, newNick);
  server.commLog->SetCaption(slot, newNick);
  server.desk.UserListChanged(oldNick, newNick);
  users.SetNick(slot, newNick);

  std::string line;
  std::vector<int> sockets;
  for (const irc::JoinedChannel& joined : self.channels) {
    const int index = channels.FindChannel(joined.name);
    line.assign(irc::jp::kNickChange).append(oldNick).append(" > ").append(newNick);
    channels.AppendLine(index, EventLine(line));
    channels.MemberSockets(index, users, sockets);
    irc::SendToSockets(server, sockets, relay);  // once per shared channel, by design
  }
  return keep;
}

ConnState HandlePing(frame::Server& server, int slot, std::string_view, ConnState keep, ConnState) {
  frame::ProtocolLock lock(server);
  const irc::UserSlot& self = server.users->Slot(slot);
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayPong, {self.address, self.address, server.ownAddress});
  irc::SendLine(server, self.socket, relay);
  return keep;
}

ConnState HandleKick(frame::Server& server, int slot, std::string_view params, ConnState keep,
                     ConnState) {
  frame::ProtocolLock lock(server);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string& name = fields[0];
  const std::string& target = fields[1];
  const std::string& comment = fields[2];
  irc::UserTable& users = *server.users;
  ChannelTable& channels = *server.channels;
  irc::UserSlot& self = users.Slot(slot);

  const int index = channels.FindChannel(name);
  if (index == irc::kNotFound) {
    irc::SendNumeric(server, slot, irc::kErrNoSuchNick, {name});
    return keep;
  }
  const irc::JoinedChannel* mine = FindJoined(self, name);
  if (mine == nullptr) {
    irc::SendNumeric(server, slot, irc::kErrNotOnChannel, {name});
    return keep;
  }
  if (!mine->isOperator) {
    irc::SendNumeric(server, slot, irc::kErrChanOpPrivsNeeded, {name});
    return keep;
  }
  const int victim = users.FindUserByNick(target);
  if (victim == irc::kNotFound || FindJoined(users.Slot(victim), name) == nullptr) {
    irc::SendNumeric(server, slot, irc::kErrNoSuchNick, {target});
    return keep;
  }
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayKick,
                   {self.Nick(), self.userName, self.address, name, target, comment});
  std::vector<int> sockets;
  channels.MemberSockets(index, users, sockets);
  irc::SendToSockets(server, sockets, relay);
  (void)channels.RemoveMember(users.Slot(victim), name);  // a member: cannot fail
  return keep;
}

ConnState HandleQuit(frame::Server& server, int slot, std::string_view params, ConnState,
                     ConnState closing) {
  frame::ProtocolLock lock(server);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string& message = fields[0];
  irc::UserTable& users = *server.users;
  ChannelTable& channels = *server.channels;
  irc::UserSlot& self = users.Slot(slot);

  std::string relay;
  irc::FormatRelay(relay, irc::kRelayQuit, {self.Nick(), self.userName, self.address, message});
  std::string line;
  std::vector<int> sockets;
  for (const irc::JoinedChannel& joined : self.channels) {
    const int index = channels.FindChannel(joined.name);
    line.assign(self.Nick()).append(irc::jp::kQuitLeft).append(message);
    channels.AppendLine(index, EventLine(line));
    channels.MemberSockets(index, users, sockets);
    irc::SendToSockets(server, sockets, relay);
  }
  // Membership is left to the disconnect clean-up, which parts every channel.
  return closing;
}

}  // namespace zelkord::channels
