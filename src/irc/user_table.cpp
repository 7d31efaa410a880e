// Connection table operations. The answers are those of scans in slot
// order (lowest index first); indexes (by folded nick, by socket, a bit
// for each slot in use) and counts give them without scanning, so a relay
// to a large channel and a registration among thousands stay cheap.
#include "irc/user_table.h"

#include <algorithm>
#include <bit>

#include "base/sjis.h"

namespace zelkord::irc {

UserTable::UserTable(int capacity, int channelCapacity)
    : slots_(static_cast<std::size_t>(capacity > 0 ? capacity : 0)),
      inUseBits_((slots_.size() + 63) / 64),
      channelCapacity_(channelCapacity > 0 ? channelCapacity : 0) {}

void UserTable::IndexAdd(int index) {
  std::vector<int>& holders = byNick_[base::UpperCase(Slot(index).nick_)];
  holders.insert(std::lower_bound(holders.begin(), holders.end(), index), index);
  ++holderChanges_;
}

void UserTable::IndexRemove(int index) {
  ++holderChanges_;
  auto found = byNick_.find(base::UpperCase(Slot(index).nick_));
  if (found == byNick_.end()) return;
  std::vector<int>& holders = found->second;
  holders.erase(std::remove(holders.begin(), holders.end(), index), holders.end());
  if (holders.empty()) byNick_.erase(found);
}

int UserTable::AddressCount(std::string_view address) const {
  const auto found = perAddress_.find(address);
  return found == perAddress_.end() ? 0 : found->second;
}

int UserTable::ClaimSlot(std::shared_ptr<net::OutputQueue> output, std::string_view address,
                         bool operatorClient) {
  for (std::size_t word = 0; word < inUseBits_.size(); ++word) {
    const int lowestFree = std::countr_one(inUseBits_[word]);
    if (lowestFree == 64) continue;
    const std::size_t i = word * 64 + static_cast<std::size_t>(lowestFree);
    if (i >= slots_.size()) break;  // the last word's bits past the table
    inUseBits_[word] |= std::uint64_t{1} << (i % 64);
    UserSlot& slot = slots_[i];
    const int index = static_cast<int>(i);
    slot.inUse = true;
    slot.registered_ = false;
    slot.alive = true;
    slot.nickAccepted_ = false;
    slot.userGiven = false;
    slot.capabilities = 0;
    slot.capVersion302 = false;
    slot.capHeld = false;
    slot.sweepsUnregistered = 0;
    slot.invisible_ = false;
    slot.wallops = false;
    slot.serverOperator_ = false;
    slot.operFailures = 0;
    slot.lastOperFailure = {};
    slot.killed = false;
    slot.socket = output ? output->Socket() : -1;
    slot.output = std::move(output);
    slot.address.assign(address);
    slot.operatorClient = operatorClient;
    if (!operatorClient) ++perAddress_[slot.address];
    slot.nick_.clear();
    slot.userName.clear();
    slot.hostName.clear();
    slot.serverName.clear();
    slot.realName.clear();
    slot.certificateFingerprint.clear();
    slot.tls = false;
    slot.channels.clear();
    slot.awayText.clear();
    slot.invitations.clear();
    IndexAdd(index);
    if (slot.socket >= 0) {
      if (bySocket_.size() <= static_cast<std::size_t>(slot.socket)) {
        bySocket_.resize(static_cast<std::size_t>(slot.socket) + 1, kNotFound);
      }
      bySocket_[static_cast<std::size_t>(slot.socket)] = index;
    }
    return index;
  }
  return kNotFound;
}

void UserTable::ReleaseSlot(int index) {
  UserSlot& slot = Slot(index);
  UnregisterUser(index);  // keeps the counts whole if it was not done first
  if (slot.inUse) {
    IndexRemove(index);
    if (!slot.operatorClient) {
      const auto found = perAddress_.find(slot.address);
      if (found != perAddress_.end() && --found->second <= 0) perAddress_.erase(found);
    }
    if (slot.socket >= 0 && static_cast<std::size_t>(slot.socket) < bySocket_.size() &&
        bySocket_[static_cast<std::size_t>(slot.socket)] == index) {
      bySocket_[static_cast<std::size_t>(slot.socket)] = kNotFound;
    }
  }
  slot.inUse = false;
  inUseBits_[static_cast<std::size_t>(index) / 64] &= ~(std::uint64_t{1} << (index % 64));
  slot.output.reset();
}

void UserTable::SetNick(int index, std::string_view nick) {
  UserSlot& slot = Slot(index);
  if (slot.inUse) IndexRemove(index);
  slot.nick_.assign(nick);
  if (slot.inUse) IndexAdd(index);
}

void UserTable::SetNickAccepted(int index, bool accepted) {
  Slot(index).nickAccepted_ = accepted;
  ++holderChanges_;
}

bool UserTable::IsNickFree(int index) const {
  const UserSlot& self = Slot(index);
  if (self.nick_.empty()) return false;
  auto found = byNick_.find(base::UpperCase(self.nick_));
  if (found == byNick_.end()) return true;
  for (int holder : found->second) {
    if (holder != index) return false;
  }
  return true;
}

void UserTable::RegisterUser(int index) {
  UserSlot& slot = Slot(index);
  slot.channels.clear();
  slot.registered_ = true;
  ++holderChanges_;
  slot.alive = true;
  ++registeredCount_;
  ++registrations_;
  registeredMax_ = std::max(registeredMax_, registeredCount_);
  slot.registeredAt_ = registrations_;
  if (slot.invisible_) ++invisibleCount_;
  if (slot.serverOperator_) ++operatorCount_;
}

void UserTable::UnregisterUser(int index) {
  UserSlot& slot = Slot(index);
  if (!slot.registered_) return;
  slot.channels.clear();
  slot.registered_ = false;
  ++holderChanges_;
  --registeredCount_;
  if (slot.invisible_) --invisibleCount_;
  if (slot.serverOperator_) --operatorCount_;
}

void UserTable::SetInvisible(int index, bool on) {
  UserSlot& slot = Slot(index);
  if (slot.invisible_ == on) return;
  slot.invisible_ = on;
  if (slot.registered_) invisibleCount_ += on ? 1 : -1;
}

void UserTable::SetServerOperator(int index, bool on) {
  UserSlot& slot = Slot(index);
  if (slot.serverOperator_ == on) return;
  slot.serverOperator_ = on;
  if (slot.registered_) operatorCount_ += on ? 1 : -1;
}

std::vector<std::string> UserTable::UserList() const {
  std::vector<const UserSlot*> registered;
  for (const UserSlot& slot : slots_) {
    if (slot.inUse && slot.registered_) registered.push_back(&slot);
  }
  std::sort(registered.begin(), registered.end(), [](const UserSlot* a, const UserSlot* b) {
    return a->registeredAt_ < b->registeredAt_;
  });
  std::vector<std::string> nicks;
  nicks.reserve(registered.size());
  for (const UserSlot* slot : registered) nicks.push_back(slot->nick_);
  return nicks;
}

int UserTable::FindUserByNick(std::string_view nick) const {
  return FindUserByFoldedNick(base::UpperCase(nick));
}

int UserTable::FindUserByFoldedNick(std::string_view folded) const {
  auto found = byNick_.find(folded);
  if (found == byNick_.end()) return kNotFound;
  // A nick refused at registration stays stored but is not held: that slot
  // must never receive what is meant for the user who holds the nick.
  for (int holder : found->second) {
    if (Slot(holder).registered_ || Slot(holder).nickAccepted_) return holder;
  }
  return kNotFound;
}

int UserTable::FindSlotBySocket(int socket) const {
  if (socket < 0 || static_cast<std::size_t>(socket) >= bySocket_.size()) return kNotFound;
  const int index = bySocket_[static_cast<std::size_t>(socket)];
  if (index == kNotFound || !Slot(index).inUse || Slot(index).socket != socket) return kNotFound;
  return index;
}

}  // namespace zelkord::irc
