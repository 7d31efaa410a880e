// The command table, in matching order, and the dispatcher.
#include "commands/dispatch.h"

#include <algorithm>

#include "base/sjis.h"
#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

using Handler = irc::ConnState (*)(const Step&);

// What a line with fewer parameters than its command's least gets: 461
// naming the command, or the handler, which answers it itself.
enum class ShortLine { NeedMoreParams, Answered };

struct Command {
  std::string_view name;
  Handler handler;
  int leastParams;
  bool beforeRegistration;
  ShortLine shortLine;
};

constexpr bool kBeforeRegistration = true;
constexpr bool kRegisteredOnly = false;
constexpr ShortLine k461 = ShortLine::NeedMoreParams;

// Name, handler, least parameters, allowed before registration, and what
// a line short of parameters gets.
constexpr Command kCommands[] = {
    {"PASS", HandlePass, 1, kBeforeRegistration, k461},
    // 431 for a missing nick.
    {"NICK", HandleNick, 1, kBeforeRegistration, ShortLine::Answered},
    // A USER line short of fields still registers, its missing fields empty.
    {"USER", HandleUser, 4, kBeforeRegistration, ShortLine::Answered},
    {"JOIN", HandleJoin, 1, kRegisteredOnly, k461},
    {"PART", HandlePart, 1, kRegisteredOnly, k461},
    // 411 and 412 for a missing target or text; NOTICE answers nothing.
    {"PRIVMSG", HandlePrivmsg, 2, kRegisteredOnly, ShortLine::Answered},
    {"NOTICE", HandleNotice, 2, kRegisteredOnly, ShortLine::Answered},
    {"TOPIC", HandleTopic, 1, kRegisteredOnly, k461},
    {"MODE", HandleMode, 1, kRegisteredOnly, k461},
    // A PING without a token is answered with an empty one.
    {"PING", HandlePing, 1, kBeforeRegistration, ShortLine::Answered},
    {"PONG", HandlePong, 0, kBeforeRegistration, k461},
    {"KICK", HandleKick, 2, kRegisteredOnly, k461},
    {"LIST", HandleList, 0, kRegisteredOnly, k461},
    {"WHOIS", HandleWhois, 1, kRegisteredOnly, k461},
    {"WHO", HandleWho, 0, kRegisteredOnly, k461},
    {"LUSERS", HandleLusers, 0, kRegisteredOnly, k461},
    {"NAMES", HandleNames, 0, kRegisteredOnly, k461},
    {"QUIT", HandleQuit, 0, kBeforeRegistration, k461},
    {"CHARSET", HandleCharset, 0, kBeforeRegistration, k461},
    {"CAP", HandleCap, 1, kBeforeRegistration, ShortLine::Answered},  // 410
    {"AWAY", HandleAway, 0, kRegisteredOnly, k461},
    {"INVITE", HandleInvite, 2, kRegisteredOnly, k461},
    {"USERHOST", HandleUserhost, 1, kRegisteredOnly, k461},
    {"ISON", HandleIson, 1, kRegisteredOnly, k461},
    {"MOTD", HandleMotd, 0, kRegisteredOnly, k461},
    {"VERSION", HandleVersion, 0, kRegisteredOnly, k461},
    {"TIME", HandleTime, 0, kRegisteredOnly, k461},
    {"ADMIN", HandleAdmin, 0, kRegisteredOnly, k461},
    {"INFO", HandleInfo, 0, kRegisteredOnly, k461},
    {"WHOWAS", HandleWhowas, 1, kRegisteredOnly, k461},
    {"OPER", HandleOper, 2, kRegisteredOnly, k461},
    {"KILL", HandleKill, 2, kRegisteredOnly, k461},
    {"WALLOPS", HandleWallops, 1, kRegisteredOnly, k461},
};

const Command* FindCommand(std::string_view word) {
  for (const Command& command : kCommands) {
    if (base::EqualsFolded(command.name, word)) return &command;
  }
  return nullptr;
}

// Sends an error numeric addressed to the nick, or "*" before registration.
void SendError(irc::ProtocolState& protocol, int slot, int code,
               std::initializer_list<irc::FormatArg> values) {
  irc::ProtocolLock lock(protocol);
  irc::SendReply(protocol, slot, code, values);
}

}  // namespace

bool RunsUnlocked(std::string_view command) {
  return base::EqualsFolded(command, "OPER");
}

irc::ConnState Dispatch(irc::ProtocolState& protocol, int slot, irc::ConnState state,
                        const irc::SplitResult& line, std::string_view utf8Params,
                        irc::ParamFields& fields) {
  if (line.command.empty()) return state;  // a prefix alone says nothing
  // Before registration, anything registration does not allow gets 451.
  const Command* command = FindCommand(line.command);
  const bool registered = state == irc::ConnState::Serving;
  if (!registered && (command == nullptr || !command->beforeRegistration)) {
    SendError(protocol, slot, irc::kErrNotRegistered, {});
    return state;
  }
  if (command == nullptr) {
    SendError(protocol, slot, irc::kErrUnknownCommand, {line.command});
    return state;
  }
  const int begun = irc::SplitParams(line.params, fields);
  const int count = line.params.empty() ? 0 : std::min(begun, irc::kParamFieldCount);
  if (count < command->leastParams && command->shortLine == ShortLine::NeedMoreParams) {
    SendError(protocol, slot, irc::kErrNeedMoreParams, {command->name});
    return state;
  }

  const OperCheck operCheck = command->handler == HandleOper
                                  ? CheckOperPassword(protocol, slot, fields[0], fields[1])
                                  : OperCheck::NotChecked;

  irc::ProtocolLock lock(protocol);
  irc::UserTable& users = *protocol.users;
  const Step step{
      protocol, users, *protocol.channels, slot,     users.Slot(slot), state, line.params,
      fields,   count, utf8Params,         operCheck};
  return command->handler(step);
}

}  // namespace zelkord::commands
