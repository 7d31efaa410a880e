// The system's own Japanese texts, as the Shift_JIS bytes that go into the
// views, the day logs and the status pages. Spelled as escapes so the bytes
// do not depend on the source file's encoding.
#pragma once

#include <string_view>

namespace zelkord::base::jp {

// a member joins: " entered the room": " 入室"
inline constexpr std::string_view kEntered = " \x93\xFC\x8E\xBA";

// a member parts: " left the room": " 退室"
inline constexpr std::string_view kLeft = " \x91\xDE\x8E\xBA";

// a connection ends: " disconnected": " 切断"
inline constexpr std::string_view kDisconnected =
    " \x90\xD8\x92"
    "f";

// QUIT: " left" with a full-width colon: " 退室："
inline constexpr std::string_view kQuitLeft =
    " \x91\xDE\x8E\xBA\x81"
    "F";

// nickname change: "ニックネーム変更 "
inline constexpr std::string_view kNickChange =
    "\x83j\x83"
    "b\x83N\x83l\x81[\x83\x80\x95\xCF\x8DX ";

// caption mark: operator of the channel: "◎"
inline constexpr std::string_view kMarkOperator = "\x81\x9D";

// caption mark: plain member: "○"
inline constexpr std::string_view kMarkMember = "\x81\x9B";

// caption mark: not in the channel (ideographic space): "　"
inline constexpr std::string_view kMarkAbsent = "\x81@";

// index page header cells: channel name, user count, topic:
// "<TD>チャンネル名</TD><TD>ユーザ数</TD><TD>トピック</TD>"
inline constexpr std::string_view kIndexHeaderRow =
    "<TD>\x83`\x83\x83\x83\x93\x83l\x83\x8B\x96\xBC</TD><TD>\x83\x86\x81[\x83U\x90\x94</"
    "TD><TD>\x83g\x83s\x83"
    "b\x83N</TD>";

// communication log page caption: "通信ログ"
inline constexpr std::string_view kCommLogCaption = "\x92\xCA\x90M\x83\x8D\x83O";

}  // namespace zelkord::base::jp
