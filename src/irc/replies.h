// The reply texts: the numeric reply table and the relay message table,
// their lookup with the 9999 fallback, and the printf-style filling of an
// entry. Every line the server sends to a client is built here; no other
// file holds reply prose.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace zelkord::irc {

// Numeric reply codes.
inline constexpr int kErrNicknameInUse = 433;
inline constexpr int kErrBanned = 465;
inline constexpr int kRplWelcome = 1;
inline constexpr int kRplYourHost = 2;
inline constexpr int kRplCreated = 3;
inline constexpr int kRplMyInfo = 4;
inline constexpr int kRplLuserClient = 251;
inline constexpr int kRplLuserOp = 252;
inline constexpr int kRplLuserUnknown = 253;
inline constexpr int kRplLuserChannels = 254;
inline constexpr int kRplLuserMe = 255;
inline constexpr int kRplTime = 391;
inline constexpr int kRplMotdStart = 375;
inline constexpr int kRplMotd = 372;
inline constexpr int kRplEndOfMotd = 376;
inline constexpr int kRplNamReply = 353;
inline constexpr int kRplEndOfNames = 366;
inline constexpr int kRplNoTopic = 331;
inline constexpr int kRplTopic = 332;
inline constexpr int kErrNotOnChannel = 442;
inline constexpr int kErrNoSuchNick = 401;
inline constexpr int kRplListStart = 321;
inline constexpr int kRplList = 322;
inline constexpr int kRplListEnd = 323;
inline constexpr int kRplWhoisUser = 311;
inline constexpr int kRplWhoisChannels = 319;
inline constexpr int kRplWhoisServer = 312;
inline constexpr int kRplEndOfWhois = 318;
inline constexpr int kRplWhoisCertificate = 276;
inline constexpr int kRplWhoReply = 352;
inline constexpr int kRplEndOfWho = 315;
inline constexpr int kErrChanOpPrivsNeeded = 482;
inline constexpr int kErrNoMotd = 422;
inline constexpr int kRplChannelModeIs = 324;
inline constexpr int kRplCharset = 222;
inline constexpr int kErrUnknownCharset = 468;
inline constexpr int kRplISupport = 5;
inline constexpr int kErrNotRegistered = 451;
inline constexpr int kErrInvalidCapCmd = 410;
inline constexpr int kErrNoSuchChannel = 403;
inline constexpr int kErrCannotSendToChan = 404;
inline constexpr int kErrTooManyChannels = 405;
inline constexpr int kErrTooManyTargets = 407;
inline constexpr int kErrNoRecipient = 411;
inline constexpr int kErrNoTextToSend = 412;
inline constexpr int kErrUnknownCommand = 421;
inline constexpr int kErrNoNicknameGiven = 431;
inline constexpr int kErrErroneusNickname = 432;
inline constexpr int kErrUserNotInChannel = 441;
inline constexpr int kErrNeedMoreParams = 461;
inline constexpr int kErrAlreadyRegistered = 462;
inline constexpr int kErrBadChanName = 479;
inline constexpr int kErrInputTooLong = 417;  // a tag part over its limit
// The everyday commands: AWAY, INVITE, USERHOST, ISON, VERSION, ADMIN, INFO,
// WHOWAS and the user counts of LUSERS.
inline constexpr int kRplAway = 301;
inline constexpr int kRplUnaway = 305;
inline constexpr int kRplNowAway = 306;
inline constexpr int kRplInviting = 341;
inline constexpr int kErrUserOnChannel = 443;
inline constexpr int kRplUserHost = 302;
inline constexpr int kRplIsOn = 303;
inline constexpr int kRplVersion = 351;
inline constexpr int kRplAdminMe = 256;
inline constexpr int kRplAdminLoc1 = 257;
inline constexpr int kRplAdminLoc2 = 258;
inline constexpr int kRplAdminEmail = 259;
inline constexpr int kRplInfo = 371;
inline constexpr int kRplEndOfInfo = 374;
inline constexpr int kRplWhowasUser = 314;
inline constexpr int kRplEndOfWhowas = 369;
inline constexpr int kErrWasNoSuchNick = 406;
inline constexpr int kRplLocalUsers = 265;
inline constexpr int kRplGlobalUsers = 266;
// User modes and the server operators: MODE on a nick, OPER, KILL, WALLOPS.
inline constexpr int kRplUModeIs = 221;
inline constexpr int kErrUModeUnknownFlag = 501;
inline constexpr int kErrUsersDontMatch = 502;
inline constexpr int kRplYoureOper = 381;
inline constexpr int kErrPasswdMismatch = 464;
inline constexpr int kErrNoOperHost = 491;
inline constexpr int kErrNoPrivileges = 481;
inline constexpr int kRplWhoisOperator = 313;
// Channel and user modes.
inline constexpr int kRplCreationTime = 329;
inline constexpr int kRplBanList = 367;
inline constexpr int kRplEndOfBanList = 368;
inline constexpr int kErrChannelIsFull = 471;
inline constexpr int kErrUnknownMode = 472;
inline constexpr int kErrInviteOnlyChan = 473;
inline constexpr int kErrBannedFromChan = 474;
inline constexpr int kErrBadChannelKey = 475;
inline constexpr int kErrBanListFull = 478;
// The last entry of both tables; any code not listed yields its text.
inline constexpr int kTableEnd = 9999;

// Relay message ids.
inline constexpr int kRelayJoin = 1000;
inline constexpr int kRelayPart = 1001;
inline constexpr int kRelayPrivmsg = 1002;
inline constexpr int kRelayTopic = 1003;
inline constexpr int kRelayNick = 1004;
inline constexpr int kRelayPong = 1005;
inline constexpr int kRelayKick = 1006;
inline constexpr int kRelayQuit = 1007;
inline constexpr int kRelayExcessFlood = 1008;  // the last line to a flooding client
inline constexpr int kRelayPing = 1009;
inline constexpr int kRelayCap = 1010;
inline constexpr int kRelayQuitUnregistered = 1011;  // the last line to a client quitting early
inline constexpr int kRelayPartReason = 1012;
inline constexpr int kRelayNotice = 1013;
inline constexpr int kRelayAway = 1014;
inline constexpr int kRelayUnaway = 1015;
inline constexpr int kRelayInvite = 1016;
// The texts of the INFO lines (each sent as a 371 reply).
inline constexpr int kRelayInfoProgram = 1017;
inline constexpr int kRelayInfoServer = 1018;
inline constexpr int kRelayInfoStarted = 1019;
inline constexpr int kRelayUserMode = 1020;
inline constexpr int kRelayKilled = 1021;  // the last line to a killed client
inline constexpr int kRelayWallops = 1022;
inline constexpr int kRelayMode = 1023;
inline constexpr int kRelayTagmsg = 1024;
inline constexpr int kRelayBatchStart = 1025;  // reference, type and its parameters
inline constexpr int kRelayBatchEnd = 1026;
inline constexpr int kRelayAck = 1027;  // a labeled command that answered nothing
// A standard reply: command, code, context and description.
inline constexpr int kRelayFail = 1028;
inline constexpr int kRelayHistoryTarget = 1029;  // a channel and the time of its latest line

// Longest filled numeric reply and relay message; longer results are cut.
inline constexpr std::size_t kNumericMaxBytes = 511;
inline constexpr std::size_t kRelayMaxBytes = 1023;
// A reply line without its CR LF, for replies that spread a list over
// several lines (353, 005, CAP).
inline constexpr std::size_t kListLineBytes = 510;
// The bytes left for a list on a line whose fixed part is fixed.
[[nodiscard]] inline std::size_t ListRoom(std::string_view fixed) {
  return fixed.size() < kListLineBytes ? kListLineBytes - fixed.size() : 0;
}
// Most caller values a fill takes; further values are ignored.
inline constexpr std::size_t kMaxFormatValues = 8;

// One value for a placeholder: a number (%d, %03d) or a text (%s). It only
// refers to the caller's text, so it must not outlive it. A text is used up to
// its first NUL byte. A value of the other kind than its placeholder is
// written in its own form (a number as decimal, a text as is).
class FormatArg {
 public:
  constexpr FormatArg(int number) : number_(number), isText_(false) {}
  constexpr FormatArg(std::string_view text) : text_(text) {}
  constexpr FormatArg(const std::string& text) : text_(text) {}
  constexpr FormatArg(const char* text) : text_(text == nullptr ? std::string_view() : text) {}

  [[nodiscard]] bool IsText() const { return isText_; }
  [[nodiscard]] int Number() const { return number_; }
  [[nodiscard]] std::string_view Text() const { return text_; }

 private:
  std::string_view text_;
  int number_ = 0;
  bool isText_ = true;
};

// Returns the numeric reply format of the code: the first table entry with that
// code, else the 9999 entry. Any thread.
[[nodiscard]] std::string_view NumericFormat(int code);

// Returns the relay message format of the code: the first table entry with
// that code, else the 9999 entry. Any thread.
[[nodiscard]] std::string_view RelayFormat(int code);

// Fills the numeric reply of `code` with serverName, the code itself (at least
// three digits, so 1 gives 001 and an unlisted 999 stays 999), nick, and then
// as many caller values as the format has placeholders beyond those three (at
// most eight). Missing values fill as empty text or 0. The result is cut at
// kNumericMaxBytes and written into out (cleared first). Any thread.
void FormatNumeric(std::string& out, std::string_view serverName, int code, std::string_view nick,
                   std::initializer_list<FormatArg> values);
[[nodiscard]] std::string FormatNumeric(std::string_view serverName, int code,
                                        std::string_view nick,
                                        std::initializer_list<FormatArg> values);

// Fills the relay message of `code` with as many caller values as it has
// placeholders (at most eight); missing values fill as empty text or 0. The
// result is cut at kRelayMaxBytes and written into out (cleared first).
// Any thread.
void FormatRelay(std::string& out, int code, std::initializer_list<FormatArg> values);
[[nodiscard]] std::string FormatRelay(int code, std::initializer_list<FormatArg> values);

}  // namespace zelkord::irc
