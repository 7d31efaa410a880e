// The commands of registration: PASS (only when the server has a
// password), then NICK and USER in either order, ending in the welcome
// burst. A NICK given in the password state carries over to the login state.
#include <string>

#include "base/clock.h"
#include "base/sjis.h"
#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

// USER fields are kept to this many bytes each.
constexpr std::size_t kUserFieldBytes = 255;

// A USER field as kept: cut to kUserFieldBytes, never inside a character.
std::string UserField(std::string_view field) {
  return std::string(field.substr(0, base::SjisPrefix(field, kUserFieldBytes)));
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

// Registers the connection once a free nick and a USER line have both
// been accepted.
irc::ConnState CompleteRegistration(const Step& step) REQUIRES(step.protocol.mutex) {
  if (!step.self.NickAccepted() || !step.self.userGiven) return irc::ConnState::AwaitingLogin;
  SendWelcome(step.protocol, step.slot);
  return irc::ConnState::Serving;
}

}  // namespace

irc::ConnState HandlePass(const Step& step) {
  if (step.state != irc::ConnState::AwaitingPass) return step.state;  // ignored in silence
  // The whole parameter text, byte for byte: a leading ':' is part of it.
  // A wrong password is refused in silence and may be tried again.
  if (step.params != step.protocol.settings.serverPassWord) return step.state;
  return irc::ConnState::AwaitingLogin;
}

irc::ConnState RegisteringNick(const Step& step) {
  irc::UserTable& users = step.users;
  users.SetNick(step.slot, step.params);
  users.SetNickAccepted(step.slot, users.IsNickFree(step.slot));
  if (!step.self.NickAccepted()) {
    SendNumeric(step.protocol, step.slot, irc::kErrNicknameInUse, {});
    return step.state;
  }
  if (step.state == irc::ConnState::AwaitingPass) return step.state;
  return CompleteRegistration(step);
}

irc::ConnState HandleUser(const Step& step) {
  if (step.state == irc::ConnState::Serving) return step.state;  // ignored in silence
  if (step.state == irc::ConnState::AwaitingPass) {
    SendNumeric(step.protocol, step.slot, irc::kErrBanned, {});
    return irc::ConnState::Closing;
  }
  // Missing fields stay empty.
  irc::UserSlot& slot = step.self;
  slot.userName = UserField(step.fields[0]);
  slot.hostName = UserField(step.fields[1]);
  slot.serverName = UserField(step.fields[2]);
  slot.realName = UserField(step.fields[3]);
  slot.userGiven = true;
  return CompleteRegistration(step);
}

}  // namespace zelkord::commands
