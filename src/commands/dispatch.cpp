// The dispatch table, in matching order.
#include "commands/dispatch.h"

#include <string_view>

#include "base/sjis.h"
#include "commands/charset.h"
#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

using Handler = irc::ConnState (*)(irc::ProtocolState&, int, std::string_view, std::string_view,
                                   irc::ConnState, irc::ConnState);

struct Route {
  std::string_view command;
  Handler handler;
};

constexpr Route kRoutes[] = {
    {"JOIN", commands::HandleJoin},       {"PART", commands::HandlePart},
    {"PRIVMSG", commands::HandlePrivmsg}, {"TOPIC", commands::HandleTopic},
    {"MODE", commands::HandleMode},       {"NICK", commands::HandleNick},
    {"PING", commands::HandlePing},       {"KICK", commands::HandleKick},
    {"LIST", commands::HandleList},       {"WHOIS", commands::HandleWhois},
    {"WHO", commands::HandleWho},         {"LUSERS", commands::HandleLusers},
    {"NAMES", commands::HandleNames},     {"QUIT", commands::HandleQuit},
    {"CHARSET", commands::HandleCharset},
};

}  // namespace

irc::ConnState Dispatch(irc::ProtocolState& protocol, int slot, const irc::SplitResult& line,
                        std::string_view utf8Params, irc::ConnState keep, irc::ConnState closing) {
  const std::string command = base::UpperCase(line.command);
  for (const Route& route : kRoutes) {
    if (route.command == command) {
      return route.handler(protocol, slot, line.params, utf8Params, keep, closing);
    }
  }
  return keep;  // not a command of ours: no reply at all
}

}  // namespace zelkord::commands
