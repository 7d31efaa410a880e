// The send side every protocol step uses: one line out to a client, logged
// on the recipient's communication-log page as Shift_JIS, converted to the
// wire once and queued; never blocking.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "irc/message_tags.h"
#include "irc/protocol.h"
#include "irc/replies.h"

namespace zelkord::irc {

// What a relayed line carries besides its text for clients that negotiated
// tags: its stamp (time for server-time, msgid for message-tags; without
// one a server-time client gets the time of sending) and the client-only
// tags passed on, serialised (message-tags clients only). A client in a
// batch gets batch=, one whose labeled command runs is answered with label=.
// Plain clients get none of it.
struct SendTags {
  SendTags() = default;
  // Implicit, so that a call passes {&stamp}.
  SendTags(const MessageStamp* stampIn, std::string_view clientTagsIn = {})
      : stamp(stampIn), clientTags(clientTagsIn) {}
  const MessageStamp* stamp = nullptr;
  std::string_view clientTags;
};

// Sends one line to a client socket: logged on that slot's sent view as
// Shift_JIS, converted to the client's encoding, queued with CR LF. Never
// blocks. utf8Text, when given, is the same line as it goes to a UTF-8
// client (see VerbatimRelay). Requires the protocol lock.
void SendLine(ProtocolState& protocol, int socket, std::string_view text,
              std::string_view utf8Text = {}, const SendTags& tags = {}) REQUIRES(protocol.mutex);

// Sends the same line to every slot of a live connection among members but
// exceptSlot, converting it once per encoding in use; utf8Text as for
// SendLine. Lines with tags are built once per kind of recipient and
// encoding. Requires the protocol lock.
void SendToSlots(ProtocolState& protocol, const std::vector<int>& members, std::string_view text,
                 int exceptSlot = kNotFound, std::string_view utf8Text = {},
                 const SendTags& tags = {}) REQUIRES(protocol.mutex);

// Opens a batch of the type (with its parameters, space-separated, may be
// empty) to the slot: sends BATCH +ref, and tags what the slot is sent
// until EndBatch with batch=ref. Returns the reference, or empty (and sends
// nothing) for a client without batch or with a batch already open.
// Requires the protocol lock.
[[nodiscard]] std::string StartBatch(ProtocolState& protocol, int slot, std::string_view type,
                                     std::string_view params = {}) REQUIRES(protocol.mutex);

// Closes the batch StartBatch opened (nothing for an empty reference).
// Requires the protocol lock.
void EndBatch(ProtocolState& protocol, int slot, const std::string& ref) REQUIRES(protocol.mutex);

// Collects what the slot is sent from now on instead of queueing it, for a
// labeled response; FinishLabeled sends it. Requires the protocol lock.
void StartLabeled(ProtocolState& protocol, int slot, std::vector<CapturedLine>& captured)
    REQUIRES(protocol.mutex);

// Sends the collected response with its label: ACK for none, the one line
// labeled, or several in a labeled-response batch (sent unlabeled to a
// client without batch). Requires the protocol lock.
void FinishLabeled(ProtocolState& protocol, int slot, std::string_view label)
    REQUIRES(protocol.mutex);

// The relay line for UTF-8 recipients when a UTF-8 client's text is relayed
// (PRIVMSG, TOPIC): relay is the Shift_JIS line, ending in sjisText and then
// tail; the result is the same line with utf8Text, as the client sent it, in
// place of sjisText, so UTF-8 clients get it byte for byte. Empty (convert
// as usual) when utf8Text is empty or the relay may have been cut at its
// limit. Any thread.
[[nodiscard]] std::string VerbatimRelay(std::string_view relay, std::string_view sjisText,
                                        std::string_view utf8Text, std::string_view tail = {});

// Fills the numeric reply with the server name, the code and the slot's
// nick, then values, and sends it to the slot's own socket. Requires the
// protocol lock.
void SendNumeric(ProtocolState& protocol, int slot, int code,
                 std::initializer_list<FormatArg> values) REQUIRES(protocol.mutex);

// SendNumeric for a reply that may come before registration: addressed to
// "*" until the slot is registered, as clients expect, and to its nick
// after. Requires the protocol lock.
void SendReply(ProtocolState& protocol, int slot, int code, std::initializer_list<FormatArg> values)
    REQUIRES(protocol.mutex);

// Converts the text to the wire and sends it with CR LF on a client-side
// socket (the operator client's), blocking; no logging. Failures are not
// looked at. The socket's sending thread only.
void SendClientLine(int socket, std::string_view text);

}  // namespace zelkord::irc
