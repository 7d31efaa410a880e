// Snapshots and user-list actions for the window.
#include "window/desk_ops.h"

#include "irc/jp_text.h"

namespace zelkord::window {
namespace {

// The live slot of the row, or kNotFound for the first row, no row, or a
// nick no longer connected. Requires the protocol lock.
int SlotOfRow(frame::Server& server, int selectedRow, std::string_view rowText)
    REQUIRES(server.connectionLock) {
  if (selectedRow < 1) return irc::kNotFound;
  return server.users->FindUserByNick(rowText);
}

}  // namespace

std::vector<std::string> SnapshotUserList(frame::Server& server) {
  frame::MutexLock lock(server.connectionLock);
  return server.users ? server.users->UserList() : std::vector<std::string>{};
}

std::vector<ChannelPageSnapshot> SnapshotChannels(frame::Server& server) {
  std::vector<ChannelPageSnapshot> pages;
  frame::MutexLock lock(server.connectionLock);
  if (!server.channels) return pages;
  for (int index = 0; index < server.channels->Count(); ++index) {
    const channels::ChannelEntry& entry = server.channels->Entry(index);
    pages.push_back({entry.name, entry.members, std::string(channels::kModeText),
                     std::string(channels::kLimitText), std::string(channels::kKeyText),
                     entry.topicText, entry.view.Copy()});
  }
  return pages;
}

std::vector<int> OpenLogPages(frame::Server& server) {
  std::vector<int> open;
  if (!server.commLog) return open;
  for (int slot = 0; slot < server.commLog->Pages(); ++slot) {
    if (server.commLog->IsOpen(slot)) open.push_back(slot);
  }
  return open;
}

UserDetails ShowUserDetails(frame::Server& server, std::string_view nick) {
  UserDetails details;
  frame::MutexLock lock(server.connectionLock);
  if (!server.users) return details;
  const int found = server.users->FindUserByNick(nick);
  if (found == irc::kNotFound) return details;
  const irc::UserSlot& user = server.users->Slot(found);
  details.found = true;
  details.userName = user.userName;
  details.hostName = user.hostName;
  details.serverName = user.serverName;
  details.realName = user.realName;
  details.address = user.address;
  for (int index = 0; index < server.channels->Count(); ++index) {
    const std::string name = server.channels->ChannelName(index);
    std::string_view mark = irc::jp::kMarkAbsent;
    for (const irc::JoinedChannel& joined : user.channels) {
      if (joined.name == name) {
        mark = joined.isOperator ? irc::jp::kMarkOperator : irc::jp::kMarkMember;
        break;
      }
    }
    details.channelCaptions.push_back(std::string(mark) + name);
  }
  return details;
}

bool ForceDisconnect(frame::Server& server, int selectedRow, std::string_view rowText) {
  frame::ProtocolLock lock(server);
  const int slot = SlotOfRow(server, selectedRow, rowText);
  if (slot == irc::kNotFound) return false;
  // Its own thread sees the receive fail and runs the normal disconnect.
  server.users->Slot(slot).connection->Shutdown();
  return true;
}

bool RefuseConnection(frame::Server& server, int selectedRow, std::string_view rowText) {
  frame::ProtocolLock lock(server);
  const int slot = SlotOfRow(server, selectedRow, rowText);
  if (slot == irc::kNotFound) return false;
  irc::UserSlot& user = server.users->Slot(slot);
  if (server.banList.BanAddress(user.address)) server.desk.BanListChanged();
  user.connection->Shutdown();
  return true;
}

}  // namespace zelkord::window
