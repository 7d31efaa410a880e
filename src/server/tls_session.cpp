// A TLS session: the ban check, the handshake, then the connection itself.
#include "server/tls_session.h"

#include <memory>
#include <string>

#include "net/output_queue.h"
#include "net/tcp.h"
#include "net/tls.h"
#include "server/connection_thread.h"
#include "server/server.h"

namespace zelkord::server {

void ServeTlsConnection(Server& server, int socket, const std::string& address) {
  const std::shared_ptr<const net::TlsCredentials> credentials = server.TlsCredentials();
  // A banned address is refused before any handshake work; admission
  // checks again, with the slots, once the session is up.
  if (credentials == nullptr || server.protocol.banList.IsBanned(address)) {
    net::TcpClose(socket);
    return;
  }
  std::unique_ptr<net::TlsStream> tls =
      net::AcceptTls(*credentials, socket, [&server] { return server.TlsOpen(); });
  if (tls == nullptr) return;
  // This thread, counted with the connection threads already, goes on as
  // the connection's own.
  ServeConnection(server, socket, address, -1, std::move(tls));
  net::FlushPendingOutput();
}

}  // namespace zelkord::server
