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

// The body of one connection thread. Counted in the server's live
// connection threads by whoever started it; uncounts itself as its very
// last step.
void RunConnectionThread(Server& server);

}  // namespace zelkord::server
