// The system's own Japanese texts, as the Shift_JIS bytes that go into the
// channel views and the day logs. Spelled as escapes so the bytes
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

}  // namespace zelkord::base::jp
