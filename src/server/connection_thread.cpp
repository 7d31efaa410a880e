// Connection threads: accept, admission, the receive loop, clean-up.
#include "server/connection_thread.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "commands/charset.h"
#include "commands/connect_disconnect.h"
#include "commands/dispatch.h"
#include "commands/registration.h"
#include "irc/split.h"
#include "net/tcp.h"
#include "server/server.h"
#include "text/encoding.h"

namespace zelkord::server {
namespace {

using irc::ConnState;

// Receives and handles lines until the state says to end or the receive
// fails. The connection's own thread.
void Serve(irc::ProtocolState& protocol, int slotIndex, net::OutputQueue& output, ConnState state) {
  net::LineReader reader(output.Socket(), kReceiveLimit);
  std::string raw;
  std::string line;
  irc::SplitResult parts;
  irc::SplitResult rawParts;
  // The slot array never moves; its atomics (alive, the encoding) are read
  // and written here without the lock, everything else of the slot only by
  // the steps, under it.
  irc::UserSlot* self = nullptr;
  {
    irc::ProtocolLock lock(protocol);
    self = &protocol.users->Slot(slotIndex);
  }
  // A connection that has not registered in time ends like one the liveness
  // sweep drops: closed, without a word.
  using Clock = std::chrono::steady_clock;
  const int registerSeconds = protocol.registerTimeoutSeconds;
  const Clock::time_point registerBy = Clock::now() + std::chrono::seconds(registerSeconds);
  while (state != ConnState::Closing) {
    int timeoutMs = -1;
    if (registerSeconds > 0 && state != ConnState::Serving) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(registerBy - Clock::now()).count();
      if (left <= 0) break;
      timeoutMs = static_cast<int>(left);
    }
    if (reader.ReceiveLine(raw, kReceiveLimit, timeoutMs) < 0) break;
    std::string_view utf8Params;
    if (!raw.empty()) {
      if (!self->encodingPinned) {
        const std::optional<text::Encoding> found = text::DetectEncoding(raw);
        if (found && *found != self->encoding) {
          irc::ProtocolLock lock(protocol);
          commands::ChangeEncoding(protocol, slotIndex, *found, false, "detected");
        }
      }
      const text::Encoding encoding = self->encoding;
      text::DecodeLine(encoding, raw, line);
      protocol.commLog->LogTraffic(slotIndex, irc::Traffic::Received, line);
      // What a UTF-8 client typed, for the relays that pass it on unchanged.
      if (encoding == text::Encoding::Utf8 && text::IsStrictUtf8(raw) &&
          irc::SplitLine(raw, rawParts) == 0) {
        utf8Params = rawParts.params;
      }
    }
    self->alive = true;
    // An empty line (or one that is empty up to a NUL byte) only proves the
    // client is alive.
    if (raw.empty() || irc::SplitLine(line, parts) != 0) continue;
    switch (state) {
      case ConnState::AwaitingPass:
        state = commands::PasswordStep(protocol, slotIndex, parts, ConnState::AwaitingLogin,
                                       ConnState::Closing);
        break;
      case ConnState::AwaitingLogin:
        state = commands::RegistrationStep(protocol, slotIndex, parts, ConnState::Serving);
        break;
      case ConnState::Serving:
        state = commands::Dispatch(protocol, slotIndex, parts, utf8Params, ConnState::Serving,
                                   ConnState::Closing);
        break;
      case ConnState::Closing:
        break;
    }
  }
}

}  // namespace

void RunConnectionThread(Server& server) {
  irc::ProtocolState& protocol = server.protocol;
  for (;;) {
    std::string address;
    // Out of descriptors is passing: the accept waits and retries instead
    // of ending the chain, and says so once per spell.
    const int socket = net::TcpAcceptRetrying(
        [&server] { return server.IrcListener(); }, address,
        [&protocol](int error) {
          protocol.desk.ShowWarning(error != 0
                                        ? "cannot accept IRC connections (" +
                                              std::string(std::strerror(error)) + "); retrying"
                                        : "accepting IRC connections again");
        });
    if (socket == net::kNoSocket) break;  // the listener is closed: the chain ends here
    // Successor first, so the listener always has a thread waiting. If no
    // thread can be started now, this one goes back to accepting afterwards.
    const bool hasSuccessor = server.StartConnectionThread();
    auto output = std::make_shared<net::OutputQueue>(socket, server.writer);
    ConnState first = ConnState::Closing;
    const int slot =
        commands::AdmitConnection(protocol, output, address, net::TcpPeerPort(socket), first);
    if (slot != irc::kNotFound) {
      Serve(protocol, slot, *output, first);
      commands::DisconnectCleanup(protocol, slot);
      output->DrainAndClose();
    } else {
      output->DrainAndClose(0);  // refused: nothing was queued, nothing is sent
    }
    output.reset();
    if (hasSuccessor) break;
  }
  net::FlushPendingOutput();
  server.ThreadEnded(server.liveConnectionThreads);
}

}  // namespace zelkord::server
