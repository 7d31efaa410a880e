// A TLS session: the thread that accepted it completes the handshake and
// then relays the session to a plain socket pair, whose other end is served
// by a connection thread exactly like a plain client.
#pragma once

#include <string>

namespace zelkord::server {

class Server;

// Refuses a banned address, completes the handshake and relays the session
// until it ends or is parked; owns socket. The accepting thread.
void ServeTlsConnection(Server& server, int socket, const std::string& address);

}  // namespace zelkord::server
