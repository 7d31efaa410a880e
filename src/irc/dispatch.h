// The dispatcher: a registered connection's command word, upper-cased,
// picks its handler from one table in matching order. Unknown and empty
// command words are ignored in silence.
#pragma once

#include "irc/split.h"
#include "irc/srvunit.h"

namespace zelkord::irc {

// Calls the handler of the line's command and returns its result (keep,
// or closing for QUIT); keep for a command word it does not know. Takes no
// lock itself; every handler takes the protocol lock. Connection thread.
[[nodiscard]] ConnState Dispatch(frame::Server& server, int slot, const SplitResult& line,
                                 ConnState keep, ConnState closing);

}  // namespace zelkord::irc
