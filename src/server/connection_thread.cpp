// Connection threads: accept, admission, the receive loop, clean-up.
#include "server/connection_thread.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "base/deadline.h"
#include "commands/charset.h"
#include "commands/connect_disconnect.h"
#include "commands/dispatch.h"
#include "irc/send.h"
#include "irc/split.h"
#include "net/output_queue.h"
#include "net/tcp.h"
#include "server/server.h"
#include "text/encoding.h"

namespace zelkord::server {
namespace {

using irc::ConnState;
using Clock = std::chrono::steady_clock;

// The most lines one taking of the protocol lock handles.
constexpr int kRunSteps = 16;

// Fake lag: burst lines pass at once, later ones at rate a second, as a
// cell rate: each line handled moves the theoretical arrival time on by
// one interval, and a line may be handled once that time is no more than
// burst - 1 intervals ahead of now.
class FloodGate {
 public:
  FloodGate(int burst, int rate)
      : interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / rate),
        ahead_(interval_ * (burst - 1)) {}

  // When the next line may be handled.
  [[nodiscard]] Clock::time_point OpensAt() const { return arrival_ - ahead_; }
  // One line is handled now.
  void Pass(Clock::time_point now) { arrival_ = std::max(arrival_, now) + interval_; }

 private:
  Clock::duration interval_;
  Clock::duration ahead_;
  Clock::time_point arrival_{};
};

// What of a connection outlives the thread serving it while it is parked.
struct Session {
  int slot = irc::kNotFound;
  std::shared_ptr<net::OutputQueue> output;
  ConnState state = ConnState::Closing;
  std::optional<FloodGate> gate;  // only for a flood-limited client
};

enum class Served { Ended, Idle };

// Receives and handles lines until the state says to end or the receive
// fails (Ended), or, when mayIdle, until a registered client has been
// silent for the socket's receive timeout with nothing of it held here
// (Idle): no partial line, no line waiting for the flood gate. The
// connection's own thread.
//
// Flood control holds a registered client's lines back once its burst is
// spent: the thread goes on receiving them (so it sees how many wait) and
// handles them as the gate opens. Lines still waiting when the client
// closes are handled at once: it cannot add to them.
Served Serve(irc::ProtocolState& protocol, Session& session, bool mayIdle) {
  const int slotIndex = session.slot;
  ConnState& state = session.state;
  std::optional<FloodGate>& gate = session.gate;
  std::array<char, kReceiveLimit> received;
  net::LineReader reader(session.output->Socket(), received);
  std::string raw;
  std::string line;
  irc::SplitResult parts;
  irc::SplitResult rawParts;
  irc::ParamFields fields;
  // The slot array never moves; its atomics (alive, the encoding) are read
  // and written here without the lock, everything else of the slot only by
  // the commands, under it.
  irc::UserSlot* self = nullptr;
  {
    irc::ProtocolLock lock(protocol);
    self = &protocol.users->Slot(slotIndex);
  }
  const std::size_t waitingMax =
      static_cast<std::size_t>(kFloodWaitingBursts) * static_cast<std::size_t>(protocol.floodBurst);
  // Received lines the gate holds back, oldest first. A list, because an
  // empty deque already holds half a kilobyte for every idle connection.
  std::list<std::string> waiting;
  bool closed = false;  // the client has closed; only the waiting lines are left
  // A connection that has not registered in time ends like one the liveness
  // sweep drops: closed, without a word.
  const int registerSeconds = protocol.registerTimeoutSeconds;
  const Clock::time_point registerBy = Clock::now() + std::chrono::seconds(registerSeconds);
  // Lines already received are handled under one taking of the lock; it is
  // let go before the socket is read again, and after kRunSteps lines so
  // that others are not kept waiting long.
  irc::ProtocolRun run(protocol);
  while (state != ConnState::Closing) {
    if (run.Steps() > 0 && (run.Steps() >= kRunSteps || !reader.HasLine())) run.End();
    if (!waiting.empty() && (closed || gate->OpensAt() <= Clock::now())) {
      raw = std::move(waiting.front());
      waiting.pop_front();
    } else {
      if (closed) break;
      int timeoutMs = -1;
      if (registerSeconds > 0 && state != ConnState::Serving) {
        timeoutMs = base::MillisecondsUntil(registerBy);
        if (timeoutMs == 0) break;
      }
      if (!waiting.empty()) {
        const int gateMs = base::MillisecondsUntil(gate->OpensAt());
        if (timeoutMs < 0 || gateMs < timeoutMs) timeoutMs = gateMs;
      }
      const int got = reader.ReceiveLine(raw, kReceiveLimit, timeoutMs);
      // A lone line is sent on from here at once; one of a burst leaves the
      // sending to the writer, which then carries several lines per send.
      net::AllowInlineSends(!reader.HasBuffered());
      if (got == net::LineReader::kTimedOut) {
        if (mayIdle && state == ConnState::Serving && waiting.empty() && !reader.HasBuffered()) {
          return Served::Idle;
        }
        continue;
      }
      if (got < 0) {
        closed = true;
        continue;
      }
      self->alive = true;
      if (gate && state == ConnState::Serving && !raw.empty() &&
          (!waiting.empty() || gate->OpensAt() > Clock::now())) {
        waiting.push_back(std::move(raw));
        if (waiting.size() > waitingMax) {
          irc::ProtocolLock lock(protocol);
          irc::SendLine(protocol, session.output->Socket(), "ERROR :Closing Link: Excess Flood");
          break;
        }
        continue;
      }
    }
    if (gate && state == ConnState::Serving && !raw.empty()) gate->Pass(Clock::now());
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
    // An empty line (or one that is empty up to a NUL byte) only proves the
    // client is alive.
    if (raw.empty() || irc::SplitLine(line, parts) != 0) continue;
    if (run.Steps() > 0 || reader.HasLine()) run.Step();
    state = commands::Dispatch(protocol, slotIndex, state, parts, utf8Params, fields);
  }
  return Served::Ended;
}

bool Continue(Server& server, Session& session);

// Hands an idle session to the parking lot; the thread that takes it up
// again goes on from where this one stopped. false when the lot cannot take
// it.
bool Park(Server& server, const Session& session) {
  return server.Park({session.output->Socket()}, [&server, session] {
    Session resumed = session;
    (void)Continue(server, resumed);
    net::FlushPendingOutput();
  });
}

// Serves an admitted session until it ends, then cleans up after it, or
// until it is parked: true then, and it is no longer this thread's.
bool Continue(Server& server, Session& session) {
  const bool mayIdle = server.parkAfter.count() > 0 && server.parking.Ready();
  while (Serve(server.protocol, session, mayIdle) == Served::Idle) {
    // What this thread queued is handed over before another may run it.
    net::FlushPendingOutput();
    if (Park(server, session)) return true;
  }
  commands::DisconnectCleanup(server.protocol, session.slot);
  session.output->DrainAndClose();
  return false;
}

}  // namespace

void ServeConnection(Server& server, int socket, const std::string& address, int port,
                     const std::string& fingerprint) {
  irc::ProtocolState& protocol = server.protocol;
  Session session;
  session.output = std::make_shared<net::OutputQueue>(socket, server.writer);
  session.slot = commands::AdmitConnection(protocol, session.output, address, port, session.state,
                                           fingerprint);
  if (session.slot == irc::kNotFound) {
    session.output->DrainAndClose(0);  // refused: nothing was queued, nothing is sent
    return;
  }
  bool limited = false;
  {
    irc::ProtocolLock lock(protocol);
    limited = protocol.floodBurst > 0 && !protocol.users->Slot(session.slot).operatorClient;
  }
  if (limited) session.gate.emplace(protocol.floodBurst, protocol.floodRate);
  // A silent client's receive gives up after the idle time, so its thread
  // can park it without an extra system call on every receive.
  if (server.parkAfter.count() > 0 && server.parking.Ready()) {
    (void)net::TcpSetReceiveTimeout(socket, static_cast<int>(server.parkAfter.count()));
  }
  (void)Continue(server, session);
}

void RunConnectionThread(Server& server) {
  for (;;) {
    std::string address;
    // Out of descriptors is passing: the accept waits and retries instead
    // of ending the chain.
    const int socket = server.AcceptForChain(&Server::IrcListener, address);
    if (socket == net::kNoSocket) break;  // the listener is closed: the chain ends here
    // Successor first, so the listener always has a thread waiting. If no
    // thread can be started now, this one goes back to accepting afterwards.
    const bool hasSuccessor = server.StartConnectionThread();
    ServeConnection(server, socket, address, net::TcpPeerPort(socket), {});
    if (hasSuccessor) break;
  }
  net::FlushPendingOutput();
  server.ThreadEnded(server.liveConnectionThreads);
}

}  // namespace zelkord::server
