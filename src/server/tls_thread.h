// The TLS threads: a chain on the TLS listener like the IRC connections'.
// Each accepts one connection, starts its successor, completes the
// handshake and then relays the session to a plain socket pair, whose
// other end is served by a connection thread exactly like a plain client.
#pragma once

namespace zelkord::server {

class Server;

// The body of one TLS thread. Counted in the server's live connection
// threads by whoever started it; uncounts itself as its last step.
void RunTlsThread(Server& server);

}  // namespace zelkord::server
