// The text rules of the protocol that the server enforces and names in its
// 005 line: what a nickname and a channel name may hold, how long names and
// texts may be, how a target list is split and how a CAP REQ is read. Pure
// text work on Shift_JIS; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zelkord::irc {

// Lengths in bytes of the server's own text (Shift_JIS).
inline constexpr std::size_t kNickLen = 30;
inline constexpr std::size_t kChannelLen = 64;
inline constexpr std::size_t kTopicLen = 300;
inline constexpr std::size_t kKickLen = 255;
// The most targets one PRIVMSG, NOTICE, WHOIS or KICK line may name.
inline constexpr int kMaxTargets = 4;
// The characters a channel name may start with.
inline constexpr std::string_view kChannelTypes = "#&";

// Letters, digits, "[]\`_^{|}-", double-byte characters and half-width
// katakana; not starting with a digit or '-'; 1 to kNickLen bytes.
[[nodiscard]] bool IsValidNick(std::string_view nick);

enum class ChannelNameCheck {
  Valid,
  NotAChannel,  // does not start with a channel type: 403
  Illegal,      // a space, comma, BEL, NUL or CR/LF, or longer than kChannelLen: 479
};
[[nodiscard]] ChannelNameCheck CheckChannelName(std::string_view name);

// The items of a comma-separated list, empty ones left out.
[[nodiscard]] std::vector<std::string_view> SplitList(std::string_view list);

// One word of a CAP REQ: a capability name, to be switched off when removing.
struct CapRequestWord {
  std::string_view name;
  bool removing = false;
};
// The words of a CAP REQ text, split on spaces, a leading '-' read off.
[[nodiscard]] std::vector<CapRequestWord> SplitCapRequest(std::string_view request);

// A ban mask as kept: "nick" becomes "nick!*@*", "user@host" becomes
// "*!user@host", "nick!user" becomes "nick!user@*"; an empty part becomes "*".
[[nodiscard]] std::string NormalizeBanMask(std::string_view mask);

// Whether text matches the mask, '*' standing for any run of bytes and '?'
// for any one byte, after both are upper-cased as nicks are.
[[nodiscard]] bool MatchMask(std::string_view mask, std::string_view text);

// The text cut to at most limit bytes, never inside a double-byte character.
[[nodiscard]] std::string CutText(std::string_view text, std::size_t limit);

}  // namespace zelkord::irc
