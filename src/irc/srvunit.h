// The connection thread: accepts one connection, starts its successor,
// admits the connection (ban check, then a slot), then receives, converts,
// splits and hands each line to the step its state calls for, until the
// state says to end or the connection fails; then it cleans up after its
// client. Also the send side every step uses: one line out, logged on the
// recipient's page, converted to the wire.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "frame/procunit.h"
#include "irc/numrep.h"

namespace zelkord::irc {

// The value every protocol step returns: the connection's next state.
enum class ConnState { Closing = 0, AwaitingPass = 1, AwaitingLogin = 2, Serving = 3 };

inline constexpr std::size_t kReceiveLimit = 512;  // a line with its CR LF

// The body of one connection thread. Counted in liveConnectionThreads by
// whoever started it; uncounts itself as its very last step.
void RunConnectionThread(frame::Server& server);

// Vets a just-accepted connection under the protocol lock: a banned address
// or a full table yields kNotFound (the caller closes the socket, nothing is
// sent or logged); otherwise the slot index, with first set to the state
// its first line is handled in. Any connection thread.
[[nodiscard]] int AdmitConnection(frame::Server& server, std::shared_ptr<Connection> connection,
                                  std::string_view address, ConnState& first);

// Parts a registered connection from its channels (PART relays to the other
// members, a disconnect line in each view), unregisters it, closes its log
// page and frees its slot. Takes the protocol lock. Its own thread only.
void DisconnectCleanup(frame::Server& server, int slot);

// Sends one line to a client socket: logged on that slot's sent view as
// Shift_JIS, converted to the wire, queued with CR LF. Never blocks.
// Requires the protocol lock.
void SendLine(frame::Server& server, int socket, std::string_view text)
    REQUIRES(server.connectionLock);

// Sends the same line to every socket but exceptSocket, converting it to
// the wire once. Requires the protocol lock.
void SendToSockets(frame::Server& server, const std::vector<int>& sockets, std::string_view text,
                   int exceptSocket = -1) REQUIRES(server.connectionLock);

// Fills the numeric reply with the server name, the code and the slot's
// nick, then values, and sends it to the slot's own socket. Requires the
// protocol lock.
void SendNumeric(frame::Server& server, int slot, int code, std::initializer_list<FormatArg> values)
    REQUIRES(server.connectionLock);

// Converts the text to the wire and sends it with CR LF on a client-side
// socket (the operator client's), blocking; no logging. Failures are not
// looked at. The socket's sending thread only.
void SendClientLine(int socket, std::string_view text);

}  // namespace zelkord::irc
