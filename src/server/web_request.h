// A status-page request, served on the thread that accepted it.
#pragma once

#include <string>

namespace zelkord::server {

class Server;

// Serves one request (or closes it unread beyond the cap on requests
// served at once), then closes socket. The accepting thread.
void ServeWebConnection(Server& server, int socket, const std::string& address);

}  // namespace zelkord::server
