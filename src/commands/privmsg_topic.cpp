// PRIVMSG, NOTICE and TOPIC. A message names one target or a list of them.
#include <algorithm>
#include <string>
#include <vector>

#include "base/clock.h"
#include "commands/handlers.h"
#include "irc/name_rules.h"

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

namespace {

// PRIVMSG answers what went wrong; NOTICE never answers, as clients and
// bots rely on to avoid reply loops. TAGMSG answers as PRIVMSG, carries
// only tags and reaches only clients that negotiated message-tags.
enum class Kind { Privmsg, Notice, Tagmsg };

// Whether the sender may speak in the channel: from outside only without
// +n, under +m only with a prefix, and banned only with a prefix.
bool MaySpeak(const Step& step, int index) REQUIRES(step.protocol.mutex) {
  const irc::ChannelModes& modes = step.channels.Modes(index);
  const irc::JoinedChannel* joined = FindJoined(step.self, step.channels.ChannelName(index));
  if (joined == nullptr && modes.Has('n')) return false;
  const bool prefixed = joined != nullptr && (joined->isOperator || joined->isVoiced);
  if (prefixed) return true;
  return !modes.Has('m') && !IsBanned(modes, step.self);
}

// The slots of those that negotiated message-tags among slots.
std::vector<int> WithMessageTags(const Step& step, const std::vector<int>& slots)
    REQUIRES(step.protocol.mutex) {
  std::vector<int> kept;
  for (int slot : slots) {
    if ((step.users.Slot(slot).capabilities & irc::kCapMessageTags) != 0) kept.push_back(slot);
  }
  return kept;
}

// Sends one message to one target: a nick (which wins over a channel of
// the same name; one's own nick echoes back) or a channel that lets the
// sender speak. A sender with echo-message gets the line back as delivered,
// once.
void Deliver(const Step& step, Kind kind, std::string_view target, std::string_view text,
             std::string_view utf8Text) REQUIRES(step.protocol.mutex) {
  irc::UserTable& users = step.users;
  irc::ChannelTable& channels = step.channels;
  irc::UserSlot& self = step.self;
  const bool answers = kind != Kind::Notice;
  const bool tagsOnly = kind == Kind::Tagmsg;

  std::string relay;
  if (tagsOnly) {
    irc::FormatRelay(relay, irc::kRelayTagmsg, {self.Nick(), self.userName, self.address, target});
  } else {
    irc::FormatRelay(relay, kind == Kind::Privmsg ? irc::kRelayPrivmsg : irc::kRelayNotice,
                     {self.Nick(), self.userName, self.address, target, text});
  }
  const std::string utf8Relay =
      tagsOnly ? std::string() : irc::VerbatimRelay(relay, text, utf8Text);
  const irc::MessageStamp stamp = irc::NewStamp();
  const irc::SendTags tags{&stamp, step.clientTags};
  const bool echoes = (self.capabilities & irc::kCapEchoMessage) != 0 &&
                      (!tagsOnly || (self.capabilities & irc::kCapMessageTags) != 0);
  const int recipient = users.FindUserByNick(target);
  if (recipient != irc::kNotFound) {
    if (!tagsOnly || (users.Slot(recipient).capabilities & irc::kCapMessageTags) != 0) {
      irc::SendLine(step.protocol, users.Slot(recipient).socket, relay, utf8Relay, tags);
      ++step.protocol.counts.relayedLines;
    }
    if (echoes && recipient != step.slot) {
      irc::SendLine(step.protocol, self.socket, relay, utf8Relay, tags);
    }
    if (kind == Kind::Privmsg) SendAwayReply(step, recipient);  // NOTICE never answers
    return;
  }
  const int index = channels.FindChannel(target);
  if (index == irc::kNotFound || !MaySpeak(step, index)) {
    if (answers) {
      irc::SendNumeric(step.protocol, step.slot,
                       index == irc::kNotFound ? irc::kErrNoSuchNick : irc::kErrCannotSendToChan,
                       {target});
    }
    return;
  }
  if (!tagsOnly) {
    std::string line = base::ConversationStamp();
    line.append(self.Nick()).append("> ").append(text);
    channels.AppendLine(index, line);
  }
  std::vector<int> members;
  channels.MemberSlots(index, users, members);
  if (tagsOnly) members = WithMessageTags(step, members);
  irc::SendToSlots(step.protocol, members, relay, step.slot, utf8Relay, tags);
  if (echoes) irc::SendLine(step.protocol, self.socket, relay, utf8Relay, tags);
  if (!tagsOnly) {
    RecordHistory(step.protocol, self, stamp, kind == Kind::Privmsg ? "PRIVMSG" : "NOTICE",
                  channels.ChannelName(index), {}, text, utf8Text);
  }
}

irc::ConnState HandleMessage(const Step& step, Kind kind) REQUIRES(step.protocol.mutex) {
  const bool answers = kind != Kind::Notice;
  const std::vector<std::string_view> targets = irc::SplitList(step.fields[0]);
  if (targets.empty()) {
    if (answers) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrNoRecipient,
                       {kind == Kind::Tagmsg ? "TAGMSG" : "PRIVMSG"});
    }
    return step.state;
  }
  const std::string& text = step.fields[1];
  if (text.empty() && kind != Kind::Tagmsg) {
    if (answers) irc::SendNumeric(step.protocol, step.slot, irc::kErrNoTextToSend, {});
    return step.state;
  }
  const std::string utf8Text = Utf8TextField(step.utf8Params);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (i == static_cast<std::size_t>(irc::kMaxTargets)) {
      if (answers)
        irc::SendNumeric(step.protocol, step.slot, irc::kErrTooManyTargets, {targets[i]});
      break;
    }
    Deliver(step, kind, targets[i], text, utf8Text);
  }
  return step.state;
}

}  // namespace

irc::ConnState HandlePrivmsg(const Step& step) {
  return HandleMessage(step, Kind::Privmsg);
}

irc::ConnState HandleNotice(const Step& step) {
  return HandleMessage(step, Kind::Notice);
}

irc::ConnState HandleTagmsg(const Step& step) {
  return HandleMessage(step, Kind::Tagmsg);
}

irc::ConnState HandleTopic(const Step& step) {
  const std::string& name = step.fields[0];
  irc::ChannelTable& channels = step.channels;
  irc::UserSlot& self = step.self;

  const int index = channels.FindChannel(name);
  if (index == irc::kNotFound) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchChannel, {name});
    return step.state;
  }
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
  // Under +t only an operator sets the topic; otherwise anyone may set any
  // existing channel's, an empty one included.
  if (channels.Modes(index).Has('t')) {
    const irc::JoinedChannel* joined = FindJoined(self, name);
    if (joined == nullptr || !joined->isOperator) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrChanOpPrivsNeeded, {name});
      return step.state;
    }
  }
  const std::string typed = irc::CutText(step.fields[1], irc::kTopicLen);
  (void)channels.SetTopic(self, name, typed);  // the channel exists: cannot fail
  const std::string topic = channels.GetTopic(name);
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayTopic,
                   {self.Nick(), self.userName, self.address, name, topic});
  // The topic text reads "<topic> by <nick>"; UTF-8 members get the topic as
  // it was typed.
  const std::string utf8Relay = irc::VerbatimRelay(
      relay, typed, typed.size() == step.fields[1].size() ? Utf8TextField(step.utf8Params) : "",
      " by " + self.Nick());
  std::vector<int> members;
  channels.MemberSlots(index, step.users, members);
  const irc::MessageStamp stamp = irc::NewStamp();
  irc::SendToSlots(step.protocol, members, relay, irc::kNotFound, utf8Relay, {&stamp});
  channels.AppendLine(index, EventLine(topic));
  // Kept as relayed, "<topic> by <nick>", and as UTF-8 members got it.
  const std::string utf8Topic =
      utf8Relay.empty() ? std::string() : utf8Relay.substr(utf8Relay.find(" :") + 2);
  RecordHistory(step.protocol, self, stamp, "TOPIC", name, {}, topic, utf8Topic);
  return step.state;
}

}  // namespace zelkord::commands
