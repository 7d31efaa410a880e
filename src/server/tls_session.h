// A TLS session: the thread that accepted it completes the handshake and
// then serves the connection itself, exactly like a plain client's, with
// the session between the socket and the lines.
#pragma once

#include <string>

namespace zelkord::server {

class Server;

// Refuses a banned address, completes the handshake and serves the
// connection until it ends or is parked; owns socket. The accepting thread.
void ServeTlsConnection(Server& server, int socket, const std::string& address);

}  // namespace zelkord::server
