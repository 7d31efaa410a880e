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

irc::ConnState HandleCharset(irc::ProtocolState& protocol, int slot, std::string_view params,
                             std::string_view, irc::ConnState keep, irc::ConnState) {
  irc::ProtocolLock lock(protocol);
  irc::ParamFields fields;
  (void)irc::SplitParams(params, fields);
  const std::string& name = fields[0];
  irc::UserSlot& self = protocol.users->Slot(slot);
  if (name.empty()) {
    SendCharsetReply(protocol, slot, irc::kRplCharset, text::EncodingName(self.encoding));
    return keep;
  }
  const std::optional<text::Encoding> encoding = text::ParseEncoding(name);
  if (!encoding) {
    SendCharsetReply(protocol, slot, irc::kErrUnknownCharset, name);
    return keep;
  }
  ChangeEncoding(protocol, slot, *encoding, true, "set by CHARSET");
  SendCharsetReply(protocol, slot, irc::kRplCharset, text::EncodingName(*encoding));
  return keep;
}

}  // namespace zelkord::commands
