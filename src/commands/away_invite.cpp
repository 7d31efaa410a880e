// AWAY and INVITE, and what other commands ask of them: the 301 reply about
// an away user, the away-notify line after an away user's JOIN, and the
// use of an invitation by that join.
#include <algorithm>
#include <string>
#include <vector>

#include "base/sjis.h"
#include "commands/handlers.h"

namespace zelkord::commands {
namespace {

// Adds to out the live member slots of the channel of index that enabled
// capability, keeping out sorted and free of repeats.
void AddMembersWith(const Step& step, int index, std::uint32_t capability, std::vector<int>& out)
    REQUIRES(step.protocol.mutex) {
  std::vector<int> members;
  step.channels.MemberSlots(index, step.users, members);
  for (int member : members) {
    if ((step.users.Slot(member).capabilities & capability) == 0) continue;
    auto place = std::lower_bound(out.begin(), out.end(), member);
    if (place == out.end() || *place != member) out.insert(place, member);
  }
}

// The AWAY line of the sender as it is now: with its message, or without
// one for a user who is back.
std::string AwayLine(const irc::UserSlot& self) {
  if (self.awayText.empty()) {
    return irc::FormatRelay(irc::kRelayUnaway, {self.Nick(), self.userName, self.address});
  }
  return irc::FormatRelay(irc::kRelayAway,
                          {self.Nick(), self.userName, self.address, self.awayText});
}

}  // namespace

irc::ConnState HandleAway(const Step& step) {
  irc::UserSlot& self = step.self;
  const std::string_view text = step.count > 0 ? std::string_view(step.fields[0]) : "";
  const std::string awayText(text.substr(0, base::SjisPrefix(text, kAwayLenBytes)));
  SendNumeric(step.protocol, step.slot, awayText.empty() ? irc::kRplUnaway : irc::kRplNowAway, {});
  // Only a change is told: going away again with the same message, or
  // coming back while here, tells nobody.
  if (awayText == self.awayText) return step.state;
  self.awayText = awayText;
  step.protocol.desk.AwayChanged(self.Nick(), self.awayText);
  std::vector<int> notified;
  for (const irc::JoinedChannel& joined : self.channels) {
    AddMembersWith(step, step.channels.FindChannel(joined.name), irc::kCapAwayNotify, notified);
  }
  irc::SendToSlots(step.protocol, notified, AwayLine(self), step.slot);
  return step.state;
}

irc::ConnState HandleInvite(const Step& step) {
  const std::string& nick = step.fields[0];
  const std::string& name = step.fields[1];
  irc::UserSlot& self = step.self;

  const int target = step.users.FindUserByNick(nick);
  if (target == irc::kNotFound || !step.users.Slot(target).Registered()) {
    SendNumeric(step.protocol, step.slot, irc::kErrNoSuchNick, {nick});
    return step.state;
  }
  const int index = step.channels.FindChannel(name);
  if (index == irc::kNotFound) {
    SendNumeric(step.protocol, step.slot, irc::kErrNoSuchChannel, {name});
    return step.state;
  }
  if (FindJoined(self, name) == nullptr) {
    SendNumeric(step.protocol, step.slot, irc::kErrNotOnChannel, {name});
    return step.state;
  }
  irc::UserSlot& invitee = step.users.Slot(target);
  if (FindJoined(invitee, name) != nullptr) {
    SendNumeric(step.protocol, step.slot, irc::kErrUserOnChannel, {invitee.Nick(), name});
    return step.state;
  }
  std::vector<std::string>& invitations = invitee.invitations;
  if (std::find(invitations.begin(), invitations.end(), name) == invitations.end()) {
    if (invitations.size() == irc::kInvitationsKept) invitations.erase(invitations.begin());
    invitations.push_back(name);
  }
  SendNumeric(step.protocol, step.slot, irc::kRplInviting, {invitee.Nick(), name});
  const std::string relay = irc::FormatRelay(
      irc::kRelayInvite, {self.Nick(), self.userName, self.address, invitee.Nick(), name});
  irc::SendLine(step.protocol, invitee.socket, relay);
  // invite-notify: the channel's operators see who invited whom.
  std::vector<int> members;
  AddMembersWith(step, index, irc::kCapInviteNotify, members);
  std::erase_if(members, [&](int member) {
    const irc::JoinedChannel* joined = FindJoined(step.users.Slot(member), name);
    return member == step.slot || member == target || joined == nullptr || !joined->isOperator;
  });
  irc::SendToSlots(step.protocol, members, relay);
  SendAwayReply(step, target);
  return step.state;
}

void SendAwayReply(const Step& step, int target) {
  const irc::UserSlot& user = step.users.Slot(target);
  if (user.awayText.empty()) return;
  SendNumeric(step.protocol, step.slot, irc::kRplAway, {user.Nick(), user.awayText});
}

void NoteJoined(const Step& step, int index) {
  irc::UserSlot& self = step.self;
  std::erase(self.invitations, step.channels.ChannelName(index));
  if (self.awayText.empty()) return;
  std::vector<int> notified;
  AddMembersWith(step, index, irc::kCapAwayNotify, notified);
  irc::SendToSlots(step.protocol, notified, AwayLine(self), step.slot);
}

}  // namespace zelkord::commands
