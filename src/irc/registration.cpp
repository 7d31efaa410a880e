// Password and registration steps, and the welcome burst.
#include "irc/registration.h"

#include "frame/clock.h"
#include "irc/sjis.h"

namespace zelkord::irc {
namespace {

// USER fields are kept to this many bytes each.
constexpr std::size_t kUserFieldBytes = 255;

// Stores the nick and records whether it is free; 433 when it is not.
bool TakeNick(frame::Server& server, int slotIndex, const std::string& params)
    REQUIRES(server.connectionLock) {
  UserSlot& slot = server.users->Slot(slotIndex);
  server.users->SetNick(slotIndex, params);
  slot.nickAccepted = server.users->IsNickFree(slotIndex);
  if (!slot.nickAccepted) SendNumeric(server, slotIndex, kErrNicknameInUse, {});
  return slot.nickAccepted;
}

void SendWelcome(frame::Server& server, int slotIndex) REQUIRES(server.connectionLock) {
  UserTable& users = *server.users;
  UserSlot& slot = users.Slot(slotIndex);
  const frame::Settings& settings = server.settings;
  users.RegisterUser(slotIndex);
  server.desk.UserListChanged("+", slot.Nick());
  server.commLog->SetCaption(slotIndex, slot.Nick());

  SendNumeric(server, slotIndex, kRplWelcome, {slot.Nick()});
  SendNumeric(server, slotIndex, kRplYourHost, {settings.serverName, settings.programVersion});
  SendNumeric(server, slotIndex, kRplCreated, {server.startTimeText});
  SendNumeric(server, slotIndex, kRplMyInfo,
              {settings.serverName, settings.programVersion, settings.serverUserMode,
               settings.serverChanMode});
  SendNumeric(server, slotIndex, kRplLuserClient, {users.RegisteredCount(), 0, 1});
  SendNumeric(server, slotIndex, kRplLuserUnknown, {0});
  SendNumeric(server, slotIndex, kRplLuserChannels, {server.channels->Count()});
  SendNumeric(server, slotIndex, kRplLuserMe, {users.RegisteredCount(), 0});
  SendNumeric(server, slotIndex, kRplTime, {settings.serverName, frame::LongDateTime()});
  if (settings.motdLines.empty()) {
    SendNumeric(server, slotIndex, kErrNoMotd, {});
    return;
  }
  SendNumeric(server, slotIndex, kRplMotdStart, {settings.serverName});
  for (const std::string& line : settings.motdLines) {
    SendNumeric(server, slotIndex, kRplMotd, {line});
  }
  SendNumeric(server, slotIndex, kRplEndOfMotd, {});
}

}  // namespace

ConnState PasswordStep(frame::Server& server, int slotIndex, const SplitResult& line,
                       ConnState success, ConnState refusal) {
  const std::string command = UpperCase(line.command);
  frame::ProtocolLock lock(server);
  if (command == "PASS") {
    // The whole parameter text, byte for byte: a leading ':' is part of it.
    // A wrong password is refused in silence and may be tried again.
    return line.params == server.settings.serverPassWord ? success : ConnState::AwaitingPass;
  }
  if (command == "NICK") {
    (void)TakeNick(server, slotIndex, line.params);  // carries over to the login state
    return ConnState::AwaitingPass;
  }
  if (command == "USER") {
    SendNumeric(server, slotIndex, kErrBanned, {});
    return refusal;
  }
  return ConnState::AwaitingPass;  // anything else: ignored in silence
}

ConnState RegistrationStep(frame::Server& server, int slotIndex, const SplitResult& line,
                           ConnState success) {
  const std::string command = UpperCase(line.command);
  frame::ProtocolLock lock(server);
  UserSlot& slot = server.users->Slot(slotIndex);
  if (command == "NICK") {
    if (!TakeNick(server, slotIndex, line.params)) return ConnState::AwaitingLogin;
  } else if (command == "USER") {
    ParamFields fields;
    (void)SplitParams(line.params, fields, kUserFieldBytes);  // missing fields stay empty
    slot.userName = fields[0];
    slot.hostName = fields[1];
    slot.serverName = fields[2];
    slot.realName = fields[3];
    slot.userGiven = true;
  }
  if (!slot.nickAccepted || !slot.userGiven) return ConnState::AwaitingLogin;
  SendWelcome(server, slotIndex);
  return success;
}

}  // namespace zelkord::irc
