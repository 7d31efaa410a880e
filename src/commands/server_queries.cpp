// The queries about users and the server that answer the caller alone:
// USERHOST, ISON, MOTD, VERSION, TIME, ADMIN, INFO and WHOWAS, and the user
// counts LUSERS and the welcome burst share. A target server, where a
// command allows one, is not looked at: there is only this one.
#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "base/clock.h"
#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

// USERHOST answers for this many nicks; further ones are ignored.
constexpr std::size_t kUserhostNicks = 5;

// The nicks of the parameter text, whether given as separate parameters or
// spaced out in a trailing one.
std::vector<std::string_view> NickWords(std::string_view params) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < params.size()) {
    const std::size_t end = std::min(params.find(' ', pos), params.size());
    std::string_view word = params.substr(pos, end - pos);
    if (word.starts_with(':')) word.remove_prefix(1);
    if (!word.empty()) words.push_back(word);
    pos = end + 1;
  }
  return words;
}

// The registered user holding the nick, or kNotFound.
int RegisteredUser(const Step& step, std::string_view nick) REQUIRES(step.protocol.mutex) {
  const int found = step.users.FindUserByNick(nick);
  return found != irc::kNotFound && step.users.Slot(found).Registered() ? found : irc::kNotFound;
}

}  // namespace

void SendUserCounts(irc::ProtocolState& protocol, int slotIndex) {
  const int now = protocol.users->RegisteredCount();
  const int most = protocol.users->RegisteredMax();
  irc::SendNumeric(protocol, slotIndex, irc::kRplLocalUsers, {now, most, now, most});
  irc::SendNumeric(protocol, slotIndex, irc::kRplGlobalUsers, {now, most, now, most});
}

void RememberNick(irc::ProtocolState& protocol, const irc::UserSlot& user) {
  if (!user.Registered()) return;
  protocol.whowas.Add(
      {user.Nick(), user.userName, user.address, user.realName, base::LongDateTime()});
}

irc::ConnState HandleUserhost(const Step& step) {
  // "nick=+user@host": '-' for an away user; no server operators exist to
  // get their '*' after the nick.
  std::string list;
  const std::vector<std::string_view> nicks = NickWords(step.params);
  for (std::size_t i = 0; i < nicks.size() && i < kUserhostNicks; ++i) {
    const int found = RegisteredUser(step, nicks[i]);
    if (found == irc::kNotFound) continue;
    const irc::UserSlot& user = step.users.Slot(found);
    if (!list.empty()) list.push_back(' ');
    list.append(user.Nick()).append(user.awayText.empty() ? "=+" : "=-");
    list.append(user.userName).append("@").append(user.address);
  }
  irc::SendNumeric(step.protocol, step.slot, irc::kRplUserHost, {list});
  return step.state;
}

irc::ConnState HandleIson(const Step& step) {
  const std::size_t room = irc::ListRoom(
      irc::FormatNumeric(step.protocol.settings.serverName, irc::kRplIsOn, step.self.Nick(), {""}));
  std::string list;
  for (std::string_view nick : NickWords(step.params)) {
    const int found = RegisteredUser(step, nick);
    if (found == irc::kNotFound) continue;
    // Each nick as its holder registered it, whatever case it was asked in.
    const std::string& online = step.users.Slot(found).Nick();
    if (list.size() + 1 + online.size() > room) break;  // the rest would not fit one line
    if (!list.empty()) list.push_back(' ');
    list.append(online);
  }
  irc::SendNumeric(step.protocol, step.slot, irc::kRplIsOn, {list});
  return step.state;
}

irc::ConnState HandleMotd(const Step& step) {
  SendMotd(step.protocol, step.slot);
  return step.state;
}

irc::ConnState HandleVersion(const Step& step) {
  const config::Settings& settings = step.protocol.settings;
  irc::SendNumeric(step.protocol, step.slot, irc::kRplVersion,
                   {settings.programVersion, settings.serverName, settings.serverInformation});
  SendSupported(step.protocol, step.slot);
  return step.state;
}

irc::ConnState HandleTime(const Step& step) {
  irc::SendNumeric(step.protocol, step.slot, irc::kRplTime,
                   {step.protocol.settings.serverName, base::LongDateTime()});
  return step.state;
}

irc::ConnState HandleAdmin(const Step& step) {
  // The place is the server's information; the administrator is the desk's
  // own client, reachable under its nick.
  const config::Settings& settings = step.protocol.settings;
  irc::SendNumeric(step.protocol, step.slot, irc::kRplAdminMe, {settings.serverName});
  irc::SendNumeric(step.protocol, step.slot, irc::kRplAdminLoc1, {settings.serverInformation});
  irc::SendNumeric(step.protocol, step.slot, irc::kRplAdminLoc2, {settings.clientReal});
  irc::SendNumeric(step.protocol, step.slot, irc::kRplAdminEmail, {settings.clientNick});
  return step.state;
}

irc::ConnState HandleInfo(const Step& step) {
  const config::Settings& settings = step.protocol.settings;
  const std::string lines[] = {
      irc::FormatRelay(irc::kRelayInfoProgram, {settings.programVersion}),
      irc::FormatRelay(irc::kRelayInfoServer, {settings.serverName, settings.serverInformation}),
      irc::FormatRelay(irc::kRelayInfoStarted, {step.protocol.startTimeText}),
  };
  for (const std::string& line : lines) {
    irc::SendNumeric(step.protocol, step.slot, irc::kRplInfo, {line});
  }
  irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfInfo, {});
  return step.state;
}

irc::ConnState HandleWhowas(const Step& step) {
  const std::string& nick = step.fields[0];
  const std::string& countText = step.fields[1];
  int limit = 0;  // a count that is missing, not a number or not positive: every entry
  (void)std::from_chars(countText.data(), countText.data() + countText.size(), limit);
  const std::vector<irc::WhowasEntry> entries = step.protocol.whowas.Find(nick, limit);
  if (entries.empty()) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrWasNoSuchNick, {nick});
  }
  for (const irc::WhowasEntry& entry : entries) {
    irc::SendNumeric(step.protocol, step.slot, irc::kRplWhowasUser,
                     {entry.nick, entry.userName, entry.host, entry.realName});
    // As for WHOIS, but with when the nick was given up in place of the
    // server's information.
    irc::SendNumeric(step.protocol, step.slot, irc::kRplWhoisServer,
                     {entry.nick, step.protocol.settings.serverName, entry.when});
  }
  irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfWhowas, {nick});
  return step.state;
}

}  // namespace zelkord::commands
