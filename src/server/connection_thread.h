// The connection thread, once the IRC listener's chain has accepted a
// connection: admits it (ban check, then a slot), then receives, gates,
// converts and splits each line and hands it to the command dispatcher,
// until the state says to end or the connection fails; then it cleans up
// after its client and drains what was queued for it. A registered client
// silent for the server's parkAfter is handed to the parking lot instead,
// and the thread ends; its next line (or its socket's shut-down) starts a
// thread that goes on serving it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace zelkord::net {
class TlsStream;
}

namespace zelkord::server {

class Server;

inline constexpr std::size_t kReceiveLimit = 512;  // a line with its CR LF
// A line may also start with a tag part of up to this many bytes, its '@'
// and space included.
inline constexpr std::size_t kReceiveTagLimit = 8191;
// A flood-limited client with more than this many times its burst waiting
// is disconnected.
inline constexpr int kFloodWaitingBursts = 4;

// Admits an accepted connection and serves it; when it ends, cleans up
// after it and closes the socket, or parks it when it falls silent. port
// is the peer's (-1 when not known); tls the session the socket carries,
// if any, whose client certificate's fingerprint the client is admitted
// with. The calling connection thread.
void ServeConnection(Server& server, int socket, const std::string& address, int port,
                     std::unique_ptr<net::TlsStream> tls = nullptr);

}  // namespace zelkord::server
