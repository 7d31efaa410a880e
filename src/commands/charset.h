// A connection's wire encoding: CHARSET, with which a client pins it or asks
// for it, and the change that evidence in a received line makes.
#pragma once

#include <string_view>

#include "commands/handlers.h"
#include "irc/protocol.h"
#include "text/encoding.h"

namespace zelkord::commands {

// Changes the slot's encoding, pinned or not, and notes the change (how:
// "detected" or "set by CHARSET") on its communication-log page and to the
// desk. Requires the protocol lock. The connection's own thread only.
void ChangeEncoding(irc::ProtocolState& protocol, int slot, text::Encoding encoding, bool pinned,
                    std::string_view how) REQUIRES(protocol.mutex);

// HandleCharset (declared with the other handlers), CHARSET [name]: without
// a name, answers 222 with the encoding in force; with a known name (see
// text::ParseEncoding), pins that encoding and answers 222 in it; with any
// other name, answers 468 and changes nothing. Any state, before
// registration too; the state stays as it is.

}  // namespace zelkord::commands
