// The command handlers, one per row of the command table, and the step
// struct the dispatcher hands each of them. A handler runs under the
// protocol lock the dispatcher took, on the parameters it split, and
// returns the connection's next state. Connection thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "history/store.h"

#include "irc/send.h"
#include "irc/split.h"

namespace zelkord::commands {

// What the dispatcher found of an OPER line's password before it took the
// lock (the key derivation is slow on purpose, and nobody should wait for
// it): not checked (no operators, or the connection must wait), or whether
// the name and password match a configured operator.
enum class OperCheck { NotChecked, Good, Bad };

struct HistoryAnswer;

// One received line as its handler sees it. The tables and the sender's
// slot are the protocol state's, reached under the lock the dispatcher
// holds for the handler's whole run.
struct Step {
  irc::ProtocolState& protocol;
  irc::UserTable& users;
  irc::ChannelTable& channels;
  int slot;
  irc::UserSlot& self;
  // The state the line arrived in: a handler returns it to go on as it is.
  irc::ConnState state;
  // The parameter text in Shift_JIS, whole (WHO, NAMES, PASS and a NICK
  // before registration use it so), and split into fields.
  std::string_view params;
  const irc::ParamFields& fields;
  int count;  // parameters present, 0 to irc::kParamFieldCount
  // The same text as a UTF-8 client sent it (empty for other clients),
  // which PRIVMSG and TOPIC relay to UTF-8 recipients unchanged.
  std::string_view utf8Params;
  OperCheck operCheck = OperCheck::NotChecked;  // OPER only
  // The client-only tags of the line that are passed on, serialised
  // (PRIVMSG, NOTICE, TAGMSG).
  std::string_view clientTags;
  const HistoryAnswer* history = nullptr;  // CHATHISTORY only
};

// What a CHATHISTORY line asked, and what the history store held for it,
// found before the protocol lock was taken: a failure (fail is the
// standard reply's code) or the lines (oldest first) or, for TARGETS, the
// channels with the time of their latest line.
struct HistoryAnswer {
  std::string fail;
  std::string subcommand;  // upper-cased
  std::string target;      // as given, Shift_JIS
  bool targets = false;
  std::vector<history::Row> rows;
  std::vector<std::pair<std::string, std::int64_t>> targetTimes;
};

// Reads the store for a CHATHISTORY line of the slot: takes the protocol
// lock only to see the slot's channels, and must be called without it.
// The connection's own thread.
[[nodiscard]] HistoryAnswer PrepareChathistory(irc::ProtocolState& protocol, int slot,
                                               const irc::ParamFields& fields, int count);

// Hands one channel line to the history store, when there is one: its
// kind, the channel, param (KICK's kicked nick, NICK's new one) and the
// text as the sender wrote it: utf8Text when a UTF-8 client's own bytes are
// at hand, else the Shift_JIS text converted. senderNick, when given, is
// the nick the line came from (NICK's old one). Never blocks. Requires the
// protocol lock.
void RecordHistory(irc::ProtocolState& protocol, const irc::UserSlot& sender,
                   const irc::MessageStamp& stamp, std::string_view kind, std::string_view channel,
                   std::string_view param, std::string_view sjisText,
                   std::string_view utf8Text = {}, std::string_view senderNick = {})
    REQUIRES(protocol.mutex);

// Each handler requires the protocol lock: step.protocol.mutex.
[[nodiscard]] irc::ConnState HandlePass(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleUser(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleJoin(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandlePart(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandlePrivmsg(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleNotice(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleTagmsg(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleTopic(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleMode(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleNick(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandlePing(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandlePong(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleKick(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleList(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleWhois(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleWho(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleLusers(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleNames(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleQuit(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleCharset(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleCap(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleAway(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleInvite(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleUserhost(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleIson(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleMotd(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleVersion(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleTime(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleAdmin(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleInfo(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleWhowas(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleOper(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleKill(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleWallops(const Step& step) REQUIRES(step.protocol.mutex);
[[nodiscard]] irc::ConnState HandleChathistory(const Step& step) REQUIRES(step.protocol.mutex);

// MODE on a nick: the sender's own modes shown (221) or changed, 502 for
// another user's, 401 for no such nick. HandleMode hands it every target
// that is not a channel name. Requires the protocol lock.
[[nodiscard]] irc::ConnState HandleUserMode(const Step& step) REQUIRES(step.protocol.mutex);

// Checks an OPER line's name and password against the configured
// operators. Takes the protocol lock only to read them, and must be called
// without it: the derivation takes tens of milliseconds. The connection's
// own thread.
[[nodiscard]] OperCheck CheckOperPassword(irc::ProtocolState& protocol, int slot,
                                          std::string_view name, std::string_view password);

// Whether the user is a server operator (+o): KICK and MODE in any
// channel, secret and private channels seen as a member sees them, KILL
// and WALLOPS.
[[nodiscard]] inline bool IsServerOperator(const irc::UserSlot& user) {
  return user.ServerOperator();
}

// The user-mode letters 004 names: those of Server.UserMode the server
// implements, in the key's order. Any thread.
[[nodiscard]] std::string UserModeLetters(const config::Settings& settings);

// Whether a query of asker may show other: other is not invisible, is the
// asker, or shares a channel with it. Requires the protocol lock.
[[nodiscard]] bool CanSee(const irc::UserSlot& asker, const irc::UserSlot& other);

// Relays the QUIT of the user of slot with message to the members of each
// of its channels but exceptSlot, with the quit line in each view. Requires
// the protocol lock.
void AnnounceQuit(irc::ProtocolState& protocol, int slot, std::string_view message, int exceptSlot)
    REQUIRES(protocol.mutex);

// Whether a ban of the channel matches the user's nick!user@host.
[[nodiscard]] bool IsBanned(const irc::ChannelModes& modes, const irc::UserSlot& user);

// Whether the channel of index hides from the user: secret or private, the
// user not a member and not a server operator. Requires the protocol lock.
[[nodiscard]] bool HiddenFrom(const Step& step, int index) REQUIRES(step.protocol.mutex);

// The user's prefix in a channel ("@", "+", both with multi-prefix for the
// asker), from its joined entry.
[[nodiscard]] std::string PrefixFor(const irc::UserSlot& asker, const irc::JoinedChannel& joined);

// NICK before registration: stores the whole parameter text as the nick
// (433 when it is not free, an empty one included) and, once a USER line
// has come too, registers the connection with the welcome burst (Serving).
// In the password state it only stores the nick. Requires the protocol lock.
[[nodiscard]] irc::ConnState RegisteringNick(const Step& step) REQUIRES(step.protocol.mutex);

// Registers the connection with the welcome burst (Serving) once a free
// nick and a USER line have both been accepted and no capability
// negotiation holds it; otherwise it stays in the login state. Requires
// the protocol lock.
[[nodiscard]] irc::ConnState CompleteRegistration(const Step& step) REQUIRES(step.protocol.mutex);

// The user's joined entry for the channel named exactly name, or nullptr.
[[nodiscard]] const irc::JoinedChannel* FindJoined(const irc::UserSlot& user,
                                                   std::string_view name);

// A conversation line: the "hh:nn " stamp, then "*** " and the text.
[[nodiscard]] std::string EventLine(std::string_view text);

// Sends the 353 reply for a channel to the slot, split over as many 353
// lines as keep each within 512 bytes with its CR LF (never cutting a name).
// Requires the protocol lock.
void SendNamesReply(irc::ProtocolState& protocol, int slot, std::string_view channel, int index)
    REQUIRES(protocol.mutex);

// The longest away message kept, in bytes (005 names it AWAYLEN); a longer
// one is cut before the character that would cross it.
inline constexpr std::size_t kAwayLenBytes = 200;

// Sends the 005 lines, as many tokens to a line as keep it within the
// line limit, at most kTokensPerLine. Requires the protocol lock.
void SendSupported(irc::ProtocolState& protocol, int slotIndex) REQUIRES(protocol.mutex);

// Sends the message of the day (375, 372 lines, 376), or 422 when there is
// none. Requires the protocol lock.
void SendMotd(irc::ProtocolState& protocol, int slotIndex) REQUIRES(protocol.mutex);

// Sends 265 and 266: the users registered now and the most there have
// been, which on a single server are both local and global. Requires the
// protocol lock.
void SendUserCounts(irc::ProtocolState& protocol, int slotIndex) REQUIRES(protocol.mutex);

// Sends 301 with the away message to the step's sender when the user of
// slot target is away; nothing otherwise. Requires the protocol lock.
void SendAwayReply(const Step& step, int target) REQUIRES(step.protocol.mutex);

// What a join does beyond the join itself: the joiner's invitation to the
// channel of index is used up, and when the joiner is away, the members
// that enabled away-notify learn it after the JOIN line. Requires the
// protocol lock.
void NoteJoined(const Step& step, int index) REQUIRES(step.protocol.mutex);

// Records the user's nick, user name, address and real name as given up
// now, for WHOWAS; nothing for an unregistered slot. Requires the protocol
// lock.
void RememberNick(irc::ProtocolState& protocol, const irc::UserSlot& user) REQUIRES(protocol.mutex);

}  // namespace zelkord::commands
