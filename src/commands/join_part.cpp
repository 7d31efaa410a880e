// JOIN and PART: into and out of a channel. Every refusal is silent.
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/jp_text.h"
#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

// A 353 line may hold at most this many bytes before its CR LF.
constexpr std::size_t kLineBytes = 510;

}  // namespace

std::string EventLine(std::string_view text) {
  std::string line = base::ConversationStamp();
  line.append("*** ").append(text);
  return line;
}

void SendNamesReply(irc::ProtocolState& protocol, int slot, std::string_view channel, int index) {
  const std::string fixed = irc::FormatNumeric(protocol.settings.serverName, irc::kRplNamReply,
                                               protocol.users->Slot(slot).Nick(), {channel, ""});
  const std::size_t room = fixed.size() < kLineBytes ? kLineBytes - fixed.size() : 0;
  // Lines are cut only between names; a name too long for any line gets a
  // line of its own.
  std::string text;
  bool pending = false;  // text holds names not sent yet (an empty list sends one empty line)
  for (const std::string& name : protocol.channels->NamesList(index, *protocol.users)) {
    if (pending && text.size() + 1 + name.size() > room) {
      irc::SendNumeric(protocol, slot, irc::kRplNamReply, {channel, text});
      text.clear();
      pending = false;
    }
    if (pending) text.push_back(' ');
    text.append(name);
    pending = true;
  }
  irc::SendNumeric(protocol, slot, irc::kRplNamReply, {channel, text});
}

irc::ConnState HandleJoin(irc::ProtocolState& protocol, int slot, std::string_view params,
                          std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);  // only the channel name is used
  const std::string& name = fields[0];
  irc::UserTable& users = *protocol.users;
  irc::ChannelTable& channels = *protocol.channels;
  irc::UserSlot& self = users.Slot(slot);

  const int index = channels.AddMember(self, name);
  if (index == irc::kNotFound) return keep;  // table full or already a member: silent

  std::string relay;
  irc::FormatRelay(relay, irc::kRelayJoin, {self.Nick(), self.userName, self.address, name});
  std::vector<int> members;
  channels.MemberSlots(index, users, members);
  irc::SendToSlots(protocol, members, relay);
  SendNamesReply(protocol, slot, name, index);
  irc::SendNumeric(protocol, slot, irc::kRplEndOfNames, {name});
  channels.AppendLine(index, EventLine(self.Nick() + std::string(base::jp::kEntered)));
  return keep;
}

irc::ConnState HandlePart(irc::ProtocolState& protocol, int slot, std::string_view params,
                          std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);  // a part message is never relayed
  const std::string& name = fields[0];
  irc::UserTable& users = *protocol.users;
  irc::ChannelTable& channels = *protocol.channels;
  irc::UserSlot& self = users.Slot(slot);

  const int index = channels.FindChannel(name);
  if (index == irc::kNotFound) return keep;
  // Logged before membership is tested: a non-member's PART leaves its notice.
  channels.AppendLine(index, EventLine(self.Nick() + std::string(base::jp::kLeft)));
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayPart, {self.Nick(), self.userName, self.address, name});
  std::vector<int> members;
  channels.MemberSlots(index, users, members);  // the leaver included
  if (channels.RemoveMember(self, name) == irc::kNotFound) return keep;
  irc::SendToSlots(protocol, members, relay);
  return keep;
}

}  // namespace zelkord::commands
