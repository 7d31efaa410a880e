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

// Labels, buttons and groups of the settings pages.
inline constexpr const char* kVersion = "ﾊﾞｰｼﾞｮﾝ";
inline constexpr const char* kSupportMode = "ｻﾎﾟｰﾄﾓｰﾄﾞ";
inline constexpr const char* kUserMax = "最大接続数";
inline constexpr const char* kChanMax = "最大ﾁｬﾝﾈﾙ数";
inline constexpr const char* kAddressMax = "同一ｱﾄﾞﾚｽ最大接続数";
inline constexpr const char* kRegisterTimeout = "登録待ち秒数";
inline constexpr const char* kFloodBurst = "連続受信行数";
inline constexpr const char* kFloodRate = "毎秒処理行数";
inline constexpr const char* kPort = "ﾎﾟｰﾄ番号";
inline constexpr const char* kPassWord = "ﾊﾟｽﾜｰﾄﾞ";
inline constexpr const char* kServerName = "ｻｰﾊﾞｰ名称";
inline constexpr const char* kServerInformation = "ｻｰﾊﾞｰ情報";
inline constexpr const char* kMotd = "挨拶文";
inline constexpr const char* kCharset = "文字コード";
inline constexpr const char* kTlsPort = "TLSポート";
inline constexpr const char* kTlsCertificate = "TLS証明書";
inline constexpr const char* kTlsKey = "TLS秘密鍵";
inline constexpr const char* kBrowse = "ﾌﾞﾗｳｽﾞ";
inline constexpr const char* kRefuseGroup = "接続拒否";
inline constexpr const char* kBanAdd = "追加";
inline constexpr const char* kBanReplace = "上書";
inline constexpr const char* kBanDelete = "削除";
inline constexpr const char* kNick = "ﾆｯｸ名";
inline constexpr const char* kReal = "ﾕｰｻﾞｰ名";
inline constexpr const char* kChannelName = "ﾁｬﾝﾈﾙ名";
inline constexpr const char* kJoin = "Join";
inline constexpr const char* kPart = "Part";
inline constexpr const char* kLogLines = "教示件数";
inline constexpr const char* kLogSave = "ﾛｸﾞを保管する";
inline constexpr const char* kLogPath = "保管場所";
inline constexpr const char* kWebSend = "ﾛｸﾞを公開する";
inline constexpr const char* kIndexForm = "indexﾌｫｰﾑ";
inline constexpr const char* kLogForm = "logﾌｫｰﾑ";

// Dialog titles.
inline constexpr const char* kChooseMotd = "挨拶文ﾌｧｲﾙ選択";
inline constexpr const char* kChooseIndexForm = "indexﾌｫｰﾑ選択";
inline constexpr const char* kChooseLogForm = "logﾌｫｰﾑ選択";
inline constexpr const char* kChooseLogPath = "ﾛｸﾞ保管場所選択";

// Pop-up menu items.
inline constexpr const char* kBackColor = "背景色";
inline constexpr const char* kForeColor = "文字色";
inline constexpr const char* kForceDisconnect = "強制切断";
inline constexpr const char* kRefuseConnection = "接続拒否";

}  // namespace zelkord::window::qt
