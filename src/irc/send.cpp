// The send side: logging, conversion and queueing of every line to a client.
#include "irc/send.h"

#include <sys/socket.h>

#include <array>
#include <string>

#include "net/tcp.h"
#include "text/encoding.h"
#include "text/wire_text.h"

namespace zelkord::irc {

void SendLine(ProtocolState& protocol, int socket, std::string_view text,
              std::string_view utf8Text) {
  std::string wire;
  const int slot = protocol.users->FindSlotBySocket(socket);
  if (slot == kNotFound) {
    // Not a connection of ours: one non-blocking attempt, failures ignored.
    text::ToWireText(text, wire);
    wire.append("\r\n");
    (void)send(socket, wire.data(), wire.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return;
  }
  protocol.commLog->LogTraffic(slot, irc::Traffic::Sent, text);
  UserSlot& user = protocol.users->Slot(slot);
  const text::Encoding encoding = user.encoding;
  if (encoding == text::Encoding::Utf8 && !utf8Text.empty()) {
    wire.assign(utf8Text);
  } else {
    text::EncodeLine(encoding, text, wire);
  }
  // A false result means the peer is being dropped; its thread cleans up.
  (void)user.output->Enqueue(wire);
}

void SendToSlots(ProtocolState& protocol, const std::vector<int>& members, std::string_view text,
                 int exceptSlot, std::string_view utf8Text) {
  std::vector<int> slots;
  slots.reserve(members.size());
  for (int slot : members) {
    if (slot == exceptSlot) continue;
    const UserSlot& user = protocol.users->Slot(slot);
    if (!user.inUse || !user.output) continue;  // not a live connection of ours
    slots.push_back(slot);
    // Its queue is asked for now and appended to last, after the log.
    user.output->PrefetchForAppend();
  }
  protocol.commLog->LogSent(slots, text);
  // Converted once per encoding in use, not once per recipient.
  std::array<std::string, text::kEncodingCount> wire;
  std::array<bool, text::kEncodingCount> made{};
  for (int slot : slots) {
    UserSlot& user = protocol.users->Slot(slot);
    const text::Encoding encoding = user.encoding;
    const auto index = static_cast<std::size_t>(encoding);
    if (!made[index]) {
      if (encoding == text::Encoding::Utf8 && !utf8Text.empty()) {
        wire[index].assign(utf8Text);
      } else {
        text::EncodeLine(encoding, text, wire[index]);
      }
      made[index] = true;
    }
    (void)user.output->Enqueue(wire[index]);  // overflow drops that peer
  }
}

std::string VerbatimRelay(std::string_view relay, std::string_view sjisText,
                          std::string_view utf8Text, std::string_view tail) {
  // A line this long may have lost its end; then every client gets the
  // converted form of what is left.
  if (utf8Text.empty() || relay.size() + 1 >= kRelayMaxBytes) return {};
  const std::size_t textEnd = relay.size() - tail.size();
  if (relay.size() < tail.size() || textEnd < sjisText.size() || relay.substr(textEnd) != tail ||
      relay.substr(textEnd - sjisText.size(), sjisText.size()) != sjisText) {
    return {};
  }
  std::string head;
  std::string end;
  text::EncodeLine(text::Encoding::Utf8, relay.substr(0, textEnd - sjisText.size()), head);
  text::EncodeLine(text::Encoding::Utf8, tail, end);
  return head.append(utf8Text).append(end);
}

void SendNumeric(ProtocolState& protocol, int slot, int code,
                 std::initializer_list<FormatArg> values) {
  const UserSlot& user = protocol.users->Slot(slot);
  std::string text;
  FormatNumeric(text, protocol.settings.serverName, code, user.Nick(), values);
  SendLine(protocol, user.socket, text);
}

void SendReply(ProtocolState& protocol, int slot, int code,
               std::initializer_list<FormatArg> values) {
  const UserSlot& user = protocol.users->Slot(slot);
  std::string text;
  FormatNumeric(text, protocol.settings.serverName, code,
                user.Registered() ? std::string_view(user.Nick()) : std::string_view("*"), values);
  SendLine(protocol, user.socket, text);
}

void SendClientLine(int socket, std::string_view text) {
  // A failed send is noticed by the operator client's reader, if at all.
  (void)net::TcpSendLine(socket, text::ToWireText(text));
}

}  // namespace zelkord::irc
