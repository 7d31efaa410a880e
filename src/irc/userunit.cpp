// Connection table operations: linear scans in slot order, as the answers
// (lowest index first) depend on that order.
#include "irc/userunit.h"

#include "irc/sjis.h"

namespace zelkord::irc {

UserTable::UserTable(int capacity, int channelCapacity)
    : slots_(static_cast<std::size_t>(capacity > 0 ? capacity : 0)),
      channelCapacity_(channelCapacity > 0 ? channelCapacity : 0) {}

int UserTable::ClaimSlot(std::shared_ptr<Connection> connection, std::string_view address) {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    UserSlot& slot = slots_[i];
    if (slot.inUse) continue;
    slot.inUse = true;
    slot.registered = false;
    slot.alive = true;
    slot.nickAccepted = false;
    slot.userGiven = false;
    slot.sweepsUnregistered = 0;
    slot.socket = connection ? connection->Socket() : -1;
    slot.connection = std::move(connection);
    slot.address.assign(address.substr(0, 15));
    slot.nick.clear();
    slot.userName.clear();
    slot.hostName.clear();
    slot.serverName.clear();
    slot.realName.clear();
    slot.channels.clear();
    return static_cast<int>(i);
  }
  return kNotFound;
}

void UserTable::ReleaseSlot(int index) {
  UserSlot& slot = Slot(index);
  slot.inUse = false;
  slot.connection.reset();
}

bool UserTable::IsNickFree(int index) const {
  const UserSlot& self = Slot(index);
  if (self.nick.empty()) return false;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (static_cast<int>(i) == index || !slots_[i].inUse) continue;
    if (EqualsFolded(slots_[i].nick, self.nick)) return false;
  }
  return true;
}

void UserTable::RegisterUser(int index) {
  UserSlot& slot = Slot(index);
  slot.channels.clear();
  slot.channels.reserve(static_cast<std::size_t>(channelCapacity_));
  slot.registered = true;
  slot.alive = true;
  ++registeredCount_;
  userList_.push_back(slot.nick);
}

void UserTable::UnregisterUser(int index) {
  UserSlot& slot = Slot(index);
  for (auto row = userList_.begin(); row != userList_.end(); ++row) {
    if (EqualsFolded(*row, slot.nick)) {
      userList_.erase(row);
      break;
    }
  }
  slot.channels.clear();
  slot.registered = false;
  --registeredCount_;
}

int UserTable::FindUserByNick(std::string_view nick) const {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].inUse && EqualsFolded(slots_[i].nick, nick)) return static_cast<int>(i);
  }
  return kNotFound;
}

int UserTable::FindSlotBySocket(int socket) const {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].inUse && slots_[i].socket == socket) return static_cast<int>(i);
  }
  return kNotFound;
}

void UserTable::RenameListRow(std::string_view oldNick, std::string_view newNick) {
  for (std::string& row : userList_) {
    if (EqualsFolded(row, oldNick)) {
      row.assign(newNick);
      return;
    }
  }
}

}  // namespace zelkord::irc
