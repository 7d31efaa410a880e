// The two steps a connection goes through before it is served: the
// password step (only when the server has a password) and the registration
// step (NICK and USER, in either order), ending in the welcome burst.
#pragma once

#include "irc/split.h"
#include "irc/srvunit.h"

namespace zelkord::irc {

// Handles one line in the password state: a matching PASS gives success, a
// USER gives 465 and refusal, NICK is stored (433 when taken), anything else
// is ignored. Returns the next state. Takes the protocol lock.
[[nodiscard]] ConnState PasswordStep(frame::Server& server, int slot, const SplitResult& line,
                                     ConnState success, ConnState refusal);

// Handles one line in the login state. Once a free nick and a USER line
// have both been accepted it registers the connection, sends the welcome
// burst and returns success; otherwise the login state. Takes the protocol
// lock.
[[nodiscard]] ConnState RegistrationStep(frame::Server& server, int slot, const SplitResult& line,
                                         ConnState success);

}  // namespace zelkord::irc
