// JOIN and PART: into and out of channels, each taking a list of them.
#include <algorithm>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/jp_text.h"
#include "commands/handlers.h"
#include "irc/name_rules.h"

namespace zelkord::commands {
namespace {

// Appends "!user@host" to a NAMES entry ("@" and the nick) for a client
// that enabled userhost-in-names.
void AppendUserHost(const irc::UserTable& users, std::string& entry) {
  const std::size_t nickStart = std::min(entry.find_first_not_of("@+"), entry.size());
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
  const irc::UserSlot& asker = users.Slot(slot);
  const bool withHosts = (asker.capabilities & irc::kCapUserhostInNames) != 0;
  const bool allPrefixes = (asker.capabilities & irc::kCapMultiPrefix) != 0;
  // An outsider does not see the invisible members it shares no channel with.
  const bool outsider = FindJoined(asker, channel) == nullptr;
  for (std::string name : protocol.channels->NamesList(index, users, allPrefixes)) {
    if (outsider) {
      const std::size_t nickStart = std::min(name.find_first_not_of("@+"), name.size());
      const int member = users.FindUserByNick(std::string_view(name).substr(nickStart));
      if (member != irc::kNotFound && !CanSee(asker, users.Slot(member))) continue;
    }
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

namespace {

// Whether the name may be joined; otherwise says why (403 or 479).
bool AcceptChannelName(const Step& step, std::string_view name) REQUIRES(step.protocol.mutex) {
  switch (irc::CheckChannelName(name)) {
    case irc::ChannelNameCheck::Valid:
      return true;
    case irc::ChannelNameCheck::NotAChannel:
      irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchChannel, {name});
      return false;
    case irc::ChannelNameCheck::Illegal:
      irc::SendNumeric(step.protocol, step.slot, irc::kErrBadChanName, {name});
      return false;
  }
  return false;
}

// The numeric that keeps the user out of an existing channel, or 0. An
// invitation lets the user past a ban and invite-only, not past the key
// or the limit.
int JoinRefusal(const Step& step, int existing, std::string_view key)
    REQUIRES(step.protocol.mutex) {
  if (existing == irc::kNotFound) return 0;
  const irc::ChannelModes& modes = step.channels.Modes(existing);
  const std::vector<std::string>& invitations = step.self.invitations;
  const bool invited = std::find(invitations.begin(), invitations.end(),
                                 step.channels.ChannelName(existing)) != invitations.end();
  if (!invited && IsBanned(modes, step.self)) return irc::kErrBannedFromChan;
  if (!invited && modes.Has('i')) return irc::kErrInviteOnlyChan;
  if (!modes.key.empty() && key != modes.key) return irc::kErrBadChannelKey;
  if (modes.limit > 0 && step.channels.MemberCount(existing) >= modes.limit) {
    return irc::kErrChannelIsFull;
  }
  return 0;
}

void JoinOne(const Step& step, std::string_view name, std::string_view key)
    REQUIRES(step.protocol.mutex) {
  irc::UserSlot& self = step.self;
  if (!AcceptChannelName(step, name)) return;
  if (FindJoined(self, name) != nullptr) return;  // already there: as the peers, no reply
  if (const int refusal = JoinRefusal(step, step.channels.FindChannel(name), key); refusal != 0) {
    irc::SendNumeric(step.protocol, step.slot, refusal, {name});
    return;
  }
  const int index = step.channels.AddMember(self, name);
  if (index == irc::kNotFound) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrTooManyChannels, {name});
    return;
  }
  std::string relay;
  irc::FormatRelay(relay, irc::kRelayJoin, {self.Nick(), self.userName, self.address, name});
  std::vector<int> members;
  step.channels.MemberSlots(index, step.users, members);
  const irc::MessageStamp stamp = irc::NewStamp();
  irc::SendToSlots(step.protocol, members, relay, irc::kNotFound, {}, {&stamp});
  RecordHistory(step.protocol, self, stamp, "JOIN", name, {}, {});
  NoteJoined(step, index);
  SendNamesReply(step.protocol, step.slot, name, index);
  irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfNames, {name});
  step.channels.AppendLine(index, EventLine(self.Nick() + std::string(base::jp::kEntered)));
}

void PartOne(const Step& step, std::string_view name, std::string_view reason)
    REQUIRES(step.protocol.mutex) {
  irc::ChannelTable& channels = step.channels;
  irc::UserSlot& self = step.self;
  const int index = channels.FindChannel(name);
  if (index == irc::kNotFound) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchChannel, {name});
    return;
  }
  if (FindJoined(self, name) == nullptr) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNotOnChannel, {name});
    return;
  }
  channels.AppendLine(index, EventLine(self.Nick() + std::string(base::jp::kLeft)));
  std::string relay;
  if (reason.empty()) {
    irc::FormatRelay(relay, irc::kRelayPart, {self.Nick(), self.userName, self.address, name});
  } else {
    irc::FormatRelay(relay, irc::kRelayPartReason,
                     {self.Nick(), self.userName, self.address, name, reason});
  }
  std::vector<int> members;
  channels.MemberSlots(index, step.users, members);  // the leaver included
  // The name is copied: it may be the leaver's own joined entry, which leaving erases.
  const irc::MessageStamp stamp = irc::NewStamp();
  RecordHistory(step.protocol, self, stamp, "PART", name, {}, reason);
  (void)channels.RemoveMember(self, std::string(name));  // a member: cannot fail
  irc::SendToSlots(step.protocol, members, relay, irc::kNotFound, {}, {&stamp});
}

}  // namespace

const irc::JoinedChannel* FindJoined(const irc::UserSlot& user, std::string_view name) {
  auto found = std::find_if(user.channels.begin(), user.channels.end(),
                            [&](const irc::JoinedChannel& c) { return c.name == name; });
  return found == user.channels.end() ? nullptr : &*found;
}

irc::ConnState HandleJoin(const Step& step) {
  // "JOIN 0" leaves every channel, as "PART" of each would.
  if (step.fields[0] == "0") {
    std::vector<std::string> joined;
    for (const irc::JoinedChannel& channel : step.self.channels) joined.push_back(channel.name);
    for (const std::string& name : joined) PartOne(step, name, {});
    return step.state;
  }
  // Keys pair with the names in order.
  const std::vector<std::string_view> names = irc::SplitList(step.fields[0]);
  if (names.empty()) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNeedMoreParams, {"JOIN"});
    return step.state;
  }
  // Empty keys keep their places: "JOIN #a,#b ,kb" gives #b the key.
  std::vector<std::string_view> keys;
  for (std::string_view rest = step.fields[1]; !rest.empty();) {
    const std::size_t comma = std::min(rest.find(','), rest.size());
    keys.push_back(rest.substr(0, comma));
    rest.remove_prefix(std::min(comma + 1, rest.size()));
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    JoinOne(step, names[i], i < keys.size() ? keys[i] : std::string_view());
  }
  return step.state;
}

irc::ConnState HandlePart(const Step& step) {
  const std::vector<std::string_view> names = irc::SplitList(step.fields[0]);
  if (names.empty()) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNeedMoreParams, {"PART"});
    return step.state;
  }
  for (std::string_view name : names) PartOne(step, name, step.fields[1]);
  return step.state;
}

}  // namespace zelkord::commands
