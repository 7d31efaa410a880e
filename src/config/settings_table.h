// The settings keys of the Program, Server, Client, Log, Web, Color and
// History sections as one table: each key's place in the file, its default, what
// its text must be, whether a reload applies it, and its field on the
// settings pages. The record of their values, Settings, is declared beside
// it. Defaults, loading and its checks, the save order, the page model, the
// window's pages and the reload's report all read the table; a new key is
// one member and one row here. The ban list and the window position have
// sections of their own with their own rules and are not in the table.
#pragma once

#include <array>
#include <climits>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelkord::config {

// The text values of the table's keys, each exactly as read or its default,
// and the message of the day.
struct Settings {
  std::string programVersion, programUserMax, programChanMax, programAddressMax,
      programRegisterTimeout, programFloodBurst, programFloodRate;
  std::string serverPort, serverPassWord, serverName, serverInformation, serverUserMode,
      serverChanMode, serverMotdPath, serverCharset, serverTlsPort, serverTlsCertificate,
      serverTlsKey, serverNetwork, serverChannelModes;
  std::string clientNick, clientReal;
  std::string logLines, logSave, logPath;
  std::string webPort, webPassWord, webSend, webIndexForm, webLogForm, webMetrics,
      webMetricsAddress;
  std::string colorWebLogBack, colorWebLogFore, colorLogBack, colorLogFore;
  std::string historySave, historyPath, historyDays, historyMax;
  std::vector<std::string> motdLines;  // 0 to kMotdMaxLines entries
  // The [Operators] section: an operator's name and its password hash (see
  // operator_password.h), in file order. Not in the table: its keys are
  // the operators' own names.
  std::vector<std::pair<std::string, std::string>> operators;
};

// What a key's text must be. A number is a decimal int within the row's
// bounds; a switch is on only for exactly "Enable"; an encoding is one the
// text layer names; a colour is one ColorFromText reads; an address is a
// numeric IPv4 or IPv6 address, or empty.
enum class SettingKind { Text, Number, Switch, Colour, Encoding, Path, Address };

// Where a default comes from: the row's text itself, the program's
// version, the message of the day beside the settings file, or the
// settings file's folder followed by the row's text.
enum class DefaultFrom { Text, Version, MotdFile, Folder };

// What a reload does with a changed value.
enum class AppliedBy {
  Reload,     // applies at once
  NextStart,  // reported as waiting for the next start
  TlsReload,  // applies at once while TLS runs, otherwise waits
  WebReload,  // starts the web service when it is off; while it runs, waits
  Window,     // the window holds it; a reload leaves it alone
};

enum class SettingsPageId { None, Program, Server, Client, Log, Web };

// A field's widget: a line of text (read-only or not), a check box (the
// caption is its text and it has no label), or a line with a list of
// choices, which keeps any text the file holds.
enum class FieldWidget { Line, ReadOnly, Check, Choice };

// The encodings a Choice field offers.
inline constexpr std::array<const char*, 3> kEncodingChoices{"ISO-2022-JP", "UTF-8", "Shift_JIS"};

// A key's field on the settings pages: label in column 0, the field from
// column 1 over span columns, a browse button after it when browseName is
// set (a file dialog with that default suffix, or a folder dialog when
// suffix is null). Fields sharing a grid row share its label and stand side
// by side.
struct PageField {
  SettingsPageId page = SettingsPageId::None;
  int row = 0;
  FieldWidget widget = FieldWidget::Line;
  const char* caption = nullptr;  // UTF-8 display text
  const char* name = nullptr;     // the widget's object name
  int span = 1;
  const char* browseName = nullptr;
  const char* browseTitle = nullptr;  // UTF-8 display text
  const char* suffix = nullptr;
};

struct SettingsKey {
  const char* section;
  const char* key;
  std::string Settings::*value;
  const char* text = "";  // the default, or its part after the folder
  DefaultFrom from = DefaultFrom::Text;
  SettingKind kind = SettingKind::Text;
  AppliedBy applied = AppliedBy::NextStart;
  PageField field;
  // Number bounds. Empty text is a number's "none" when emptyIsNone; a
  // value outside the bounds is refused with "Settings value S.K \"text\" "
  // and outOfRange. When boundsIf names another key of the section, the
  // bounds hold only while that key's number is above 0.
  bool emptyIsNone = false;
  int least = INT_MIN;
  int most = INT_MAX;
  const char* outOfRange = nullptr;
  const char* boundsIf = nullptr;
};

// Every key, in the order the file holds them within their sections.
inline constexpr SettingsKey kSettingsTable[] = {
    {.section = "Program",
     .key = "Version",
     .value = &Settings::programVersion,
     .from = DefaultFrom::Version,
     .field = {SettingsPageId::Program, 0, FieldWidget::ReadOnly, "ﾊﾞｰｼﾞｮﾝ", "EditVersion"}},
    {.section = "Program",
     .key = "UserMax",
     .value = &Settings::programUserMax,
     .text = "64",
     .kind = SettingKind::Number,
     .field = {SettingsPageId::Program, 2, FieldWidget::Line, "最大接続数", "EditUserMax"}},
    {.section = "Program",
     .key = "ChanMax",
     .value = &Settings::programChanMax,
     .text = "10",
     .kind = SettingKind::Number,
     .field = {SettingsPageId::Program, 3, FieldWidget::Line, "最大ﾁｬﾝﾈﾙ数", "EditChanMax"}},
    {.section = "Program",
     .key = "AddressMax",
     .value = &Settings::programAddressMax,
     .text = "0",
     .kind = SettingKind::Number,
     .field = {SettingsPageId::Program, 4, FieldWidget::Line, "同一ｱﾄﾞﾚｽ最大接続数",
               "EditAddressMax"}},
    {.section = "Program",
     .key = "RegisterTimeout",
     .value = &Settings::programRegisterTimeout,
     .text = "0",
     .kind = SettingKind::Number,
     .field = {SettingsPageId::Program, 5, FieldWidget::Line, "登録待ち秒数",
               "EditRegisterTimeout"}},
    {.section = "Program",
     .key = "FloodBurst",
     .value = &Settings::programFloodBurst,
     .text = "0",
     .kind = SettingKind::Number,
     .field = {SettingsPageId::Program, 6, FieldWidget::Line, "連続受信行数", "EditFloodBurst"},
     .most = 10000,  // the flood bucket's capacity
     .outOfRange = "is too large: write 0 (no flood control) or at most 10000."},
    {.section = "Program",
     .key = "FloodRate",
     .value = &Settings::programFloodRate,
     .text = "1",
     .kind = SettingKind::Number,
     .field = {SettingsPageId::Program, 7, FieldWidget::Line, "毎秒処理行数", "EditFloodRate"},
     .least = 1,
     .outOfRange = "is below 1: with Program.FloodBurst set, write the lines a client may send a"
                   " second, at least 1.",
     .boundsIf = "FloodBurst"},
    {.section = "Server",
     .key = "Port",
     .value = &Settings::serverPort,
     .text = "6667",
     .kind = SettingKind::Number,
     .field = {SettingsPageId::Server, 0, FieldWidget::Line, "ﾎﾟｰﾄ番号", "EditPort"}},
    {.section = "Server",
     .key = "PassWord",
     .value = &Settings::serverPassWord,
     .field = {SettingsPageId::Server, 1, FieldWidget::Line, "ﾊﾟｽﾜｰﾄﾞ", "EditPassWord"}},
    {.section = "Server",
     .key = "Name",
     .value = &Settings::serverName,
     .text = "Zel.Server(^^",
     .field = {SettingsPageId::Server, 2, FieldWidget::Line, "ｻｰﾊﾞｰ名称", "EditName"}},
    {.section = "Server",
     .key = "Information",
     .value = &Settings::serverInformation,
     .text = "Harbor City",
     .field = {SettingsPageId::Server, 3, FieldWidget::Line, "ｻｰﾊﾞｰ情報", "EditInformation"}},
    {.section = "Server",
     .key = "UserMode",
     .value = &Settings::serverUserMode,
     .text = "oirw",
     .field = {SettingsPageId::Program, 1, FieldWidget::ReadOnly, "ｻﾎﾟｰﾄﾓｰﾄﾞ", "EditUserMode"}},
    {.section = "Server",
     .key = "ChanMode",
     .value = &Settings::serverChanMode,
     .text = "abiklmnopqstv",
     .field = {SettingsPageId::Program, 1, FieldWidget::ReadOnly, "ｻﾎﾟｰﾄﾓｰﾄﾞ", "EditChanMode"}},
    {.section = "Server",
     .key = "MotdPath",
     .value = &Settings::serverMotdPath,
     .from = DefaultFrom::MotdFile,
     .kind = SettingKind::Path,
     .applied = AppliedBy::Reload,
     .field = {SettingsPageId::Server, 4, FieldWidget::Line, "挨拶文", "EditMotdPath", 3,
               "ButtonBrowseMotd", "挨拶文ﾌｧｲﾙ選択", "MTD"}},
    {.section = "Server",
     .key = "Charset",
     .value = &Settings::serverCharset,
     .text = "ISO-2022-JP",
     .kind = SettingKind::Encoding,
     .field = {SettingsPageId::Server, 5, FieldWidget::Choice, "文字コード", "ComboCharset"}},
    {.section = "Server",
     .key = "TlsPort",
     .value = &Settings::serverTlsPort,
     .kind = SettingKind::Number,
     .field = {SettingsPageId::Server, 6, FieldWidget::Line, "TLSポート", "EditTlsPort"},
     .emptyIsNone = true},
    {.section = "Server",
     .key = "TlsCertificate",
     .value = &Settings::serverTlsCertificate,
     .text = "zelkord.crt",
     .from = DefaultFrom::Folder,
     .kind = SettingKind::Path,
     .applied = AppliedBy::TlsReload,
     .field = {SettingsPageId::Server, 7, FieldWidget::Line, "TLS証明書", "EditTlsCertificate", 3}},
    {.section = "Server",
     .key = "TlsKey",
     .value = &Settings::serverTlsKey,
     .text = "zelkord.key",
     .from = DefaultFrom::Folder,
     .kind = SettingKind::Path,
     .applied = AppliedBy::TlsReload,
     .field = {SettingsPageId::Server, 8, FieldWidget::Line, "TLS秘密鍵", "EditTlsKey", 3}},
    // The network name clients show; empty means Server.Name.
    {.section = "Server",
     .key = "Network",
     .value = &Settings::serverNetwork,
     .field = {SettingsPageId::Server, 9, FieldWidget::Line, "ﾈｯﾄﾜｰｸ名", "EditNetwork"}},
    // The flag letters (of i, m, n, p, s, t) a new channel starts with.
    {.section = "Server",
     .key = "ChannelModes",
     .value = &Settings::serverChannelModes,
     .text = "nt",
     .field = {SettingsPageId::Server, 10, FieldWidget::Line, "ﾁｬﾝﾈﾙ初期ﾓｰﾄﾞ", "EditChannelModes"}},
    {.section = "Client",
     .key = "Nick",
     .value = &Settings::clientNick,
     .text = "ZELKNIK",
     .field = {SettingsPageId::Client, 0, FieldWidget::Line, "ﾆｯｸ名", "EditNick"}},
    {.section = "Client",
     .key = "Real",
     .value = &Settings::clientReal,
     .text = "Zelkord Admin",
     .field = {SettingsPageId::Client, 1, FieldWidget::Line, "ﾕｰｻﾞｰ名", "EditReal"}},
    {.section = "Log",
     .key = "Lines",
     .value = &Settings::logLines,
     .text = "200",
     .kind = SettingKind::Number,
     .field = {SettingsPageId::Log, 0, FieldWidget::Line, "教示件数", "EditLogLines"}},
    {.section = "Log",
     .key = "Save",
     .value = &Settings::logSave,
     .text = "Disable",
     .kind = SettingKind::Switch,
     .field = {SettingsPageId::Log, 1, FieldWidget::Check, "ﾛｸﾞを保管する", "CheckLogSave"}},
    {.section = "Log",
     .key = "Path",
     .value = &Settings::logPath,
     .from = DefaultFrom::Folder,
     .kind = SettingKind::Path,
     .field = {SettingsPageId::Log, 2, FieldWidget::Line, "保管場所", "EditLogPath", 1,
               "ButtonBrowseLogPath", "ﾛｸﾞ保管場所選択"}},
    {.section = "Web",
     .key = "Port",
     .value = &Settings::webPort,
     .text = "80",
     .kind = SettingKind::Number,
     .applied = AppliedBy::WebReload,
     .field = {SettingsPageId::Web, 0, FieldWidget::Line, "ﾎﾟｰﾄ番号", "EditWebPort"}},
    {.section = "Web",
     .key = "PassWord",
     .value = &Settings::webPassWord,
     .applied = AppliedBy::Reload,
     .field = {SettingsPageId::Web, 1, FieldWidget::Line, "ﾊﾟｽﾜｰﾄﾞ", "EditWebPassWord"}},
    {.section = "Web",
     .key = "Send",
     .value = &Settings::webSend,
     .text = "Disable",
     .kind = SettingKind::Switch,
     .applied = AppliedBy::Reload,
     .field = {SettingsPageId::Web, 2, FieldWidget::Check, "ﾛｸﾞを公開する", "CheckWebSend"}},
    {.section = "Web",
     .key = "IndexForm",
     .value = &Settings::webIndexForm,
     .text = "IndexForm.html",
     .from = DefaultFrom::Folder,
     .kind = SettingKind::Path,
     .applied = AppliedBy::Reload,
     .field = {SettingsPageId::Web, 3, FieldWidget::Line, "indexﾌｫｰﾑ", "EditIndexForm", 1,
               "ButtonBrowseIndexForm", "indexﾌｫｰﾑ選択", "html"}},
    {.section = "Web",
     .key = "LogForm",
     .value = &Settings::webLogForm,
     .text = "LogForm.html",
     .from = DefaultFrom::Folder,
     .kind = SettingKind::Path,
     .applied = AppliedBy::Reload,
     .field = {SettingsPageId::Web, 4, FieldWidget::Line, "logﾌｫｰﾑ", "EditLogForm", 1,
               "ButtonBrowseLogForm", "logﾌｫｰﾑ選択", "html"}},
    // Metrics for a collector at /metrics beside the status pages, with the
    // same password; set in the file, no page. With an address, only
    // requests that reached the web port at that local address (a loopback
    // one, say) are answered.
    {.section = "Web",
     .key = "Metrics",
     .value = &Settings::webMetrics,
     .text = "Disable",
     .kind = SettingKind::Switch,
     .applied = AppliedBy::Reload,
     .field = {}},
    {.section = "Web",
     .key = "MetricsAddress",
     .value = &Settings::webMetricsAddress,
     .kind = SettingKind::Address,
     .applied = AppliedBy::Reload,
     .field = {}},
    {.section = "Color",
     .key = "WebLogBack",
     .value = &Settings::colorWebLogBack,
     .text = "clGray",
     .kind = SettingKind::Colour,
     .applied = AppliedBy::Window,
     .field = {}},
    {.section = "Color",
     .key = "WebLogFore",
     .value = &Settings::colorWebLogFore,
     .text = "clWindowText",
     .kind = SettingKind::Colour,
     .applied = AppliedBy::Window,
     .field = {}},
    {.section = "Color",
     .key = "LogBack",
     .value = &Settings::colorLogBack,
     .text = "clWindow",
     .kind = SettingKind::Colour,
     .applied = AppliedBy::Window,
     .field = {}},
    {.section = "Color",
     .key = "LogFore",
     .value = &Settings::colorLogFore,
     .text = "clWindowText",
     .kind = SettingKind::Colour,
     .applied = AppliedBy::Window,
     .field = {}},
    // The history store has no page: its keys are set in the file.
    {.section = "History",
     .key = "Save",
     .value = &Settings::historySave,
     .text = "Enable",
     .kind = SettingKind::Switch,
     .field = {}},
    {.section = "History",
     .key = "Path",
     .value = &Settings::historyPath,
     .text = "history.sqlite",
     .from = DefaultFrom::Folder,
     .kind = SettingKind::Path,
     .field = {}},
    {.section = "History",
     .key = "Days",
     .value = &Settings::historyDays,
     .text = "365",
     .kind = SettingKind::Number,
     .field = {},
     .least = 0,
     .outOfRange = "is below 0: write the days lines are kept, or 0 to keep every line."},
    {.section = "History",
     .key = "Max",
     .value = &Settings::historyMax,
     .text = "100",
     .kind = SettingKind::Number,
     .field = {},
     .least = 1,
     .most = 10000,
     .outOfRange = "is outside 1 to 10000: write the most lines one history request returns."},
};

inline constexpr int kSettingsKeyCount = static_cast<int>(std::size(kSettingsTable));

// "Section.Key", as messages and reports name a key. Any thread.
[[nodiscard]] std::string KeyName(const SettingsKey& row);

// The row index of the key named "Section.Key" (exact letters), or -1.
// Any thread.
[[nodiscard]] int FindKey(std::string_view name);

}  // namespace zelkord::config
