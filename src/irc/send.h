// The send side every protocol step uses: one line out to a client, logged
// on the recipient's communication-log page as Shift_JIS, converted to the
// wire once and queued; never blocking.
#pragma once

#include <initializer_list>
#include <string_view>
#include <vector>

#include "irc/protocol.h"
#include "irc/replies.h"

namespace zelkord::irc {

// Sends one line to a client socket: logged on that slot's sent view as
// Shift_JIS, converted to the wire, queued with CR LF. Never blocks.
// Requires the protocol lock.
void SendLine(ProtocolState& protocol, int socket, std::string_view text) REQUIRES(protocol.mutex);

// Sends the same line to every socket but exceptSocket, converting it to
// the wire once. Requires the protocol lock.
void SendToSockets(ProtocolState& protocol, const std::vector<int>& sockets, std::string_view text,
                   int exceptSocket = -1) REQUIRES(protocol.mutex);

// Fills the numeric reply with the server name, the code and the slot's
// nick, then values, and sends it to the slot's own socket. Requires the
// protocol lock.
void SendNumeric(ProtocolState& protocol, int slot, int code,
                 std::initializer_list<FormatArg> values) REQUIRES(protocol.mutex);

// Converts the text to the wire and sends it with CR LF on a client-side
// socket (the operator client's), blocking; no logging. Failures are not
// looked at. The socket's sending thread only.
void SendClientLine(int socket, std::string_view text);

}  // namespace zelkord::irc
