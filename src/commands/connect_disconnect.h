// A connection's arrival and departure in the protocol state: admission of
// a just-accepted connection, and the clean-up after it, whether it quit,
// failed or was shut down.
#pragma once

#include <memory>
#include <string_view>

#include "irc/protocol.h"

namespace zelkord::commands {

// Vets a just-accepted connection under the protocol lock: a banned address,
// a full table, an address at its connection limit or a server shutting
// down yields irc::kNotFound (the caller closes the socket; nothing is sent
// or logged); otherwise the slot index, with
// first set to the state its first line is handled in. The connection
// starts in the default encoding, except the operator client's (known by
// its address and port), which stays ISO-2022-JP. fingerprint is that of
// the client certificate offered over TLS (empty: none). Takes the protocol
// lock. Any connection thread.
[[nodiscard]] int AdmitConnection(irc::ProtocolState& protocol,
                                  std::shared_ptr<net::OutputQueue> output,
                                  std::string_view address, int port, irc::ConnState& first,
                                  std::string_view fingerprint = {});

// Parts a registered connection from its channels (PART relays to the other
// members, a disconnect line in each view), unregisters it, closes its log
// page and frees its slot. Takes the protocol lock. Its own thread only.
void DisconnectCleanup(irc::ProtocolState& protocol, int slot);

}  // namespace zelkord::commands
