// The commands of registration: PASS (only when the server has a
// password), then NICK and USER in either order, ending in the welcome
// burst, which a capability negotiation holds until its CAP END. A NICK
// given in the password state carries over to the login state.
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/sjis.h"
#include "commands/handlers.h"
#include "irc/name_rules.h"

namespace zelkord::commands {
namespace {

// USER fields are kept to this many bytes each.
constexpr std::size_t kUserFieldBytes = 255;
// The most tokens one 005 line names.
constexpr int kTokensPerLine = 13;

// A USER field as kept: cut to kUserFieldBytes, never inside a character.
std::string UserField(std::string_view field) {
  return std::string(field.substr(0, base::SjisPrefix(field, kUserFieldBytes)));
}

// The commands that take a list of targets, and how many: none after the
// colon means no limit but the line's.
std::string Targmax() {
  const std::string most = std::to_string(irc::kMaxTargets);
  return "JOIN:,PART:,NAMES:,PRIVMSG:" + most + ",NOTICE:" + most + ",WHOIS:" + most +
         ",KICK:" + most;
}

// Of the letters, those offered, in the order given.
std::string OfferedOf(std::string_view letters, std::string_view offered) {
  std::string kept;
  for (char letter : letters) {
    if (offered.find(letter) != std::string_view::npos) kept.push_back(letter);
  }
  return kept;
}

// PREFIX: the offered member prefixes, highest first.
std::string Prefixes(std::string_view offered) {
  const std::string letters = OfferedOf("ov", offered);
  std::string marks;
  for (char letter : letters) marks.push_back(letter == 'o' ? '@' : '+');
  return "(" + letters + ")" + marks;
}

// CHANMODES: the offered list, always-parameter, set-parameter and flag
// letters.
std::string ModeTypes(std::string_view offered) {
  return OfferedOf("b", offered) + "," + OfferedOf("k", offered) + "," + OfferedOf("l", offered) +
         "," + OfferedOf(irc::kChannelFlagLetters, offered);
}

// The 005 tokens: what a client may rely on. Lengths and types are the
// ones the server enforces; a limit it does not enforce is not named.
// historyMax: the most lines a history request returns; 0 without history.
std::vector<std::string> SupportedTokens(const config::Settings& settings, std::size_t historyMax) {
  const std::string& network =
      settings.serverNetwork.empty() ? settings.serverName : settings.serverNetwork;
  const std::string offered = irc::OfferedChannelModes(settings.serverChanMode);
  std::vector<std::string> tokens{
      "CASEMAPPING=ascii",
      "CHANTYPES=" + std::string(irc::kChannelTypes),
      "PREFIX=" + Prefixes(offered),
      "CHANMODES=" + ModeTypes(offered),
      "MODES=" + std::to_string(irc::kMaxModeChanges),
      "NICKLEN=" + std::to_string(irc::kNickLen),
      "CHANNELLEN=" + std::to_string(irc::kChannelLen),
      "TOPICLEN=" + std::to_string(irc::kTopicLen),
      "KICKLEN=" + std::to_string(irc::kKickLen),
      "NETWORK=" + network,
      "TARGMAX=" + Targmax(),
      "AWAYLEN=" + std::to_string(kAwayLenBytes),
  };
  if (offered.find('b') != std::string::npos) {
    tokens.push_back("MAXLIST=b:" + std::to_string(irc::kMaxBans));
  }
  // Client-only tags other than these are dropped, not passed on.
  tokens.push_back("CLIENTTAGDENY=*,-draft/react,-draft/reply,-typing");
  if (historyMax > 0) {
    tokens.push_back("CHATHISTORY=" + std::to_string(historyMax));
    tokens.push_back("MSGREFTYPES=msgid,timestamp");
  }
  return tokens;
}

}  // namespace

void SendSupported(irc::ProtocolState& protocol, int slotIndex) REQUIRES(protocol.mutex) {
  const std::string& nick = protocol.users->Slot(slotIndex).Nick();
  const std::string fixed =
      irc::FormatNumeric(protocol.settings.serverName, irc::kRplISupport, nick, {""});
  const std::size_t room = irc::ListRoom(fixed);
  std::string text;
  int tokens = 0;
  for (const std::string& token :
       SupportedTokens(protocol.settings, protocol.history != nullptr ? protocol.historyMax : 0)) {
    if (tokens > 0 && (tokens == kTokensPerLine || text.size() + 1 + token.size() > room)) {
      SendNumeric(protocol, slotIndex, irc::kRplISupport, {text});
      text.clear();
      tokens = 0;
    }
    if (tokens > 0) text.push_back(' ');
    text.append(token);
    ++tokens;
  }
  SendNumeric(protocol, slotIndex, irc::kRplISupport, {text});
}

void SendMotd(irc::ProtocolState& protocol, int slotIndex) {
  const config::Settings& settings = protocol.settings;
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

namespace {

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
              {settings.serverName, settings.programVersion, UserModeLetters(settings),
               irc::OfferedChannelModes(settings.serverChanMode)});
  SendSupported(protocol, slotIndex);
  const int invisible = users.InvisibleCount();
  SendNumeric(protocol, slotIndex, irc::kRplLuserClient,
              {users.RegisteredCount() - invisible, invisible, 1});
  SendNumeric(protocol, slotIndex, irc::kRplLuserUnknown, {0});
  SendNumeric(protocol, slotIndex, irc::kRplLuserChannels, {protocol.channels->Count()});
  SendNumeric(protocol, slotIndex, irc::kRplLuserMe, {users.RegisteredCount(), 0});
  SendUserCounts(protocol, slotIndex);
  SendNumeric(protocol, slotIndex, irc::kRplTime, {settings.serverName, base::LongDateTime()});
  SendMotd(protocol, slotIndex);
}

}  // namespace

irc::ConnState CompleteRegistration(const Step& step) {
  const irc::UserSlot& self = step.self;
  if (!self.NickAccepted() || !self.userGiven || self.capHeld) {
    return irc::ConnState::AwaitingLogin;
  }
  SendWelcome(step.protocol, step.slot);
  return irc::ConnState::Serving;
}

irc::ConnState HandlePass(const Step& step) {
  if (step.state == irc::ConnState::Serving) {
    SendNumeric(step.protocol, step.slot, irc::kErrAlreadyRegistered, {});
    return step.state;
  }
  if (step.state != irc::ConnState::AwaitingPass) return step.state;  // ignored in silence
  // The whole parameter text, byte for byte: a leading ':' is part of it.
  // A wrong password is refused in silence and may be tried again.
  if (step.params != step.protocol.settings.serverPassWord) return step.state;
  return irc::ConnState::AwaitingLogin;
}

irc::ConnState RegisteringNick(const Step& step) {
  irc::UserTable& users = step.users;
  users.SetNick(step.slot, step.fields[0]);
  users.SetNickAccepted(step.slot, users.IsNickFree(step.slot));
  if (!step.self.NickAccepted()) {
    irc::SendReply(step.protocol, step.slot, irc::kErrNicknameInUse, {step.fields[0]});
    return step.state;
  }
  if (step.state == irc::ConnState::AwaitingPass) return step.state;
  return CompleteRegistration(step);
}

irc::ConnState HandleUser(const Step& step) {
  if (step.state == irc::ConnState::Serving) {
    SendNumeric(step.protocol, step.slot, irc::kErrAlreadyRegistered, {});
    return step.state;
  }
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
