// Connection threads, admission, disconnect clean-up and the send side.
#include "irc/srvunit.h"

#include <sys/socket.h>

#include "frame/clock.h"
#include "frame/tcpunit.h"
#include "irc/dispatch.h"
#include "irc/jp_text.h"
#include "irc/registration.h"
#include "irc/split.h"
#include "irc/wire_text.h"

namespace zelkord::irc {
namespace {

// Receives and handles lines until the state says to end or the receive
// fails. The connection's own thread.
void Serve(frame::Server& server, int slotIndex, Connection& connection, ConnState state) {
  frame::LineReader reader(connection.Socket(), kReceiveLimit);
  std::string raw;
  std::string line;
  SplitResult parts;
  // The slot array never moves; alive is atomic and written here without
  // the lock, everything else of the slot only by the steps, under it.
  std::atomic<bool>* alive = nullptr;
  {
    frame::MutexLock lock(server.connectionLock);
    alive = &server.users->Slot(slotIndex).alive;
  }
  while (state != ConnState::Closing) {
    if (reader.ReceiveLine(raw, kReceiveLimit) < 0) break;
    if (!raw.empty()) {
      FromWireText(raw, line);
      server.commLog->LogTraffic(slotIndex, window::Traffic::Received, line);
    }
    *alive = true;
    // An empty line (or one that is empty up to a NUL byte) only proves the
    // client is alive.
    if (raw.empty() || SplitLine(line, parts) != 0) continue;
    switch (state) {
      case ConnState::AwaitingPass:
        state =
            PasswordStep(server, slotIndex, parts, ConnState::AwaitingLogin, ConnState::Closing);
        break;
      case ConnState::AwaitingLogin:
        state = RegistrationStep(server, slotIndex, parts, ConnState::Serving);
        break;
      case ConnState::Serving:
        state = Dispatch(server, slotIndex, parts, ConnState::Serving, ConnState::Closing);
        break;
      case ConnState::Closing:
        break;
    }
  }
}

}  // namespace

void RunConnectionThread(frame::Server& server) {
  for (;;) {
    std::string address;
    const int socket = frame::TcpAccept(server.IrcListener(), address);
    if (socket == frame::kNoSocket) break;  // the listener is closed: the chain ends here
    // Successor first, so the listener always has a thread waiting. If no
    // thread can be started now, this one goes back to accepting afterwards.
    const bool hasSuccessor = server.StartConnectionThread();
    auto connection = std::make_shared<Connection>(socket, server.writer);
    ConnState first = ConnState::Closing;
    const int slot = AdmitConnection(server, connection, address, first);
    if (slot != kNotFound) {
      Serve(server, slot, *connection, first);
      DisconnectCleanup(server, slot);
      connection->DrainAndClose();
    } else {
      connection->DrainAndClose(0);  // refused: nothing was queued, nothing is sent
    }
    connection.reset();
    if (hasSuccessor) break;
  }
  FlushPendingOutput();
  server.ThreadEnded(server.liveConnectionThreads);
}

int AdmitConnection(frame::Server& server, std::shared_ptr<Connection> connection,
                    std::string_view address, ConnState& first) {
  frame::ProtocolLock lock(server);
  // Refused in silence: no reply, no log line, no slot.
  if (server.shuttingDown || server.banList.IsBanned(address)) return kNotFound;
  const int slot = server.users->ClaimSlot(std::move(connection), address);
  if (slot == kNotFound) return kNotFound;
  server.commLog->OpenLogPage(slot, address);
  first =
      server.settings.serverPassWord.empty() ? ConnState::AwaitingLogin : ConnState::AwaitingPass;
  return slot;
}

void DisconnectCleanup(frame::Server& server, int slotIndex) {
  frame::ProtocolLock lock(server);
  UserTable& users = *server.users;
  channels::ChannelTable& channels = *server.channels;
  UserSlot& slot = users.Slot(slotIndex);
  if (slot.registered) {
    // A copy: leaving the channels below shrinks the slot's own list.
    const std::vector<JoinedChannel> joined = slot.channels;
    std::vector<int> sockets;
    std::string relay;
    for (const JoinedChannel& channel : joined) {
      FormatRelay(relay, kRelayPart, {slot.Nick(), slot.userName, slot.address, channel.name});
      channels.MemberSockets(channels.FindChannel(channel.name), users, sockets);
      SendToSockets(server, sockets, relay, slot.socket);
    }
    for (const JoinedChannel& channel : joined) {
      std::string line = frame::ConversationStamp();
      line.append("*** ").append(slot.Nick()).append(jp::kDisconnected);
      channels.AppendLine(channels.FindChannel(channel.name), line);
      (void)channels.RemoveMember(slot, channel.name);  // cannot fail: it is a member
    }
    users.UnregisterUser(slotIndex);
    server.desk.UserListChanged("-", slot.Nick());
  }
  server.commLog->CloseLogPage(slotIndex);
  users.ReleaseSlot(slotIndex);
}

void SendLine(frame::Server& server, int socket, std::string_view text) {
  std::string wire;
  ToWireText(text, wire);
  const int slot = server.users->FindSlotBySocket(socket);
  if (slot == kNotFound) {
    // Not a connection of ours: one non-blocking attempt, failures ignored.
    wire.append("\r\n");
    (void)send(socket, wire.data(), wire.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return;
  }
  server.commLog->LogTraffic(slot, window::Traffic::Sent, text);
  // A false result means the peer is being dropped; its thread cleans up.
  (void)server.users->Slot(slot).connection->Enqueue(wire);
}

void SendToSockets(frame::Server& server, const std::vector<int>& sockets, std::string_view text,
                   int exceptSocket) {
  std::string wire;
  ToWireText(text, wire);
  std::vector<int> slots;
  slots.reserve(sockets.size());
  for (int socket : sockets) {
    if (socket == exceptSocket) continue;
    const int slot = server.users->FindSlotBySocket(socket);
    if (slot != kNotFound) slots.push_back(slot);  // members' sockets belong to live slots
  }
  server.commLog->LogSent(slots, text);
  for (int slot : slots) {
    (void)server.users->Slot(slot).connection->Enqueue(wire);  // overflow drops that peer
  }
}

void SendNumeric(frame::Server& server, int slot, int code,
                 std::initializer_list<FormatArg> values) {
  const UserSlot& user = server.users->Slot(slot);
  std::string text;
  FormatNumeric(text, server.settings.serverName, code, user.Nick(), values);
  SendLine(server, user.socket, text);
}

void SendClientLine(int socket, std::string_view text) {
  // A failed send is noticed by the operator client's reader, if at all.
  (void)frame::TcpSendLine(socket, ToWireText(text));
}

}  // namespace zelkord::irc
