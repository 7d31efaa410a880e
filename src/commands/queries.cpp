// The query commands: LIST, WHOIS, WHO, LUSERS and NAMES. They change
// nothing and answer the caller alone, and show an invisible user only to
// those who share a channel with it.
#include <algorithm>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "irc/name_rules.h"

namespace zelkord::commands {
namespace {

// A 352 line's status: here (H) or gone (G), then "*" for a server
// operator; the channel prefix follows.
std::string WhoFlags(const irc::UserSlot& user) {
  std::string flags = user.awayText.empty() ? "H" : "G";
  if (IsServerOperator(user)) flags.push_back('*');
  return flags;
}

// 352 lines for the members of one channel, stopping at the first member
// whose slot or joined entry cannot be found.
void ListWhoMembers(const Step& step, int index) REQUIRES(step.protocol.mutex) {
  const irc::UserTable& users = step.users;
  const irc::ChannelTable& channels = step.channels;
  const std::string name = channels.ChannelName(index);
  for (int position = 0; position < channels.MemberCount(index); ++position) {
    const int member = users.FindUserByNick(channels.MemberAt(index, position));
    if (member == irc::kNotFound) return;
    const irc::UserSlot& user = users.Slot(member);
    auto joined = std::find_if(user.channels.begin(), user.channels.end(),
                               [&](const irc::JoinedChannel& c) { return c.name == name; });
    if (joined == user.channels.end()) return;
    if (!CanSee(step.self, user)) continue;
    irc::SendNumeric(step.protocol, step.slot, irc::kRplWhoReply,
                     {name, user.userName, user.address, user.hostName, user.Nick(), WhoFlags(user),
                      PrefixFor(step.self, *joined), user.realName});
  }
}

// WHO for a mask that names no channel: the users whose nick matches it
// ("0" is every user), only the server operators with an "o" after it,
// and never one the asker may not see.
void ListWhoMatches(const Step& step) REQUIRES(step.protocol.mutex) {
  const std::string& asked = step.fields[0];
  const std::string_view mask = asked == "0" ? std::string_view("*") : std::string_view(asked);
  const bool operatorsOnly = step.count >= 2 && step.fields[1] == "o";
  const irc::UserTable& users = step.users;
  for (int index = 0; index < users.Capacity(); ++index) {
    const irc::UserSlot& user = users.Slot(index);
    if (!user.inUse || !user.Registered() || !CanSee(step.self, user)) continue;
    if (operatorsOnly && !IsServerOperator(user)) continue;
    if (!irc::MatchMask(mask, user.Nick())) continue;
    irc::SendNumeric(step.protocol, step.slot, irc::kRplWhoReply,
                     {"*", user.userName, user.address, user.hostName, user.Nick(), WhoFlags(user),
                      "", user.realName});
  }
  irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfWho, {asked});
}

}  // namespace

bool HiddenFrom(const Step& step, int index) {
  const irc::ChannelModes& modes = step.channels.Entry(index).modes;
  return (modes.Has('s') || modes.Has('p')) && !IsServerOperator(step.self) &&
         FindJoined(step.self, step.channels.ChannelName(index)) == nullptr;
}

std::string PrefixFor(const irc::UserSlot& asker, const irc::JoinedChannel& joined) {
  return irc::MemberPrefix(joined, (asker.capabilities & irc::kCapMultiPrefix) != 0);
}

irc::ConnState HandleList(const Step& step) {
  const irc::ChannelTable& channels = step.channels;
  irc::SendNumeric(step.protocol, step.slot, irc::kRplListStart, {});
  for (int index = 0; index < channels.Count(); ++index) {
    if (HiddenFrom(step, index)) continue;
    const std::string name = channels.ChannelName(index);
    irc::SendNumeric(step.protocol, step.slot, irc::kRplList,
                     {name, channels.MemberCount(index), channels.GetTopic(name)});
  }
  irc::SendNumeric(step.protocol, step.slot, irc::kRplListEnd, {});
  return step.state;
}

namespace {

void WhoisOne(const Step& step, std::string_view asked) REQUIRES(step.protocol.mutex) {
  const int found = step.users.FindUserByNick(asked);
  if (found == irc::kNotFound) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchNick, {asked});
    irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfWhois, {asked});
    return;
  }
  const irc::UserSlot& user = step.users.Slot(found);
  irc::SendNumeric(step.protocol, step.slot, irc::kRplWhoisUser,
                   {user.Nick(), user.userName, user.address, user.realName});
  std::string list;
  for (const irc::JoinedChannel& joined : user.channels) {
    const int index = step.channels.FindChannel(joined.name);
    if (index == irc::kNotFound || HiddenFrom(step, index)) continue;
    list.append(PrefixFor(step.self, joined));
    list.append(joined.name).push_back(' ');  // the trailing space stays
  }
  const config::Settings& settings = step.protocol.settings;
  irc::SendNumeric(step.protocol, step.slot, irc::kRplWhoisChannels, {asked, list});
  irc::SendNumeric(step.protocol, step.slot, irc::kRplWhoisServer,
                   {asked, settings.serverName, settings.serverInformation});
  if (IsServerOperator(user)) {
    irc::SendNumeric(step.protocol, step.slot, irc::kRplWhoisOperator, {asked});
  }
  SendAwayReply(step, found);
  if (!user.certificateFingerprint.empty()) {
    irc::SendNumeric(step.protocol, step.slot, irc::kRplWhoisCertificate,
                     {asked, user.certificateFingerprint});
  }
  irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfWhois, {asked});
}

}  // namespace

irc::ConnState HandleWhois(const Step& step) {
  // "WHOIS server nick" asks the named server; there is only this one.
  const std::string& nicks = step.fields[step.count >= 2 ? 1 : 0];
  const std::vector<std::string_view> asked = irc::SplitList(nicks);
  if (asked.empty()) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoNicknameGiven, {});
    return step.state;
  }
  for (std::size_t i = 0; i < asked.size(); ++i) {
    if (i == static_cast<std::size_t>(irc::kMaxTargets)) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrTooManyTargets, {asked[i]});
      break;
    }
    WhoisOne(step, asked[i]);
  }
  return step.state;
}

irc::ConnState HandleWho(const Step& step) {
  const irc::ChannelTable& channels = step.channels;
  if (step.params.empty()) {
    for (int index = 0; index < channels.Count(); ++index) {
      if (!HiddenFrom(step, index)) ListWhoMembers(step, index);
    }
    irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfWho,
                     {channels.ChannelName(channels.Count() - 1)});
    return step.state;
  }
  if (irc::kChannelTypes.find(step.params.front()) == std::string_view::npos) {
    ListWhoMatches(step);
    return step.state;
  }
  // The whole text is the name: "#a o" names no channel and gets no reply.
  const int index = channels.FindChannel(step.params);
  if (index == irc::kNotFound) return step.state;
  if (!HiddenFrom(step, index)) ListWhoMembers(step, index);
  irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfWho, {step.params});
  return step.state;
}

irc::ConnState HandleLusers(const Step& step) {
  const int registered = step.users.RegisteredCount();
  const int invisible = step.users.InvisibleCount();
  irc::SendNumeric(step.protocol, step.slot, irc::kRplLuserClient,
                   {registered - invisible, invisible, 1});
  irc::SendNumeric(step.protocol, step.slot, irc::kRplLuserOp, {step.users.OperatorCount()});
  irc::SendNumeric(step.protocol, step.slot, irc::kRplLuserUnknown, {0});
  irc::SendNumeric(step.protocol, step.slot, irc::kRplLuserChannels, {step.channels.Count()});
  irc::SendNumeric(step.protocol, step.slot, irc::kRplLuserMe, {registered, 0});
  SendUserCounts(step.protocol, step.slot);
  return step.state;
}

irc::ConnState HandleNames(const Step& step) {
  const irc::ChannelTable& channels = step.channels;
  if (step.params.empty()) {
    for (int index = 0; index < channels.Count(); ++index) {
      if (HiddenFrom(step, index)) continue;
      SendNamesReply(step.protocol, step.slot, channels.ChannelName(index), index);
    }
    irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfNames,
                     {channels.ChannelName(channels.Count() - 1)});
    return step.state;
  }
  for (std::string_view name : irc::SplitList(step.fields[0])) {
    const int index = channels.FindChannel(name);
    if (index != irc::kNotFound && !HiddenFrom(step, index)) {
      SendNamesReply(step.protocol, step.slot, name, index);
    }
    // Sent even for no such channel, or one hidden from the asker.
    irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfNames, {name});
  }
  return step.state;
}

}  // namespace zelkord::commands
