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

irc::ConnState HandlePrivmsg(const Step& step) {
  const std::string& target = step.fields[0];
  const std::string& text = step.fields[1];
  irc::UserTable& users = step.users;
  irc::ChannelTable& channels = step.channels;
  irc::UserSlot& self = step.self;

  std::string relay;
  irc::FormatRelay(relay, irc::kRelayPrivmsg,
                   {self.Nick(), self.userName, self.address, target, text});
  const std::string utf8Relay = irc::VerbatimRelay(relay, text, Utf8TextField(step.utf8Params));
  // A nick wins over a channel of the same name; one's own nick echoes back.
  const int recipient = users.FindUserByNick(target);
  if (recipient != irc::kNotFound) {
    irc::SendLine(step.protocol, users.Slot(recipient).socket, relay, utf8Relay);
    return step.state;
  }
  const bool joined = std::any_of(self.channels.begin(), self.channels.end(),
                                  [&](const irc::JoinedChannel& c) { return c.name == target; });
  if (!joined) return step.state;  // not a member, or no such name: dropped
  const int index = channels.FindChannel(target);
  if (index == irc::kNotFound) return step.state;
  std::string line = base::ConversationStamp();
  line.append(self.Nick()).append("> ").append(text);
  channels.AppendLine(index, line);
  std::vector<int> members;
  channels.MemberSlots(index, users, members);
  irc::SendToSlots(step.protocol, members, relay, step.slot, utf8Relay);
  return step.state;
}

irc::ConnState HandleTopic(const Step& step) {
  const std::string& name = step.fields[0];
  irc::ChannelTable& channels = step.channels;
  irc::UserSlot& self = step.self;

  const int index = channels.FindChannel(name);
  if (index == irc::kNotFound) return step.state;  // no reply for a channel that does not exist
  if (step.count == 1) {
    // A query; the asker need not be a member.
    const std::string topic = channels.GetTopic(name);
    if (topic.empty()) {
      irc::SendNumeric(step.protocol, step.slot, irc::kRplNoTopic, {name});
    } else {
      irc::SendNumeric(step.protocol, step.slot, irc::kRplTopic, {name, topic});
    }
    return step.state;
  }
  // Anyone may set any existing channel's topic, an empty one included.
  (void)channels.SetTopic(self, name, step.fields[1]);  // the channel exists: cannot fail
  const std::string topic = channels.GetTopic(name);
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayTopic,
                   {self.Nick(), self.userName, self.address, name, topic});
  // The topic text reads "<topic> by <nick>"; UTF-8 members get the topic as
  // it was typed.
  const std::string utf8Relay = irc::VerbatimRelay(
      relay, step.fields[1], Utf8TextField(step.utf8Params), " by " + self.Nick());
  std::vector<int> members;
  channels.MemberSlots(index, step.users, members);
  irc::SendToSlots(step.protocol, members, relay, irc::kNotFound, utf8Relay);
  channels.AppendLine(index, EventLine(topic));
  return step.state;
}

}  // namespace zelkord::commands
