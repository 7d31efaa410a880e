// A status-page request: the cap on requests served at once, the request, close.
#include "server/web_request.h"

#include "net/tcp.h"
#include "server/server.h"
#include "services/status_pages.h"

namespace zelkord::server {

void ServeWebConnection(Server& server, int socket, const std::string& address) {
  // Beyond the cap a request is closed at once, unread.
  if (++server.servingWebRequests <= services::kMaxWebRequests) {
    services::ServeWebRequest(server.protocol, server.webView, socket, address,
                              [&server] { return server.MetricsText(); });
  }
  --server.servingWebRequests;
  net::TcpClose(socket);
}

}  // namespace zelkord::server
