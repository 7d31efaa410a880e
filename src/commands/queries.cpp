// The query commands: LIST, WHOIS, WHO, LUSERS and NAMES. They change
// nothing and answer the caller alone.
#include <algorithm>
#include <string>

#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

// 352 lines for the members of one channel, stopping at the first member
// whose slot or joined entry cannot be found.
void ListWhoMembers(irc::ProtocolState& protocol, int slot, int index) REQUIRES(protocol.mutex) {
  const irc::UserTable& users = *protocol.users;
  const irc::ChannelTable& channels = *protocol.channels;
  const std::string name = channels.ChannelName(index);
  for (int position = 0; position < channels.MemberCount(index); ++position) {
    const int member = users.FindUserByNick(channels.MemberAt(index, position));
    if (member == irc::kNotFound) return;
    const irc::UserSlot& user = users.Slot(member);
    auto joined = std::find_if(user.channels.begin(), user.channels.end(),
                               [&](const irc::JoinedChannel& c) { return c.name == name; });
    if (joined == user.channels.end()) return;
    irc::SendNumeric(protocol, slot, irc::kRplWhoReply,
                     {name, user.userName, user.address, user.hostName, user.Nick(),
                      joined->isOperator ? "@" : "", user.realName});
  }
}

}  // namespace

irc::ConnState HandleList(irc::ProtocolState& protocol, int slot, std::string_view,
                          std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  const irc::ChannelTable& channels = *protocol.channels;
  irc::SendNumeric(protocol, slot, irc::kRplListStart, {});
  for (int index = 0; index < channels.Count(); ++index) {
    const std::string name = channels.ChannelName(index);
    irc::SendNumeric(protocol, slot, irc::kRplList,
                     {name, channels.MemberCount(index), channels.GetTopic(name)});
  }
  irc::SendNumeric(protocol, slot, irc::kRplListEnd, {});
  return keep;
}

irc::ConnState HandleWhois(irc::ProtocolState& protocol, int slot, std::string_view params,
                           std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string& asked = fields[0];
  const irc::UserTable& users = *protocol.users;

  const int found = users.FindUserByNick(asked);
  if (found == irc::kNotFound) {
    irc::SendNumeric(protocol, slot, irc::kErrNoSuchNick, {asked});
    return keep;
  }
  const irc::UserSlot& user = users.Slot(found);
  irc::SendNumeric(protocol, slot, irc::kRplWhoisUser,
                   {user.Nick(), user.userName, user.address, user.realName});
  std::string list;
  for (const irc::JoinedChannel& joined : user.channels) {
    list.push_back(joined.isOperator ? '@' : '+');
    list.append(joined.name).push_back(' ');  // the trailing space stays
  }
  irc::SendNumeric(protocol, slot, irc::kRplWhoisChannels, {asked, list});
  irc::SendNumeric(protocol, slot, irc::kRplWhoisServer,
                   {asked, protocol.settings.serverName, protocol.settings.serverInformation});
  if (!user.certificateFingerprint.empty()) {
    irc::SendNumeric(protocol, slot, irc::kRplWhoisCertificate,
                     {asked, user.certificateFingerprint});
  }
  irc::SendNumeric(protocol, slot, irc::kRplEndOfWhois, {asked});
  return keep;
}

irc::ConnState HandleWho(irc::ProtocolState& protocol, int slot, std::string_view params,
                         std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  const irc::ChannelTable& channels = *protocol.channels;
  if (params.empty()) {
    for (int index = 0; index < channels.Count(); ++index) ListWhoMembers(protocol, slot, index);
    irc::SendNumeric(protocol, slot, irc::kRplEndOfWho,
                     {channels.ChannelName(channels.Count() - 1)});
    return keep;
  }
  // The whole text is the name: "#a o" names no channel and gets no reply.
  const int index = channels.FindChannel(params);
  if (index == irc::kNotFound) return keep;
  ListWhoMembers(protocol, slot, index);
  irc::SendNumeric(protocol, slot, irc::kRplEndOfWho, {params});
  return keep;
}

irc::ConnState HandleLusers(irc::ProtocolState& protocol, int slot, std::string_view,
                            std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  const int registered = protocol.users->RegisteredCount();
  irc::SendNumeric(protocol, slot, irc::kRplLuserClient, {registered, 0, 1});
  irc::SendNumeric(protocol, slot, irc::kRplLuserOp, {0});
  irc::SendNumeric(protocol, slot, irc::kRplLuserUnknown, {0});
  irc::SendNumeric(protocol, slot, irc::kRplLuserChannels, {protocol.channels->Count()});
  irc::SendNumeric(protocol, slot, irc::kRplLuserMe, {registered, 0});
  return keep;
}

irc::ConnState HandleNames(irc::ProtocolState& protocol, int slot, std::string_view params,
                           std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  const irc::ChannelTable& channels = *protocol.channels;
  if (params.empty()) {
    for (int index = 0; index < channels.Count(); ++index) {
      SendNamesReply(protocol, slot, channels.ChannelName(index), index);
    }
    irc::SendNumeric(protocol, slot, irc::kRplEndOfNames,
                     {channels.ChannelName(channels.Count() - 1)});
    return keep;
  }
  const int index = channels.FindChannel(params);
  if (index != irc::kNotFound) SendNamesReply(protocol, slot, params, index);
  irc::SendNumeric(protocol, slot, irc::kRplEndOfNames, {params});  // sent even for no such channel
  return keep;
}

}  // namespace zelkord::commands
