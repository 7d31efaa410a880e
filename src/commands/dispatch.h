// The dispatcher: a registered connection's command word, upper-cased,
// picks its handler from one table in matching order. Unknown and empty
// command words are ignored in silence.
#pragma once

#include "irc/send.h"
#include "irc/split.h"

namespace zelkord::commands {

// Calls the handler of the line's command and returns its result (keep,
// or closing for QUIT); keep for a command word it does not know.
// utf8Params is the parameter text as a UTF-8 client sent it, or empty.
// Takes no lock itself; every handler takes the protocol lock. Connection
// thread.
[[nodiscard]] irc::ConnState Dispatch(irc::ProtocolState& protocol, int slot,
                                      const irc::SplitResult& line, std::string_view utf8Params,
                                      irc::ConnState keep, irc::ConnState closing);

}  // namespace zelkord::commands
