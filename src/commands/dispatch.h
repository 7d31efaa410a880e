// The dispatcher: one table of the commands, in matching order, with each
// command's handler, least number of parameters and whether it is allowed
// before registration; and the one entry a received line goes through.
#pragma once

#include <string_view>

#include "irc/send.h"
#include "irc/split.h"

namespace zelkord::commands {

// Handles one received line of the slot, which is in state (not Closing).
// Its command word, matched without regard to letter case, picks its row
// of the table. The line is ignored in silence when no row matches, when
// the connection has not registered and the command is not allowed before
// registration, or when it has fewer parameters than the command's least
// and the command's handler does not answer such a line itself. Otherwise
// it takes the protocol lock, splits the parameters into fields (scratch
// the caller keeps from line to line, so splitting reuses its buffers) and
// runs the handler. utf8Params is the parameter text as a UTF-8 client sent
// it, or empty. tags are the line's message tags: the client-only ones the
// server passes on reach the handler, and a label, from a client that
// negotiated labeled-response, labels the response. Returns the
// connection's next state: state to go on as it is, Closing to close. The
// connection's own thread.
[[nodiscard]] irc::ConnState Dispatch(irc::ProtocolState& protocol, int slot, irc::ConnState state,
                                      const irc::SplitResult& line, std::string_view utf8Params,
                                      irc::ParamFields& fields, const irc::Tags& tags = {});

// Whether the command does slow work before it takes the protocol lock
// (OPER's password check): a thread that holds the lock for a run of lines
// lets it go first. Any thread.
[[nodiscard]] bool RunsUnlocked(std::string_view command);

}  // namespace zelkord::commands
