// The command table, in matching order, and the dispatcher.
#include "commands/dispatch.h"

#include <algorithm>

#include "base/sjis.h"
#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

using Handler = irc::ConnState (*)(const Step&);

// What a line with fewer parameters than its command's least gets: dropped
// in silence, or handed to the handler, which answers it itself.
enum class ShortLine { Dropped, Answered };

struct Command {
  std::string_view name;
  Handler handler;
  int leastParams;
  bool beforeRegistration;
  ShortLine shortLine;
};

constexpr bool kBeforeRegistration = true;
constexpr bool kRegisteredOnly = false;

// Name, handler, least parameters, allowed before registration, and what
// a line short of parameters gets.
constexpr Command kCommands[] = {
    {"PASS", HandlePass, 1, kBeforeRegistration, ShortLine::Dropped},
    {"NICK", HandleNick, 1, kBeforeRegistration, ShortLine::Answered},
    {"USER", HandleUser, 4, kBeforeRegistration, ShortLine::Answered},
    {"JOIN", HandleJoin, 1, kRegisteredOnly, ShortLine::Dropped},
    {"PART", HandlePart, 1, kRegisteredOnly, ShortLine::Dropped},
    // One, not two: a target without text is PRIVMSG's own to answer.
    {"PRIVMSG", HandlePrivmsg, 1, kRegisteredOnly, ShortLine::Dropped},
    {"TOPIC", HandleTopic, 1, kRegisteredOnly, ShortLine::Dropped},
    {"MODE", HandleMode, 1, kRegisteredOnly, ShortLine::Dropped},
    {"PING", HandlePing, 1, kBeforeRegistration, ShortLine::Answered},
    {"PONG", HandlePong, 0, kBeforeRegistration, ShortLine::Dropped},
    {"KICK", HandleKick, 2, kRegisteredOnly, ShortLine::Answered},
    {"LIST", HandleList, 0, kRegisteredOnly, ShortLine::Dropped},
    {"WHOIS", HandleWhois, 1, kRegisteredOnly, ShortLine::Answered},
    {"WHO", HandleWho, 0, kRegisteredOnly, ShortLine::Dropped},
    {"LUSERS", HandleLusers, 0, kRegisteredOnly, ShortLine::Dropped},
    {"NAMES", HandleNames, 0, kRegisteredOnly, ShortLine::Dropped},
    {"QUIT", HandleQuit, 0, kBeforeRegistration, ShortLine::Dropped},
    {"CHARSET", HandleCharset, 0, kBeforeRegistration, ShortLine::Dropped},
    {"CAP", HandleCap, 1, kBeforeRegistration, ShortLine::Answered},
};

const Command* FindCommand(std::string_view word) {
  for (const Command& command : kCommands) {
    if (base::EqualsFolded(command.name, word)) return &command;
  }
  return nullptr;
}

}  // namespace

irc::ConnState Dispatch(irc::ProtocolState& protocol, int slot, irc::ConnState state,
                        const irc::SplitResult& line, std::string_view utf8Params,
                        irc::ParamFields& fields) {
  // An unknown command and a short line are refused in silence; before
  // registration, anything registration does not allow gets 451.
  const Command* command = FindCommand(line.command);
  const bool registered = state == irc::ConnState::Serving;
  if (!registered && (command == nullptr || !command->beforeRegistration)) {
    irc::ProtocolLock lock(protocol);
    irc::SendLine(
        protocol, protocol.users->Slot(slot).socket,
        irc::FormatNumeric(protocol.settings.serverName, irc::kErrNotRegistered, "*", {}));
    return state;
  }
  if (command == nullptr) return state;
  const int begun = irc::SplitParams(line.params, fields);
  const int count = line.params.empty() ? 0 : std::min(begun, irc::kParamFieldCount);
  if (count < command->leastParams && command->shortLine == ShortLine::Dropped) return state;

  irc::ProtocolLock lock(protocol);
  irc::UserTable& users = *protocol.users;
  const Step step{protocol, users, *protocol.channels, slot, users.Slot(slot), state, line.params,
                  fields,   count, utf8Params};
  return command->handler(step);
}

}  // namespace zelkord::commands
