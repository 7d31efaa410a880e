// Admission and disconnect clean-up.
#include "commands/connect_disconnect.h"

#include <string>
#include <vector>

#include "base/clock.h"
#include "base/jp_text.h"
#include "commands/handlers.h"
#include "irc/send.h"

namespace zelkord::commands {

int AdmitConnection(irc::ProtocolState& protocol, std::shared_ptr<net::OutputQueue> output,
                    std::string_view address, int port, irc::ConnState& first,
                    std::string_view fingerprint) {
  irc::ProtocolLock lock(protocol);
  // Refused in silence: no reply, no log line, no slot.
  if (protocol.shuttingDown || protocol.banList.IsBanned(address)) return irc::kNotFound;
  const bool isOperator =
      port >= 0 && port == protocol.operatorPort.load() && address == "127.0.0.1";
  // One host may not hold more than its share; the operator client is not counted.
  if (!isOperator && protocol.addressMax > 0 &&
      protocol.users->AddressCount(address) >= protocol.addressMax) {
    return irc::kNotFound;
  }
  const int slot = protocol.users->ClaimSlot(std::move(output), address, isOperator);
  if (slot == irc::kNotFound) return irc::kNotFound;
  irc::UserSlot& user = protocol.users->Slot(slot);
  user.encoding = isOperator ? text::Encoding::Iso2022Jp : protocol.defaultEncoding;
  user.encodingPinned = isOperator;
  user.certificateFingerprint = fingerprint;
  protocol.commLog->OpenLogPage(slot, address);
  first = protocol.settings.serverPassWord.empty() ? irc::ConnState::AwaitingLogin
                                                   : irc::ConnState::AwaitingPass;
  return slot;
}

void DisconnectCleanup(irc::ProtocolState& protocol, int slotIndex) {
  irc::ProtocolLock lock(protocol);
  irc::UserTable& users = *protocol.users;
  irc::ChannelTable& channels = *protocol.channels;
  irc::UserSlot& slot = users.Slot(slotIndex);
  if (slot.Registered()) {
    // A copy: leaving the channels below shrinks the slot's own list.
    const std::vector<irc::JoinedChannel> joined = slot.channels;
    std::vector<int> members;
    std::string relay;
    for (const irc::JoinedChannel& channel : joined) {
      irc::FormatRelay(relay, irc::kRelayPart,
                       {slot.Nick(), slot.userName, slot.address, channel.name});
      channels.MemberSlots(channels.FindChannel(channel.name), users, members);
      const irc::MessageStamp stamp = irc::NewStamp();
      irc::SendToSlots(protocol, members, relay, slotIndex, {}, {&stamp});
      RecordHistory(protocol, slot, stamp, "PART", channel.name, {}, {});
    }
    for (const irc::JoinedChannel& channel : joined) {
      std::string line = base::ConversationStamp();
      line.append("*** ").append(slot.Nick()).append(base::jp::kDisconnected);
      channels.AppendLine(channels.FindChannel(channel.name), line);
      (void)channels.RemoveMember(slot, channel.name);  // cannot fail: it is a member
    }
    RememberNick(protocol, slot);
    users.UnregisterUser(slotIndex);
    protocol.desk.UserListChanged("-", slot.Nick());
  }
  protocol.commLog->CloseLogPage(slotIndex);
  users.ReleaseSlot(slotIndex);
}

}  // namespace zelkord::commands
