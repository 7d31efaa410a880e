// Web threads: accept, the cap on requests served at once, close.
#include "server/web_thread.h"

#include <string>

#include "net/tcp.h"
#include "server/server.h"
#include "services/status_pages.h"

namespace zelkord::server {

void RunWebThread(Server& server) {
  for (;;) {
    std::string address;
    // Out of descriptors is passing, as for the IRC listener.
    const int socket = server.AcceptForChain(&Server::WebListener, address);
    if (socket == net::kNoSocket) break;  // the listener is closed: the chain ends here
    // Successor first; without one, this thread goes back to accepting.
    const bool hasSuccessor = server.StartWebThread();
    // Beyond the cap a request is closed at once, unread.
    if (++server.servingWebRequests <= services::kMaxWebRequests) {
      services::ServeWebRequest(server.protocol, server.webView, socket, address);
    }
    --server.servingWebRequests;
    net::TcpClose(socket);
    if (hasSuccessor) break;
  }
  server.ThreadEnded(server.liveWebThreads);
}

}  // namespace zelkord::server
