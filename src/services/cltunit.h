// The operator client's actions: the desk's buttons and input lines turn
// into IRC command lines on the loopback connection the server logged in at
// start-up. The client has no parser: what the operator sees comes from the
// server's own views.
#pragma once

#include <string_view>

namespace zelkord::frame {
class Server;
}

namespace zelkord::services {

// "join %s" with the channel name as given (possibly empty). Main thread.
void OperatorJoin(frame::Server& server, std::string_view channel);
// "part %s". Main thread.
void OperatorPart(frame::Server& server, std::string_view channel);
// Enter in a channel page's input line: nothing for an empty line; a line
// starting with "/" is sent raw without the "/"; anything else as
// "privmsg <channel> :<text>". true when a line was sent (the caller then
// empties the input). Main thread.
bool OperatorInput(frame::Server& server, std::string_view channel, std::string_view input);

}  // namespace zelkord::services
