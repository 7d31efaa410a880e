// The web thread: one per status-page request, in a chain like the IRC
// connections' (each accepts one request and starts its successor).
#pragma once

namespace zelkord::server {

class Server;

// The body of one web thread. Counted in the server's live web threads by
// whoever started it; uncounts itself as its last step.
void RunWebThread(Server& server);

}  // namespace zelkord::server
