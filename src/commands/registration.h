// The two steps a connection goes through before it is served: the
// password step (only when the server has a password) and the registration
// step (NICK and USER, in either order), ending in the welcome burst.
#pragma once

#include "irc/send.h"
#include "irc/split.h"

namespace zelkord::commands {

// Handles one line in the password state: a matching PASS gives success, a
// USER gives 465 and refusal, NICK is stored (433 when taken), anything else
// is ignored. Returns the next state. Takes the protocol lock.
[[nodiscard]] irc::ConnState PasswordStep(irc::ProtocolState& protocol, int slot,
                                          const irc::SplitResult& line, irc::ConnState success,
                                          irc::ConnState refusal);

// Handles one line in the login state. Once a free nick and a USER line
// have both been accepted it registers the connection, sends the welcome
// burst and returns success; otherwise the login state. Takes the protocol
// lock.
[[nodiscard]] irc::ConnState RegistrationStep(irc::ProtocolState& protocol, int slot,
                                              const irc::SplitResult& line, irc::ConnState success);

}  // namespace zelkord::commands
