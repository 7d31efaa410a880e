// Password and registration steps, and the welcome burst.
#include "commands/registration.h"

#include "base/clock.h"
#include "base/sjis.h"
#include "commands/charset.h"

namespace zelkord::commands {
namespace {

// USER fields are kept to this many bytes each.
constexpr std::size_t kUserFieldBytes = 255;

// Stores the nick and records whether it is free; 433 when it is not.
bool TakeNick(irc::ProtocolState& protocol, int slotIndex, const std::string& params)
    REQUIRES(protocol.mutex) {
  irc::UserSlot& slot = protocol.users->Slot(slotIndex);
  protocol.users->SetNick(slotIndex, params);
  protocol.users->SetNickAccepted(slotIndex, protocol.users->IsNickFree(slotIndex));
  if (!slot.NickAccepted()) SendNumeric(protocol, slotIndex, irc::kErrNicknameInUse, {});
  return slot.NickAccepted();
}

void SendWelcome(irc::ProtocolState& protocol, int slotIndex) REQUIRES(protocol.mutex) {
  irc::UserTable& users = *protocol.users;
  irc::UserSlot& slot = users.Slot(slotIndex);
  const config::Settings& settings = protocol.settings;
  users.RegisterUser(slotIndex);
  protocol.desk.UserListChanged("+", slot.Nick());
  protocol.commLog->SetCaption(slotIndex, slot.Nick());

  SendNumeric(protocol, slotIndex, irc::kRplWelcome, {slot.Nick()});
  SendNumeric(protocol, slotIndex, irc::kRplYourHost,
              {settings.serverName, settings.programVersion});
  SendNumeric(protocol, slotIndex, irc::kRplCreated, {protocol.startTimeText});
  SendNumeric(protocol, slotIndex, irc::kRplMyInfo,
              {settings.serverName, settings.programVersion, settings.serverUserMode,
               settings.serverChanMode});
  SendNumeric(protocol, slotIndex, irc::kRplLuserClient, {users.RegisteredCount(), 0, 1});
  SendNumeric(protocol, slotIndex, irc::kRplLuserUnknown, {0});
  SendNumeric(protocol, slotIndex, irc::kRplLuserChannels, {protocol.channels->Count()});
  SendNumeric(protocol, slotIndex, irc::kRplLuserMe, {users.RegisteredCount(), 0});
  SendNumeric(protocol, slotIndex, irc::kRplTime, {settings.serverName, base::LongDateTime()});
  if (protocol.live.motdLines.empty()) {
    SendNumeric(protocol, slotIndex, irc::kErrNoMotd, {});
    return;
  }
  SendNumeric(protocol, slotIndex, irc::kRplMotdStart, {settings.serverName});
  for (const std::string& line : protocol.live.motdLines) {
    SendNumeric(protocol, slotIndex, irc::kRplMotd, {line});
  }
  SendNumeric(protocol, slotIndex, irc::kRplEndOfMotd, {});
}

}  // namespace

irc::ConnState PasswordStep(irc::ProtocolState& protocol, int slotIndex,
                            const irc::SplitResult& line, irc::ConnState success,
                            irc::ConnState refusal) {
  const std::string command = base::UpperCase(line.command);
  if (command == "CHARSET") {
    return HandleCharset(protocol, slotIndex, line.params, {}, irc::ConnState::AwaitingPass,
                         refusal);
  }
  irc::ProtocolLock lock(protocol);
  if (command == "PASS") {
    // The whole parameter text, byte for byte: a leading ':' is part of it.
    // A wrong password is refused in silence and may be tried again.
    return line.params == protocol.settings.serverPassWord ? success : irc::ConnState::AwaitingPass;
  }
  if (command == "NICK") {
    (void)TakeNick(protocol, slotIndex, line.params);  // carries over to the login state
    return irc::ConnState::AwaitingPass;
  }
  if (command == "USER") {
    SendNumeric(protocol, slotIndex, irc::kErrBanned, {});
    return refusal;
  }
  return irc::ConnState::AwaitingPass;  // anything else: ignored in silence
}

irc::ConnState RegistrationStep(irc::ProtocolState& protocol, int slotIndex,
                                const irc::SplitResult& line, irc::ConnState success) {
  const std::string command = base::UpperCase(line.command);
  if (command == "CHARSET") {
    return HandleCharset(protocol, slotIndex, line.params, {}, irc::ConnState::AwaitingLogin,
                         irc::ConnState::Closing);
  }
  irc::ProtocolLock lock(protocol);
  irc::UserSlot& slot = protocol.users->Slot(slotIndex);
  if (command == "NICK") {
    if (!TakeNick(protocol, slotIndex, line.params)) return irc::ConnState::AwaitingLogin;
  } else if (command == "USER") {
    irc::ParamFields fields;
    (void)irc::SplitParams(line.params, fields, kUserFieldBytes);  // missing fields stay empty
    slot.userName = fields[0];
    slot.hostName = fields[1];
    slot.serverName = fields[2];
    slot.realName = fields[3];
    slot.userGiven = true;
  }
  if (!slot.NickAccepted() || !slot.userGiven) return irc::ConnState::AwaitingLogin;
  SendWelcome(protocol, slotIndex);
  return success;
}

}  // namespace zelkord::commands
