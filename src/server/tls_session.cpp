// A TLS session: the ban check, the handshake, then the relay.
#include "server/tls_session.h"

#include <sys/socket.h>

#include <memory>
#include <string>

#include "net/tcp.h"
#include "net/tls.h"
#include "server/connection_thread.h"
#include "server/server.h"

namespace zelkord::server {
namespace {

// Serves the plain end of a relayed TLS connection on a thread of its own,
// counted with the connection threads. kNoSocket when none can start; the
// pair is then closed.
int StartPlainSide(Server& server, const std::string& address, const std::string& fingerprint) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return net::kNoSocket;
  const int served = pair[0];
  const bool started =
      server.StartCounted(server.liveConnectionThreads, [&server, served, address, fingerprint] {
        ServeConnection(server, served, address, -1, fingerprint);
        net::FlushPendingOutput();
      });
  if (!started) {
    net::TcpClose(pair[0]);
    net::TcpClose(pair[1]);
    return net::kNoSocket;
  }
  return pair[1];
}

// Relays until the connection ends, or parks it once both sides have been
// silent for the idle time; a thread takes it up again when either side has
// something.
void Relay(Server& server, const std::shared_ptr<net::TlsConnection>& connection) {
  const bool mayIdle = server.parkAfter.count() > 0 && server.parking.Ready();
  const int idleMs = mayIdle ? static_cast<int>(server.parkAfter.count()) : -1;
  while (connection->Relay(idleMs) == net::Relayed::Idle) {
    if (server.Park({connection->TlsSocket(), connection->PlainSocket()},
                    [&server, connection] { Relay(server, connection); })) {
      return;
    }
  }
}

}  // namespace

void ServeTlsConnection(Server& server, int socket, const std::string& address) {
  const std::shared_ptr<const net::TlsCredentials> credentials = server.TlsCredentials();
  // A banned address is refused before any handshake work; admission
  // checks again, with the slots, once the session is up.
  if (credentials == nullptr || server.protocol.banList.IsBanned(address)) {
    net::TcpClose(socket);
    return;
  }
  std::shared_ptr<net::TlsConnection> connection = net::AcceptTls(
      *credentials, socket, [&server] { return server.TlsOpen(); },
      [&](const std::string& fingerprint) { return StartPlainSide(server, address, fingerprint); });
  if (connection != nullptr) Relay(server, connection);
}

}  // namespace zelkord::server
