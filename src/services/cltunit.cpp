// Operator client actions.
#include "services/cltunit.h"

#include <string>

#include "frame/procunit.h"

namespace zelkord::services {

void OperatorJoin(frame::Server& server, std::string_view channel) {
  server.OperatorSend("join " + std::string(channel));
}

void OperatorPart(frame::Server& server, std::string_view channel) {
  server.OperatorSend("part " + std::string(channel));
}

bool OperatorInput(frame::Server& server, std::string_view channel, std::string_view input) {
  if (input.empty()) return false;
  if (input.front() == '/') {
    server.OperatorSend(input.substr(1));
  } else {
    server.OperatorSend("privmsg " + std::string(channel) + " :" + std::string(input));
  }
  return true;
}

}  // namespace zelkord::services
