// The window's own captions and labels, as UTF-8 display text. Kept in one
// place so the tests can check each against its Shift_JIS bytes: a caption
// typed with a full-width kana where the window shows a half-width one (or
// a source read in another encoding) is a real fault.
#pragma once

namespace zelkord::window::qt {

inline constexpr const char* kAppTitle = "Zelkord";
inline constexpr const char* kSettingsTab = "設定";
inline constexpr const char* kSaveSettings = "設定の保管";
inline constexpr const char* kHomePage = "Zelkord ﾎｰﾑﾍﾟｰｼﾞ";
inline constexpr const char* kQuit = "Zelkord の終了";
inline constexpr const char* kCommLogTab = "通信ログ";

// The five settings pages.
inline constexpr const char* kProgramPage = "ﾌﾟﾛｸﾞﾗﾑ";
inline constexpr const char* kServerPage = "ｻｰﾊﾞｰ";
inline constexpr const char* kClientPage = "ｸﾗｲｱﾝﾄ";
inline constexpr const char* kLogPage = "ﾛｸﾞ";
inline constexpr const char* kWebPage = "WEB";

// Buttons and groups of the settings pages; the fields' captions are in
// the settings table.
inline constexpr const char* kBrowse = "ﾌﾞﾗｳｽﾞ";
inline constexpr const char* kRefuseGroup = "接続拒否";
inline constexpr const char* kBanAdd = "追加";
inline constexpr const char* kBanReplace = "上書";
inline constexpr const char* kBanDelete = "削除";
inline constexpr const char* kChannelName = "ﾁｬﾝﾈﾙ名";
inline constexpr const char* kJoin = "Join";
inline constexpr const char* kPart = "Part";

// Pop-up menu items.
inline constexpr const char* kBackColor = "背景色";
inline constexpr const char* kForeColor = "文字色";
inline constexpr const char* kForceDisconnect = "強制切断";
inline constexpr const char* kRefuseConnection = "接続拒否";
// The member list's, on the selected member of the page's channel.
inline constexpr const char* kGiveOperator = "ｵﾍﾟﾚｰﾀｰ権限を与える";
inline constexpr const char* kTakeOperator = "ｵﾍﾟﾚｰﾀｰ権限を外す";
inline constexpr const char* kGiveVoice = "発言権を与える";
inline constexpr const char* kTakeVoice = "発言権を外す";
inline constexpr const char* kBanFromChannel = "ﾁｬﾝﾈﾙから締め出す";

// Before an away user's message, in the tips of the user-list row and the
// user details.
inline constexpr const char* kAwayTip = "離席中：";

}  // namespace zelkord::window::qt
