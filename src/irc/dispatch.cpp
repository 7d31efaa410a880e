// The dispatch table, in matching order.
#include "irc/dispatch.h"

#include <string_view>

#include "channels/handlers.h"
#include "irc/sjis.h"

namespace zelkord::irc {
namespace {

using Handler = ConnState (*)(frame::Server&, int, std::string_view, ConnState, ConnState);

struct Route {
  std::string_view command;
  Handler handler;
};

constexpr Route kRoutes[] = {
    {"JOIN", channels::HandleJoin},       {"PART", channels::HandlePart},
    {"PRIVMSG", channels::HandlePrivmsg}, {"TOPIC", channels::HandleTopic},
    {"MODE", channels::HandleMode},       {"NICK", channels::HandleNick},
    {"PING", channels::HandlePing},       {"KICK", channels::HandleKick},
    {"LIST", channels::HandleList},       {"WHOIS", channels::HandleWhois},
    {"WHO", channels::HandleWho},         {"LUSERS", channels::HandleLusers},
    {"NAMES", channels::HandleNames},     {"QUIT", channels::HandleQuit},
};

}  // namespace

ConnState Dispatch(frame::Server& server, int slot, const SplitResult& line, ConnState keep,
                   ConnState closing) {
  const std::string command = UpperCase(line.command);
  for (const Route& route : kRoutes) {
    if (route.command == command) return route.handler(server, slot, line.params, keep, closing);
  }
  return keep;  // not a command of ours: no reply at all
}

}  // namespace zelkord::irc
