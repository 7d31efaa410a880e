// Connection threads: admission, the receive loop, clean-up.
#include "server/connection_thread.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "base/deadline.h"
#include "base/sjis.h"
#include "commands/charset.h"
#include "commands/connect_disconnect.h"
#include "commands/dispatch.h"
#include "irc/message_tags.h"
#include "irc/send.h"
#include "irc/split.h"
#include "net/output_queue.h"
#include "net/tcp.h"
#include "net/tls.h"
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

// One Serve call: the connection's line buffers, on the thread's stack,
// and where its loop stands. Each line goes through Receive (and the flood
// Gate within it), Decode and Dispatch. The connection's own thread.
class LineLoop {
 public:
  LineLoop(irc::ProtocolState& protocol, Session& session)
      : protocol_(protocol),
        session_(session),
        reader_(MakeReader(session.output, received_)),
        waitingMax_(static_cast<std::size_t>(kFloodWaitingBursts) *
                    static_cast<std::size_t>(protocol.floodBurst)),
        registerSeconds_(protocol.registerTimeoutSeconds),
        registerBy_(Clock::now() + std::chrono::seconds(registerSeconds_)),
        run_(protocol) {
    irc::ProtocolLock lock(protocol);
    self_ = &protocol.users->Slot(session.slot);
  }

  // See Serve.
  [[nodiscard]] Served Run(bool mayIdle) {
    while (session_.state != ConnState::Closing) {
      // Lines already received are handled under one taking of the lock;
      // it is let go before the socket is read again, and after kRunSteps
      // lines so that others are not kept waiting long.
      if (run_.Steps() > 0 && (run_.Steps() >= kRunSteps || !reader_.HasLine())) run_.End();
      switch (Receive(mayIdle)) {
        case Next::Line:
          break;
        case Next::Again:
          continue;
        case Next::Idle:
          return Served::Idle;
        case Next::End:
          return Served::Ended;
      }
      // An empty line (or one that is empty up to a NUL byte) only proves
      // the client is alive.
      if (raw_.empty()) continue;
      // The tags come off before the encoding is looked at: their values
      // are UTF-8 whatever the rest is.
      if (raw_[0] == '@') {
        std::string_view tagText;
        std::string_view rest;
        irc::SplitTagPart(raw_, tagText, rest);
        irc::ParseTags(tagText, tags_);
        raw_.erase(0, raw_.size() - rest.size());
        if (raw_.empty()) continue;
      } else {
        tags_.clear();
      }
      const std::string_view utf8Params = Decode();
      if (irc::SplitLine(line_, parts_) != 0) continue;
      Dispatch(utf8Params);
    }
    return Served::Ended;
  }

 private:
  enum class Next { Line, Again, Idle, End };

  // A reader of the connection's socket, or of the TLS session it carries,
  // whose own bytes go out through the connection's queue.
  static net::LineReader MakeReader(const std::shared_ptr<net::OutputQueue>& output,
                                    std::span<char> storage) {
    if (output->Tls() == nullptr) return net::LineReader(output->Socket(), storage);
    return net::LineReader(output->Socket(), storage, *output->Tls(), [&output = *output] {
      output.SendTlsOwnBytes();
      net::FlushPendingOutput();
    });
  }

  // The next line into raw_: the oldest waiting one once the gate opens
  // (or the client has closed), else one from the socket. Again when there
  // is none yet.
  [[nodiscard]] Next Receive(bool mayIdle) {
    if (!waiting_.empty() && (closed_ || session_.gate->OpensAt() <= Clock::now())) {
      raw_ = std::move(waiting_.front());
      waiting_.pop_front();
      session_.gate->Pass(Clock::now());
      return Next::Line;
    }
    if (closed_) return Next::End;
    int timeoutMs = -1;
    // A connection that has not registered in time ends like one the
    // liveness sweep drops: closed, without a word.
    if (registerSeconds_ > 0 && session_.state != ConnState::Serving) {
      timeoutMs = base::MillisecondsUntil(registerBy_);
      if (timeoutMs == 0) return Next::End;
    }
    if (!waiting_.empty()) {
      const int gateMs = base::MillisecondsUntil(session_.gate->OpensAt());
      if (timeoutMs < 0 || gateMs < timeoutMs) timeoutMs = gateMs;
    }
    const int got = reader_.ReceiveTaggedLine(raw_, kReceiveTagLimit, kReceiveLimit, timeoutMs);
    if (got == net::LineReader::kTagsTooLong) {
      self_->alive = true;
      irc::ProtocolLock lock(protocol_);
      irc::SendReply(protocol_, session_.slot, irc::kErrInputTooLong, {});
      return Next::Again;
    }
    // A lone line is sent on from here at once; one of a burst leaves the
    // sending to the writer, which then carries several lines per send.
    net::AllowInlineSends(!reader_.HasBuffered());
    if (got == net::LineReader::kTimedOut) {
      const bool idle = mayIdle && session_.state == ConnState::Serving && waiting_.empty() &&
                        !reader_.HasBuffered();
      return idle ? Next::Idle : Next::Again;
    }
    if (got < 0) {
      closed_ = true;
      return Next::Again;
    }
    self_->alive = true;
    protocol_.received.Add(irc::ReceivedCount::Lines);
    protocol_.received.Add(irc::ReceivedCount::Bytes, static_cast<std::uint64_t>(got) + 2);
    return Gate();
  }

  // Lets the line just received through (Line), or holds it back while the
  // gate is shut or earlier lines wait (Again); a client with too many
  // lines waiting gets one last line and is closed (End).
  [[nodiscard]] Next Gate() {
    std::optional<FloodGate>& gate = session_.gate;
    if (!gate || session_.state != ConnState::Serving || raw_.empty()) return Next::Line;
    const Clock::time_point now = Clock::now();
    if (waiting_.empty() && gate->OpensAt() <= now) {
      gate->Pass(now);
      return Next::Line;
    }
    waiting_.push_back(std::move(raw_));
    if (waiting_.size() <= waitingMax_) return Next::Again;
    irc::ProtocolLock lock(protocol_);
    irc::SendLine(protocol_, session_.output->Socket(),
                  irc::FormatRelay(irc::kRelayExcessFlood, {}));
    ++protocol_.counts.floodDisconnects;
    return Next::End;
  }

  // Converts raw_ into line_ from the connection's encoding, following the
  // evidence of another one first unless the client pinned it, and logs it.
  // Returns the parameter text as a UTF-8 client typed it, for the relays
  // that pass it on unchanged; empty for other clients.
  [[nodiscard]] std::string_view Decode() {
    if (!self_->encodingPinned) {
      const std::optional<text::Encoding> found = text::DetectEncoding(raw_);
      if (found && *found != self_->encoding) {
        irc::ProtocolLock lock(protocol_);
        commands::ChangeEncoding(protocol_, session_.slot, *found, false, "detected");
      }
    }
    const text::Encoding encoding = self_->encoding;
    text::DecodeLine(encoding, raw_, line_);
    protocol_.commLog->LogTraffic(session_.slot, irc::Traffic::Received, line_);
    if (encoding == text::Encoding::Utf8 && text::IsStrictUtf8(raw_) &&
        irc::SplitLine(raw_, rawParts_) == 0) {
      return rawParts_.params;
    }
    return {};
  }

  // Hands the line to its command under the protocol lock, which a line
  // with more already received behind it keeps for those too.
  void Dispatch(std::string_view utf8Params) {
    // Killed by an operator: nothing it sent after that is heard.
    if (self_->killed) {
      session_.state = ConnState::Closing;
      return;
    }
    if (commands::RunsUnlocked(parts_.command)) {
      run_.End();
    } else if (run_.Steps() > 0 || reader_.HasLine()) {
      run_.Step();
    }
    session_.state = commands::Dispatch(protocol_, session_.slot, session_.state, parts_,
                                        utf8Params, fields_, tags_);
  }

  irc::ProtocolState& protocol_;
  Session& session_;
  // A longer tagged line is read into the heap while it lasts.
  std::array<char, kReceiveLimit> received_;
  net::LineReader reader_;
  // The slot array never moves; its atomics (alive, the encoding) are read
  // and written here without the lock, everything else of the slot only by
  // the commands, under it.
  irc::UserSlot* self_ = nullptr;
  // Each line's buffers, kept from line to line so their storage is reused.
  std::string raw_;
  std::string line_;
  irc::SplitResult parts_;
  irc::SplitResult rawParts_;
  irc::ParamFields fields_;
  irc::Tags tags_;
  // Received lines the gate holds back, oldest first. A list, because an
  // empty deque already holds half a kilobyte for every idle connection.
  std::list<std::string> waiting_;
  const std::size_t waitingMax_;
  bool closed_ = false;  // the client has closed; only the waiting lines are left
  const int registerSeconds_;
  const Clock::time_point registerBy_;
  irc::ProtocolRun run_;
};

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
  LineLoop loop(protocol, session);
  return loop.Run(mayIdle);
}

bool Continue(Server& server, Session& session);

// A parked client may answer a ping this often without a thread; more
// often, its lines go through a thread and the flood gate like any others.
constexpr std::chrono::seconds kAbsorbEvery{1};

// Takes a parked client's answer to the liveness ping on the parking lot's
// thread, so that a sweep of many idle clients starts no thread for them:
// true when exactly one whole line was waiting and it was a PONG, which is
// then read, logged and counted as a sign of life. Never blocks.
bool AbsorbPong(irc::ProtocolState& protocol, int slot, irc::UserSlot& self, int socket,
                Clock::time_point& lastAbsorbed) {
  const Clock::time_point now = Clock::now();
  if (now - lastAbsorbed < kAbsorbEvery) return false;
  std::array<char, kReceiveLimit> peeked;
  const ssize_t got = recv(socket, peeked.data(), peeked.size(), MSG_PEEK | MSG_DONTWAIT);
  if (got <= 0) return false;
  std::string_view line(peeked.data(), static_cast<std::size_t>(got));
  if (line.find('\n') != line.size() - 1) return false;
  line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  // A tagged line may be labeled, and so may want an answer.
  irc::SplitResult parts;
  if (line.empty() || line.front() == '@' || irc::SplitLine(line, parts) != 0 ||
      !base::EqualsFolded(parts.command, "PONG")) {
    return false;
  }
  if (recv(socket, peeked.data(), static_cast<std::size_t>(got), MSG_DONTWAIT) != got) {
    return false;
  }
  lastAbsorbed = now;
  self.alive = true;
  std::string decoded;
  text::DecodeLine(self.encoding, line, decoded);
  protocol.commLog->LogTraffic(slot, irc::Traffic::Received, decoded);
  return true;
}

// Hands an idle session to the parking lot; the thread that takes it up
// again goes on from where this one stopped. false when the lot cannot take
// it.
bool Park(Server& server, const Session& session) {
  irc::ProtocolState& protocol = server.protocol;
  irc::UserSlot* self = nullptr;
  {
    irc::ProtocolLock lock(protocol);
    self = &protocol.users->Slot(session.slot);
  }
  const int socket = session.output->Socket();
  // A TLS client's socket carries records, which only its thread opens:
  // its answer wakes it like any other line.
  std::function<bool()> absorb;
  if (session.output->Tls() == nullptr) {
    absorb = [&protocol, slot = session.slot, self, socket, last = Clock::time_point{}]() mutable {
      return AbsorbPong(protocol, slot, *self, socket, last);
    };
  }
  return server.Park(
      {socket},
      [&server, session] {
        Session resumed = session;
        (void)Continue(server, resumed);
        net::FlushPendingOutput();
      },
      std::move(absorb));
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
                     std::unique_ptr<net::TlsStream> tls) {
  irc::ProtocolState& protocol = server.protocol;
  Session session;
  const bool overTls = tls != nullptr;
  const std::string fingerprint = overTls ? tls->Fingerprint() : std::string();
  session.output = std::make_shared<net::OutputQueue>(socket, server.writer, std::move(tls));
  session.slot = commands::AdmitConnection(protocol, session.output, address, port, session.state,
                                           fingerprint);
  if (session.slot == irc::kNotFound) {
    session.output->DrainAndClose(0);  // refused: nothing was queued, nothing is sent
    return;
  }
  bool limited = false;
  {
    irc::ProtocolLock lock(protocol);
    irc::UserSlot& slot = protocol.users->Slot(session.slot);
    slot.tls = overTls;
    limited = protocol.floodBurst > 0 && !slot.operatorClient;
  }
  if (limited) session.gate.emplace(protocol.floodBurst, protocol.floodRate);
  // A silent client's receive gives up after the idle time, so its thread
  // can park it without an extra system call on every receive.
  if (server.parkAfter.count() > 0 && server.parking.Ready()) {
    (void)net::TcpSetReceiveTimeout(socket, static_cast<int>(server.parkAfter.count()));
  }
  (void)Continue(server, session);
}

}  // namespace zelkord::server
