// The query commands: LIST, WHOIS, WHO, LUSERS and NAMES. They change
// nothing and answer the caller alone.
#include <algorithm>
#include <string>

#include "channels/handlers.h"

namespace zelkord::channels {
namespace {

// 352 lines for the members of one channel, stopping at the first member
// whose slot or joined entry cannot be found.
void ListWhoMembers(frame::Server& server, int slot, int index) REQUIRES(server.connectionLock) {
  const irc::UserTable& users = *server.users;
  const ChannelTable& channels = *server.channels;
  const std::string name = channels.ChannelName(index);
  for (int position = 0; position < channels.MemberCount(index); ++position) {
    const int member = users.FindUserByNick(channels.MemberAt(index, position));
    if (member == irc::kNotFound) return;
    const irc::UserSlot& user = users.Slot(member);
    auto joined = std::find_if(user.channels.begin(), user.channels.end(),
                               [&](const irc::JoinedChannel& c) { return c.name == name; });
    if (joined == user.channels.end()) return;
    irc::SendNumeric(server, slot, irc::kRplWhoReply,
                     {name, user.userName, user.address, user.hostName, user.Nick(),
                      joined->isOperator ? "@" : "", user.realName});
  }
}

}  // namespace

ConnState HandleList(frame::Server& server, int slot, std::string_view, ConnState keep, ConnState) {
  frame::ProtocolLock lock(server);
  const ChannelTable& channels = *server.channels;
  irc::SendNumeric(server, slot, irc::kRplListStart, {});
  for (int index = 0; index < channels.Count(); ++index) {
    const std::string name = channels.ChannelName(index);
    irc::SendNumeric(server, slot, irc::kRplList,
                     {name, channels.MemberCount(index), channels.GetTopic(name)});
  }
  irc::SendNumeric(server, slot, irc::kRplListEnd, {});
  return keep;
}

ConnState HandleWhois(frame::Server& server, int slot, std::string_view params, ConnState keep,
                      ConnState) {
  frame::ProtocolLock lock(server);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string& asked = fields[0];
  const irc::UserTable& users = *server.users;

  const int found = users.FindUserByNick(asked);
  if (found == irc::kNotFound) {
    irc::SendNumeric(server, slot, irc::kErrNoSuchNick, {asked});
    return keep;
  }
  const irc::UserSlot& user = users.Slot(found);
  irc::SendNumeric(server, slot, irc::kRplWhoisUser,
                   {user.Nick(), user.userName, user.address, user.realName});
  std::string list;
  for (const irc::JoinedChannel& joined : user.channels) {
    list.push_back(joined.isOperator ? '@' : '+');
    list.append(joined.name).push_back(' ');  // the trailing space stays
  }
  irc::SendNumeric(server, slot, irc::kRplWhoisChannels, {asked, list});
  irc::SendNumeric(server, slot, irc::kRplWhoisServer,
                   {asked, server.settings.serverName, server.settings.serverInformation});
  irc::SendNumeric(server, slot, irc::kRplEndOfWhois, {asked});
  return keep;
}

ConnState HandleWho(frame::Server& server, int slot, std::string_view params, ConnState keep,
                    ConnState) {
  frame::ProtocolLock lock(server);
  const ChannelTable& channels = *server.channels;
  if (params.empty()) {
    for (int index = 0; index < channels.Count(); ++index) ListWhoMembers(server, slot, index);
    irc::SendNumeric(server, slot, irc::kRplEndOfWho, {channels.ChannelName(channels.Count() - 1)});
    return keep;
  }
  // The whole text is the name: "#a o" names no channel and gets no reply.
  const int index = channels.FindChannel(params);
  if (index == irc::kNotFound) return keep;
  ListWhoMembers(server, slot, index);
  irc::SendNumeric(server, slot, irc::kRplEndOfWho, {params});
  return keep;
}

ConnState HandleLusers(frame::Server& server, int slot, std::string_view, ConnState keep,
                       ConnState) {
  frame::ProtocolLock lock(server);
  const int registered = server.users->RegisteredCount();
  irc::SendNumeric(server, slot, irc::kRplLuserClient, {registered, 0, 1});
  irc::SendNumeric(server, slot, irc::kRplLuserOp, {0});
  irc::SendNumeric(server, slot, irc::kRplLuserUnknown, {0});
  irc::SendNumeric(server, slot, irc::kRplLuserChannels, {server.channels->Count()});
  irc::SendNumeric(server, slot, irc::kRplLuserMe, {registered, 0});
  return keep;
}

ConnState HandleNames(frame::Server& server, int slot, std::string_view params, ConnState keep,
                      ConnState) {
  frame::ProtocolLock lock(server);
  const ChannelTable& channels = *server.channels;
  if (params.empty()) {
    for (int index = 0; index < channels.Count(); ++index) {
      SendNamesReply(server, slot, channels.ChannelName(index), index);
    }
    irc::SendNumeric(server, slot, irc::kRplEndOfNames,
                     {channels.ChannelName(channels.Count() - 1)});
    return keep;
  }
  const int index = channels.FindChannel(params);
  if (index != irc::kNotFound) SendNamesReply(server, slot, params, index);
  irc::SendNumeric(server, slot, irc::kRplEndOfNames, {params});  // sent even for no such channel
  return keep;
}

}  // namespace zelkord::channels
