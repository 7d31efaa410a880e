// JOIN and PART: into and out of a channel. Every refusal is silent.
#include <string>
#include <vector>

#include "channels/handlers.h"
#include "frame/clock.h"
#include "irc/jp_text.h"

namespace zelkord::channels {
namespace {

// A 353 line may hold at most this many bytes before its CR LF.
constexpr std::size_t kLineBytes = 510;

}  // namespace

std::string EventLine(std::string_view text) {
  std::string line = frame::ConversationStamp();
  line.append("*** ").append(text);
  return line;
}

void SendNamesReply(frame::Server& server, int slot, std::string_view channel, int index) {
  const std::string fixed = irc::FormatNumeric(server.settings.serverName, irc::kRplNamReply,
                                               server.users->Slot(slot).Nick(), {channel, ""});
  const std::size_t room = fixed.size() < kLineBytes ? kLineBytes - fixed.size() : 0;
  // Lines are cut only between names; a name too long for any line gets a
  // line of its own.
  std::string text;
  bool pending = false;  // text holds names not sent yet (an empty list sends one empty line)
  for (const std::string& name : server.channels->NamesList(index, *server.users)) {
    if (pending && text.size() + 1 + name.size() > room) {
      irc::SendNumeric(server, slot, irc::kRplNamReply, {channel, text});
      text.clear();
      pending = false;
    }
    if (pending) text.push_back(' ');
    text.append(name);
    pending = true;
  }
  irc::SendNumeric(server, slot, irc::kRplNamReply, {channel, text});
}

ConnState HandleJoin(frame::Server& server, int slot, std::string_view params, ConnState keep,
                     ConnState) {
  frame::ProtocolLock lock(server);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);  // only the channel name is used
  const std::string& name = fields[0];
  irc::UserTable& users = *server.users;
  ChannelTable& channels = *server.channels;
  irc::UserSlot& self = users.Slot(slot);

  const int index = channels.AddMember(self, name);
  if (index == irc::kNotFound) return keep;  // table full or already a member: silent

  std::string relay;
  irc::FormatRelay(relay, irc::kRelayJoin, {self.Nick(), self.userName, self.address, name});
  std::vector<int> sockets;
  channels.MemberSockets(index, users, sockets);
  irc::SendToSockets(server, sockets, relay);
  SendNamesReply(server, slot, name, index);
  irc::SendNumeric(server, slot, irc::kRplEndOfNames, {name});
  channels.AppendLine(index, EventLine(self.Nick() + std::string(irc::jp::kEntered)));
  return keep;
}

ConnState HandlePart(frame::Server& server, int slot, std::string_view params, ConnState keep,
                     ConnState) {
  frame::ProtocolLock lock(server);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);  // a part message is never relayed
  const std::string& name = fields[0];
  irc::UserTable& users = *server.users;
  ChannelTable& channels = *server.channels;
  irc::UserSlot& self = users.Slot(slot);

  const int index = channels.FindChannel(name);
  if (index == irc::kNotFound) return keep;
  // Logged before membership is tested: a non-member's PART leaves its notice.
  channels.AppendLine(index, EventLine(self.Nick() + std::string(irc::jp::kLeft)));
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayPart, {self.Nick(), self.userName, self.address, name});
  std::vector<int> sockets;
  channels.MemberSockets(index, users, sockets);  // the leaver included
  if (channels.RemoveMember(self, name) == irc::kNotFound) return keep;
  irc::SendToSockets(server, sockets, relay);
  return keep;
}

}  // namespace zelkord::channels
