// The connection thread: accepts one connection, starts its successor,
// admits the connection (ban check, then a slot), then receives, converts,
// splits and hands each line to the step its state calls for, until the
// state says to end or the connection fails; then it cleans up after its
// client and drains what was queued for it.
#pragma once

#include <cstddef>

namespace zelkord::server {

class Server;

inline constexpr std::size_t kReceiveLimit = 512;  // a line with its CR LF
// The largest Program.FloodBurst: a flooder holds up to four times it in
// received lines.
inline constexpr int kFloodBurstMax = 10000;
// A flood-limited client with more than this many times its burst waiting
// is disconnected.
inline constexpr int kFloodWaitingBursts = 4;

// The body of one connection thread. Counted in the server's live
// connection threads by whoever started it; uncounts itself as its very
// last step.
void RunConnectionThread(Server& server);

}  // namespace zelkord::server
