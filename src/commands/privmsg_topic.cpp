// PRIVMSG and TOPIC. Unknown targets and non-members are dropped in silence.
#include <algorithm>
#include <string>
#include <vector>

#include "base/clock.h"
#include "commands/handlers.h"

namespace zelkord::commands {

namespace {

// The text field (the second) of the parameters as a UTF-8 client sent them.
std::string Utf8TextField(std::string_view utf8Params) {
  if (utf8Params.empty()) return {};
  irc::ParamFields fields;
  (void)irc::SplitParams(utf8Params, fields);
  return fields[1];
}

}  // namespace

irc::ConnState HandlePrivmsg(irc::ProtocolState& protocol, int slot, std::string_view params,
                             std::string_view utf8Params, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string& target = fields[0];
  const std::string& text = fields[1];
  irc::UserTable& users = *protocol.users;
  irc::ChannelTable& channels = *protocol.channels;
  irc::UserSlot& self = users.Slot(slot);

  std::string relay;
  irc::FormatRelay(relay, irc::kRelayPrivmsg,
                   {self.Nick(), self.userName, self.address, target, text});
  const std::string utf8Relay = irc::VerbatimRelay(relay, text, Utf8TextField(utf8Params));
  // A nick wins over a channel of the same name; one's own nick echoes back.
  const int recipient = users.FindUserByNick(target);
  if (recipient != irc::kNotFound) {
    irc::SendLine(protocol, users.Slot(recipient).socket, relay, utf8Relay);
    return keep;
  }
  const bool joined = std::any_of(self.channels.begin(), self.channels.end(),
                                  [&](const irc::JoinedChannel& c) { return c.name == target; });
  if (!joined) return keep;  // not a member, or no such name: dropped
  const int index = channels.FindChannel(target);
  if (index == irc::kNotFound) return keep;
  std::string line = base::ConversationStamp();
  line.append(self.Nick()).append("> ").append(text);
  channels.AppendLine(index, line);
  std::vector<int> members;
  channels.MemberSlots(index, users, members);
  irc::SendToSlots(protocol, members, relay, slot, utf8Relay);
  return keep;
}

irc::ConnState HandleTopic(irc::ProtocolState& protocol, int slot, std::string_view params,
                           std::string_view utf8Params, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  irc::ParamFields fields;
  const int count = irc::SplitParams(params, fields);
  const std::string& name = fields[0];
  irc::UserTable& users = *protocol.users;
  irc::ChannelTable& channels = *protocol.channels;
  irc::UserSlot& self = users.Slot(slot);

  const int index = channels.FindChannel(name);
  if (index == irc::kNotFound) return keep;  // no reply for a channel that does not exist
  if (count == 1) {
    // A query; the asker need not be a member.
    const std::string topic = channels.GetTopic(name);
    if (topic.empty()) {
      irc::SendNumeric(protocol, slot, irc::kRplNoTopic, {name});
    } else {
      irc::SendNumeric(protocol, slot, irc::kRplTopic, {name, topic});
    }
    return keep;
  }
  // Anyone may set any existing channel's topic, an empty one included.
  (void)channels.SetTopic(self, name, fields[1]);  // the channel exists: cannot fail
  const std::string topic = channels.GetTopic(name);
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayTopic,
                   {self.Nick(), self.userName, self.address, name, topic});
  // The topic text reads "<topic> by <nick>"; UTF-8 members get the topic as
  // it was typed.
  const std::string utf8Relay =
      irc::VerbatimRelay(relay, fields[1], Utf8TextField(utf8Params), " by " + self.Nick());
  std::vector<int> members;
  channels.MemberSlots(index, users, members);
  irc::SendToSlots(protocol, members, relay, irc::kNotFound, utf8Relay);
  channels.AppendLine(index, EventLine(topic));
  return keep;
}

}  // namespace zelkord::commands
