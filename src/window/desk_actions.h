// What a window does to the core, toolkit-free: snapshots of the state it
// shows (each copied under the owning lock, which is released at once) and
// the user-list actions. The Qt window and the tests share these.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "irc/protocol.h"

namespace zelkord::window {

// A member's standing in a channel, as its page shows it.
struct MemberStanding {
  bool isOperator = false;
  bool isVoiced = false;
  bool isDesk = false;  // the operator client itself
  bool operator==(const MemberStanding&) const = default;
};

struct ChannelPageSnapshot {
  std::string name;
  std::vector<std::string> members;
  // Per member, in the same order: the member list's row (the nick after
  // its highest NAMES prefix) and its standing.
  std::vector<std::string> memberRows;
  std::vector<MemberStanding> standings;
  std::string modeText;
  std::string limitText;
  std::string keyText;
  std::string topicText;
  std::vector<std::string> view;
};

// The user list rows, in registration order. Any thread.
[[nodiscard]] std::vector<std::string> SnapshotUserList(irc::ProtocolState& protocol);
// The away message of each row's user, in the rows' order: empty for a
// user who is here or no longer connected. Any thread.
[[nodiscard]] std::vector<std::string> SnapshotAwayTexts(irc::ProtocolState& protocol,
                                                         const std::vector<std::string>& rows);
// Every channel page, in table order. Any thread.
[[nodiscard]] std::vector<ChannelPageSnapshot> SnapshotChannels(irc::ProtocolState& protocol);
// The slots whose communication log page is open, in slot order. Any thread.
[[nodiscard]] std::vector<int> OpenLogPages(irc::ProtocolState& protocol);

// The channel page's limit and key texts when the channel has none; with
// one they read "+l:<limit>" and "+k:<key>". The mode text is "+" and the
// set letters ("+nt").
inline constexpr std::string_view kNoLimit = "-l:__";
inline constexpr std::string_view kNoKey = "-k:_________";

// The marks before each channel name in the user details' channel captions,
// in Shift_JIS: operator of the channel "◎", voiced member "△", plain
// member "○", not in it (an ideographic space) "　".
inline constexpr std::string_view kMarkOperator = "\x81\x9D";
inline constexpr std::string_view kMarkVoiced = "\x81\xA2";
inline constexpr std::string_view kMarkMember = "\x81\x9B";
inline constexpr std::string_view kMarkAbsent = "\x81@";

struct UserDetails {
  bool found = false;
  std::string userName;
  std::string hostName;
  std::string serverName;
  std::string realName;
  std::string address;
  std::string awayText;  // empty: here
  // One caption per channel in table order: its mark followed by the channel
  // name.
  std::vector<std::string> channelCaptions;
};

// The details of the lowest live slot whose nick folds equal to nick.
// found is false when there is none. Any thread.
[[nodiscard]] UserDetails ShowUserDetails(irc::ProtocolState& protocol, std::string_view nick);

// The user list's "forced disconnect": acts on the selected row, never on
// the first (the operator client's). false when nothing was done. Main thread.
bool ForceDisconnect(irc::ProtocolState& protocol, int selectedRow, std::string_view rowText);
// "Refuse connection": bans the user's exact address (appended even when
// listed already), then disconnects as above. Main thread.
bool RefuseConnection(irc::ProtocolState& protocol, int selectedRow, std::string_view rowText);

// The member list's commands, sent through the operator client.
enum class MemberCommand { Op, Deop, Voice, Devoice, Ban };

// The line that carries command on nick in channel: "MODE <channel> +o
// <nick>" and the like; a ban names the member's address ("+b *!*@<address>").
// Empty when no live user holds the nick. Any thread.
[[nodiscard]] std::string MemberCommandLine(irc::ProtocolState& protocol, std::string_view channel,
                                            std::string_view nick, MemberCommand command);

}  // namespace zelkord::window
