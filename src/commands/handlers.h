// The command handlers of a registered connection. Each takes the
// protocol lock for its whole run, works on its own slot's line parameters,
// and returns keep (QUIT returns closing). Connection thread only.
#pragma once

#include <string>
#include <string_view>

#include "irc/send.h"
#include "irc/split.h"

namespace zelkord::commands {

// params is the line's parameter text in Shift_JIS; utf8Params the same
// text as a UTF-8 client sent it (empty for other clients), which PRIVMSG and
// TOPIC relay to UTF-8 recipients unchanged.
#define ZELKORD_HANDLER(name)                                                             \
  [[nodiscard]] irc::ConnState name(irc::ProtocolState& protocol, int slot,               \
                                    std::string_view params, std::string_view utf8Params, \
                                    irc::ConnState keep, irc::ConnState closing)

ZELKORD_HANDLER(HandleJoin);
ZELKORD_HANDLER(HandlePart);
ZELKORD_HANDLER(HandlePrivmsg);
ZELKORD_HANDLER(HandleTopic);
ZELKORD_HANDLER(HandleMode);
ZELKORD_HANDLER(HandleNick);
ZELKORD_HANDLER(HandlePing);
ZELKORD_HANDLER(HandleKick);
ZELKORD_HANDLER(HandleList);
ZELKORD_HANDLER(HandleWhois);
ZELKORD_HANDLER(HandleWho);
ZELKORD_HANDLER(HandleLusers);
ZELKORD_HANDLER(HandleNames);
ZELKORD_HANDLER(HandleQuit);
ZELKORD_HANDLER(HandleCharset);

#undef ZELKORD_HANDLER

// A conversation line: the "hh:nn " stamp, then "*** " and the text.
[[nodiscard]] std::string EventLine(std::string_view text);

// Sends the 353 reply for a channel to the slot, split over as many 353
// lines as keep each within 512 bytes with its CR LF (never cutting a name).
// Requires the protocol lock.
void SendNamesReply(irc::ProtocolState& protocol, int slot, std::string_view channel, int index)
    REQUIRES(protocol.mutex);

}  // namespace zelkord::commands
