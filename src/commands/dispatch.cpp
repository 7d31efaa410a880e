// The command table, in matching order, and the dispatcher.
#include "commands/dispatch.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

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
    // 411 for a missing target.
    {"TAGMSG", HandleTagmsg, 1, kRegisteredOnly, ShortLine::Answered},
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
    // FAIL INVALID_PARAMS for a short line, as the standard replies have it.
    {"CHATHISTORY", HandleChathistory, 1, kRegisteredOnly, k461},
};

// The client-only tags passed on to others; the rest are dropped, as the
// 005 CLIENTTAGDENY token tells clients.
constexpr std::string_view kRelayedClientTags[] = {"+typing", "+draft/reply", "+draft/react"};

// The relayed client-only tags of the line, serialised; none when they
// would take more than their share of a relayed line.
std::string RelayedClientTags(const irc::Tags& tags) {
  std::string out;
  for (const irc::Tag& tag : tags) {
    if (std::find(std::begin(kRelayedClientTags), std::end(kRelayedClientTags), tag.key) !=
        std::end(kRelayedClientTags)) {
      irc::AppendTag(out, tag.key, tag.value);
    }
  }
  return out.size() <= irc::kMaxClientTagBytes ? out : std::string();
}

const Command* FindCommand(std::string_view word) {
  for (const Command& command : kCommands) {
    if (base::EqualsFolded(command.name, word)) return &command;
  }
  return nullptr;
}

// The label the line's response carries: none without the capability, and
// an over-long one is ignored. Requires the protocol lock.
const std::string* LabelOf(const irc::UserSlot& self, const irc::Tags& tags) {
  if (tags.empty() || (self.capabilities & irc::kCapLabeledResponse) == 0) return nullptr;
  const std::string* label = irc::FindTag(tags, "label");
  if (label == nullptr || label->empty() || label->size() > irc::kMaxLabelBytes) return nullptr;
  return label;
}

// Sends an error numeric addressed to the nick, or "*" before registration,
// labeled when the line was.
void SendError(irc::ProtocolState& protocol, int slot, const irc::Tags& tags, int code,
               std::initializer_list<irc::FormatArg> values) {
  irc::ProtocolLock lock(protocol);
  const std::string* label = LabelOf(protocol.users->Slot(slot), tags);
  std::vector<irc::CapturedLine> captured;
  if (label != nullptr) irc::StartLabeled(protocol, slot, captured);
  irc::SendReply(protocol, slot, code, values);
  if (label != nullptr) irc::FinishLabeled(protocol, slot, *label);
}

}  // namespace

bool RunsUnlocked(std::string_view command) {
  return base::EqualsFolded(command, "OPER") || base::EqualsFolded(command, "CHATHISTORY");
}

irc::ConnState Dispatch(irc::ProtocolState& protocol, int slot, irc::ConnState state,
                        const irc::SplitResult& line, std::string_view utf8Params,
                        irc::ParamFields& fields, const irc::Tags& tags) {
  if (line.command.empty()) return state;  // a prefix alone says nothing
  // Before registration, anything registration does not allow gets 451.
  const Command* command = FindCommand(line.command);
  const bool registered = state == irc::ConnState::Serving;
  if (!registered && (command == nullptr || !command->beforeRegistration)) {
    SendError(protocol, slot, tags, irc::kErrNotRegistered, {});
    return state;
  }
  if (command == nullptr) {
    SendError(protocol, slot, tags, irc::kErrUnknownCommand, {line.command});
    return state;
  }
  const int begun = irc::SplitParams(line.params, fields);
  const int count = line.params.empty() ? 0 : std::min(begun, irc::kParamFieldCount);
  if (count < command->leastParams && command->shortLine == ShortLine::NeedMoreParams) {
    SendError(protocol, slot, tags, irc::kErrNeedMoreParams, {command->name});
    return state;
  }

  const OperCheck operCheck = command->handler == HandleOper
                                  ? CheckOperPassword(protocol, slot, fields[0], fields[1])
                                  : OperCheck::NotChecked;
  // The store is read before the lock is taken, for the same reason.
  const HistoryAnswer history = command->handler == HandleChathistory
                                    ? PrepareChathistory(protocol, slot, fields, count)
                                    : HistoryAnswer{};

  const std::string clientTags = tags.empty() ? std::string() : RelayedClientTags(tags);
  irc::ProtocolLock lock(protocol);
  irc::UserTable& users = *protocol.users;
  const Step step{
      protocol, users, *protocol.channels, slot,      users.Slot(slot), state,   line.params,
      fields,   count, utf8Params,         operCheck, clientTags,       &history};
  // A labeled command's response is collected while it runs, then sent
  // labeled.
  const std::string* label = LabelOf(step.self, tags);
  if (label == nullptr) return command->handler(step);
  std::vector<irc::CapturedLine> captured;
  irc::StartLabeled(protocol, slot, captured);
  const irc::ConnState next = command->handler(step);
  irc::FinishLabeled(protocol, slot, *label);
  return next;
}

}  // namespace zelkord::commands
