// The send side: logging, conversion and queueing of every line to a client.
#include "irc/send.h"

#include <sys/socket.h>

#include <string>

#include "net/tcp.h"
#include "text/wire_text.h"

namespace zelkord::irc {

void SendLine(ProtocolState& protocol, int socket, std::string_view text) {
  std::string wire;
  text::ToWireText(text, wire);
  const int slot = protocol.users->FindSlotBySocket(socket);
  if (slot == kNotFound) {
    // Not a connection of ours: one non-blocking attempt, failures ignored.
    wire.append("\r\n");
    (void)send(socket, wire.data(), wire.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return;
  }
  protocol.commLog->LogTraffic(slot, irc::Traffic::Sent, text);
  // A false result means the peer is being dropped; its thread cleans up.
  (void)protocol.users->Slot(slot).output->Enqueue(wire);
}

void SendToSockets(ProtocolState& protocol, const std::vector<int>& sockets, std::string_view text,
                   int exceptSocket) {
  std::string wire;
  text::ToWireText(text, wire);
  std::vector<int> slots;
  slots.reserve(sockets.size());
  for (int socket : sockets) {
    if (socket == exceptSocket) continue;
    const int slot = protocol.users->FindSlotBySocket(socket);
    if (slot != kNotFound) slots.push_back(slot);  // members' sockets belong to live slots
  }
  protocol.commLog->LogSent(slots, text);
  for (int slot : slots) {
    (void)protocol.users->Slot(slot).output->Enqueue(wire);  // overflow drops that peer
  }
}

void SendNumeric(ProtocolState& protocol, int slot, int code,
                 std::initializer_list<FormatArg> values) {
  const UserSlot& user = protocol.users->Slot(slot);
  std::string text;
  FormatNumeric(text, protocol.settings.serverName, code, user.Nick(), values);
  SendLine(protocol, user.socket, text);
}

void SendClientLine(int socket, std::string_view text) {
  // A failed send is noticed by the operator client's reader, if at all.
  (void)net::TcpSendLine(socket, text::ToWireText(text));
}

}  // namespace zelkord::irc
