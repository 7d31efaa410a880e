// CHARSET and encoding changes.
#include "commands/charset.h"

#include <string>

#include "irc/send.h"

namespace zelkord::commands {
namespace {

// 222 or 468 to the slot; "*" stands for a nick not given yet.
void SendCharsetReply(irc::ProtocolState& protocol, int slot, int code, std::string_view name)
    REQUIRES(protocol.mutex) {
  const irc::UserSlot& self = protocol.users->Slot(slot);
  const std::string& nick = self.Nick();
  std::string reply;
  irc::FormatNumeric(reply, protocol.settings.serverName, code, nick.empty() ? "*" : nick, {name});
  irc::SendLine(protocol, self.socket, reply);
}

}  // namespace

void ChangeEncoding(irc::ProtocolState& protocol, int slot, text::Encoding encoding, bool pinned,
                    std::string_view how) {
  irc::UserSlot& self = protocol.users->Slot(slot);
  self.encoding = encoding;
  self.encodingPinned = pinned;
  std::string note = "*** encoding ";
  note.append(text::EncodingName(encoding)).append(" (").append(how).append(")");
  protocol.commLog->LogTraffic(slot, irc::Traffic::Received, note);
  protocol.desk.EncodingChanged(slot, note.substr(4));
}

irc::ConnState HandleCharset(const Step& step) {
  const std::string& name = step.fields[0];
  if (name.empty()) {
    SendCharsetReply(step.protocol, step.slot, irc::kRplCharset,
                     text::EncodingName(step.self.encoding));
    return step.state;
  }
  const std::optional<text::Encoding> encoding = text::ParseEncoding(name);
  if (!encoding) {
    SendCharsetReply(step.protocol, step.slot, irc::kErrUnknownCharset, name);
    return step.state;
  }
  ChangeEncoding(step.protocol, step.slot, *encoding, true, "set by CHARSET");
  SendCharsetReply(step.protocol, step.slot, irc::kRplCharset, text::EncodingName(*encoding));
  return step.state;
}

}  // namespace zelkord::commands
