// JOIN and PART: into and out of a channel. Every refusal is silent.
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/jp_text.h"
#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

// Appends "!user@host" to a NAMES entry ("@" and the nick) for a client
// that enabled userhost-in-names.
void AppendUserHost(const irc::UserTable& users, std::string& entry) {
  const std::size_t nickStart = entry.starts_with('@') ? 1 : 0;
  const int member = users.FindUserByNick(std::string_view(entry).substr(nickStart));
  if (member == irc::kNotFound) return;
  const irc::UserSlot& user = users.Slot(member);
  entry.append("!").append(user.userName).append("@").append(user.address);
}

}  // namespace

std::string EventLine(std::string_view text) {
  std::string line = base::ConversationStamp();
  line.append("*** ").append(text);
  return line;
}

void SendNamesReply(irc::ProtocolState& protocol, int slot, std::string_view channel, int index) {
  const std::string fixed = irc::FormatNumeric(protocol.settings.serverName, irc::kRplNamReply,
                                               protocol.users->Slot(slot).Nick(), {channel, ""});
  const std::size_t room = irc::ListRoom(fixed);
  // Lines are cut only between names; a name too long for any line gets a
  // line of its own.
  std::string text;
  bool pending = false;  // text holds names not sent yet (an empty list sends one empty line)
  const irc::UserTable& users = *protocol.users;
  const bool withHosts = (users.Slot(slot).capabilities & irc::kCapUserhostInNames) != 0;
  for (std::string name : protocol.channels->NamesList(index, users)) {
    if (withHosts) AppendUserHost(users, name);
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

irc::ConnState HandleJoin(const Step& step) {
  const std::string& name = step.fields[0];  // only the channel name is used
  irc::UserSlot& self = step.self;

  const int index = step.channels.AddMember(self, name);
  if (index == irc::kNotFound) return step.state;  // table full or already a member: silent

  std::string relay;
  irc::FormatRelay(relay, irc::kRelayJoin, {self.Nick(), self.userName, self.address, name});
  std::vector<int> members;
  step.channels.MemberSlots(index, step.users, members);
  irc::SendToSlots(step.protocol, members, relay);
  SendNamesReply(step.protocol, step.slot, name, index);
  irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfNames, {name});
  step.channels.AppendLine(index, EventLine(self.Nick() + std::string(base::jp::kEntered)));
  return step.state;
}

irc::ConnState HandlePart(const Step& step) {
  const std::string& name = step.fields[0];  // a part message is never relayed
  irc::ChannelTable& channels = step.channels;
  irc::UserSlot& self = step.self;

  const int index = channels.FindChannel(name);
  if (index == irc::kNotFound) return step.state;
  // Logged before membership is tested: a non-member's PART leaves its notice.
  channels.AppendLine(index, EventLine(self.Nick() + std::string(base::jp::kLeft)));
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayPart, {self.Nick(), self.userName, self.address, name});
  std::vector<int> members;
  channels.MemberSlots(index, step.users, members);  // the leaver included
  if (channels.RemoveMember(self, name) == irc::kNotFound) return step.state;
  irc::SendToSlots(step.protocol, members, relay);
  return step.state;
}

}  // namespace zelkord::commands
