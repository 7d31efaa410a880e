// Snapshots and user-list actions for the window.
#include "window/desk_actions.h"

namespace zelkord::window {
namespace {

// The live slot of the row, or kNotFound for the first row, no row, or a
// nick no longer connected. Requires the protocol lock.
int SlotOfRow(irc::ProtocolState& protocol, int selectedRow, std::string_view rowText)
    REQUIRES(protocol.mutex) {
  if (selectedRow < 1) return irc::kNotFound;
  return protocol.users->FindUserByNick(rowText);
}

}  // namespace

std::vector<std::string> SnapshotUserList(irc::ProtocolState& protocol) {
  irc::ProtocolLock lock(protocol);
  return protocol.users ? protocol.users->UserList() : std::vector<std::string>{};
}

std::vector<std::string> SnapshotAwayTexts(irc::ProtocolState& protocol,
                                           const std::vector<std::string>& rows) {
  std::vector<std::string> texts(rows.size());
  irc::ProtocolLock lock(protocol);
  if (!protocol.users) return texts;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const int found = protocol.users->FindUserByNick(rows[i]);
    if (found != irc::kNotFound) texts[i] = protocol.users->Slot(found).awayText;
  }
  return texts;
}

std::vector<ChannelPageSnapshot> SnapshotChannels(irc::ProtocolState& protocol) {
  std::vector<ChannelPageSnapshot> pages;
  irc::ProtocolLock lock(protocol);
  if (!protocol.channels || !protocol.users) return pages;
  for (int index = 0; index < protocol.channels->Count(); ++index) {
    const irc::ChannelEntry& entry = protocol.channels->Entry(index);
    const irc::ChannelModes& modes = entry.modes;
    ChannelPageSnapshot page{
        entry.name,
        entry.members,
        {},
        {},
        modes.Letters(),
        modes.limit > 0 ? "+l:" + std::to_string(modes.limit) : std::string(kNoLimit),
        modes.key.empty() ? std::string(kNoKey) : "+k:" + modes.key,
        entry.topicText,
        entry.view.Copy()};
    for (std::size_t position = 0; position < entry.members.size(); ++position) {
      MemberStanding standing;
      std::string prefix;
      const int slot = protocol.users->FindUserByFoldedNick(entry.folded[position]);
      if (slot != irc::kNotFound) {
        const irc::UserSlot& user = protocol.users->Slot(slot);
        standing.isDesk = user.operatorClient;
        for (const irc::JoinedChannel& joined : user.channels) {
          if (joined.name != entry.name) continue;
          standing.isOperator = joined.isOperator;
          standing.isVoiced = joined.isVoiced;
          // The same flags and mark NAMES gives a client without multi-prefix.
          prefix = irc::MemberPrefix(joined, false);
          break;
        }
      }
      page.memberRows.push_back(prefix + entry.members[position]);
      page.standings.push_back(standing);
    }
    pages.push_back(std::move(page));
  }
  return pages;
}

std::vector<int> OpenLogPages(irc::ProtocolState& protocol) {
  std::vector<int> open;
  if (!protocol.commLog) return open;
  for (int slot = 0; slot < protocol.commLog->Pages(); ++slot) {
    if (protocol.commLog->IsOpen(slot)) open.push_back(slot);
  }
  return open;
}

UserDetails ShowUserDetails(irc::ProtocolState& protocol, std::string_view nick) {
  UserDetails details;
  irc::ProtocolLock lock(protocol);
  if (!protocol.users) return details;
  const int found = protocol.users->FindUserByNick(nick);
  if (found == irc::kNotFound) return details;
  const irc::UserSlot& user = protocol.users->Slot(found);
  details.found = true;
  details.userName = user.userName;
  details.hostName = user.hostName;
  details.serverName = user.serverName;
  details.realName = user.realName;
  details.address = user.address;
  details.awayText = user.awayText;
  for (int index = 0; index < protocol.channels->Count(); ++index) {
    const std::string name = protocol.channels->ChannelName(index);
    std::string_view mark = kMarkAbsent;
    for (const irc::JoinedChannel& joined : user.channels) {
      if (joined.name == name) {
        mark = joined.isOperator ? kMarkOperator : joined.isVoiced ? kMarkVoiced : kMarkMember;
        break;
      }
    }
    details.channelCaptions.push_back(std::string(mark) + name);
  }
  return details;
}

bool ForceDisconnect(irc::ProtocolState& protocol, int selectedRow, std::string_view rowText) {
  irc::ProtocolLock lock(protocol);
  const int slot = SlotOfRow(protocol, selectedRow, rowText);
  if (slot == irc::kNotFound) return false;
  // Its own thread sees the receive fail and runs the normal disconnect.
  protocol.users->Slot(slot).output->Shutdown();
  return true;
}

bool RefuseConnection(irc::ProtocolState& protocol, int selectedRow, std::string_view rowText) {
  irc::ProtocolLock lock(protocol);
  const int slot = SlotOfRow(protocol, selectedRow, rowText);
  if (slot == irc::kNotFound) return false;
  irc::UserSlot& user = protocol.users->Slot(slot);
  if (protocol.banList.BanAddress(user.address)) protocol.desk.BanListChanged();
  user.output->Shutdown();
  return true;
}

std::string MemberCommandLine(irc::ProtocolState& protocol, std::string_view channel,
                              std::string_view nick, MemberCommand command) {
  irc::ProtocolLock lock(protocol);
  if (!protocol.users) return {};
  const int slot = protocol.users->FindUserByNick(nick);
  if (slot == irc::kNotFound) return {};
  std::string line = "MODE " + std::string(channel) + " ";
  switch (command) {
    case MemberCommand::Op:
      return line.append("+o ").append(nick);
    case MemberCommand::Deop:
      return line.append("-o ").append(nick);
    case MemberCommand::Voice:
      return line.append("+v ").append(nick);
    case MemberCommand::Devoice:
      return line.append("-v ").append(nick);
    case MemberCommand::Ban:
      // By address, so a new nick does not walk back in.
      return line.append("+b *!*@").append(protocol.users->Slot(slot).address);
  }
  return {};
}

}  // namespace zelkord::window
