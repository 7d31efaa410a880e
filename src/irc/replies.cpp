// The two reply tables, in table order, and their filling. The texts are
// the exact bytes clients see; each table ends with its 9999 entry.
#include "irc/replies.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <span>

#include "base/sjis.h"

namespace zelkord::irc {

namespace {

struct FormatEntry {
  int code;
  std::string_view text;
};

constexpr std::array kNumericTable{
    FormatEntry{kErrNicknameInUse, ":%s %03d %s %s :Nickname is already in use"},
    FormatEntry{kErrBanned, ":%s %03d %s :You are banned from this server"},
    FormatEntry{kRplWelcome, ":%s %03d %s :Welcome to the Internet Relay Network %s"},
    FormatEntry{kRplYourHost, ":%s %03d %s :Your host is %s, running version %s"},
    FormatEntry{kRplCreated, ":%s %03d %s :This server was created on %s"},
    FormatEntry{kRplMyInfo, ":%s %03d %s %s %s %s %s"},
    FormatEntry{kRplLuserClient, ":%s %03d %s :There are %d users and %d invisible on %d servers"},
    FormatEntry{kRplLuserOp, ":%s %03d %s %d :operator(s) online"},
    FormatEntry{kRplLuserUnknown, ":%s %03d %s %d :unknown connection(s)"},
    FormatEntry{kRplLuserChannels, ":%s %03d %s %d :channels formed"},
    FormatEntry{kRplLuserMe, ":%s %03d %s :I have %d clients and %d servers"},
    FormatEntry{kRplTime, ":%s %03d %s %s :%s"},
    FormatEntry{kRplMotdStart, ":%s %03d %s :- %s Message of the day - "},
    FormatEntry{kRplMotd, ":%s %03d %s :- %s"},
    FormatEntry{kRplEndOfMotd, ":%s %03d %s :End of /MOTD command"},
    FormatEntry{kRplNamReply, ":%s %03d %s = %s :%s"},
    FormatEntry{kRplEndOfNames, ":%s %03d %s %s :End of /NAMES list"},
    FormatEntry{kRplNoTopic, ":%s %03d %s %s :No topic is set"},
    FormatEntry{kRplTopic, ":%s %03d %s %s :%s"},
    FormatEntry{kErrNotOnChannel, ":%s %03d %s %s :You're not on that channel"},
    FormatEntry{kErrNoSuchNick, ":%s %03d %s %s :No such nick/channel"},
    FormatEntry{kRplListStart, ":%s %03d %s Channel :Users  Name"},
    FormatEntry{kRplList, ":%s %03d %s %s %d :%s"},
    FormatEntry{kRplListEnd, ":%s %03d %s :End of /LIST"},
    FormatEntry{kRplWhoisUser, ":%s %03d %s %s %s %s * :%s"},
    FormatEntry{kRplWhoisChannels, ":%s %03d %s %s :%s"},
    FormatEntry{kRplWhoisServer, ":%s %03d %s %s %s :%s"},
    FormatEntry{kRplEndOfWhois, ":%s %03d %s %s :End of /WHOIS list"},
    FormatEntry{kRplWhoisCertificate, ":%s %03d %s %s :has client certificate fingerprint %s"},
    // Here (H) or gone (G), "*" for a server operator, then "@" for a
    // channel operator.
    FormatEntry{kRplWhoReply, ":%s %03d %s %s %s %s %s %s %s%s :0 %s"},
    FormatEntry{kRplEndOfWho, ":%s %03d %s %s :End of /WHO list"},
    FormatEntry{kErrChanOpPrivsNeeded, ":%s %03d %s %s :You're not channel operator"},
    FormatEntry{kErrNoMotd, ":%s %03d %s :MOTD File is missing"},
    FormatEntry{kRplChannelModeIs, ":%s %03d %s %s %s"},
    FormatEntry{kRplCharset, ":%s %03d %s %s :is your charset now"},
    FormatEntry{kErrUnknownCharset,
                ":%s %03d %s %s :Unknown charset (ISO-2022-JP, UTF-8, Shift_JIS)"},
    FormatEntry{kRplISupport, ":%s %03d %s %s :are supported by this server"},
    FormatEntry{kErrNotRegistered, ":%s %03d %s :You have not registered"},
    FormatEntry{kErrInvalidCapCmd, ":%s %03d %s %s :Invalid CAP command"},
    FormatEntry{kErrNoSuchChannel, ":%s %03d %s %s :No such channel"},
    FormatEntry{kErrCannotSendToChan, ":%s %03d %s %s :Cannot send to channel"},
    FormatEntry{kErrTooManyChannels, ":%s %03d %s %s :You have joined too many channels"},
    FormatEntry{kErrTooManyTargets, ":%s %03d %s %s :Too many targets"},
    FormatEntry{kErrNoRecipient, ":%s %03d %s :No recipient given (%s)"},
    FormatEntry{kErrNoTextToSend, ":%s %03d %s :No text to send"},
    FormatEntry{kErrUnknownCommand, ":%s %03d %s %s :Unknown command"},
    FormatEntry{kErrNoNicknameGiven, ":%s %03d %s :No nickname given"},
    FormatEntry{kErrErroneusNickname, ":%s %03d %s %s :Erroneous nickname"},
    FormatEntry{kErrUserNotInChannel, ":%s %03d %s %s %s :They aren't on that channel"},
    FormatEntry{kErrNeedMoreParams, ":%s %03d %s %s :Not enough parameters"},
    FormatEntry{kErrAlreadyRegistered, ":%s %03d %s :You may not reregister"},
    FormatEntry{kErrBadChanName, ":%s %03d %s %s :Illegal channel name"},
    FormatEntry{kErrInputTooLong, ":%s %03d %s :Input line was too long"},
    FormatEntry{kRplAway, ":%s %03d %s %s :%s"},
    FormatEntry{kRplUnaway, ":%s %03d %s :You are no longer marked as being away"},
    FormatEntry{kRplNowAway, ":%s %03d %s :You have been marked as being away"},
    FormatEntry{kRplInviting, ":%s %03d %s %s %s"},
    FormatEntry{kErrUserOnChannel, ":%s %03d %s %s %s :is already on channel"},
    FormatEntry{kRplUserHost, ":%s %03d %s :%s"},
    FormatEntry{kRplIsOn, ":%s %03d %s :%s"},
    FormatEntry{kRplVersion, ":%s %03d %s %s. %s :%s"},
    FormatEntry{kRplAdminMe, ":%s %03d %s %s :Administrative info"},
    FormatEntry{kRplAdminLoc1, ":%s %03d %s :%s"},
    FormatEntry{kRplAdminLoc2, ":%s %03d %s :%s"},
    FormatEntry{kRplAdminEmail, ":%s %03d %s :%s"},
    FormatEntry{kRplInfo, ":%s %03d %s :%s"},
    FormatEntry{kRplEndOfInfo, ":%s %03d %s :End of INFO list"},
    FormatEntry{kRplWhowasUser, ":%s %03d %s %s %s %s * :%s"},
    FormatEntry{kRplEndOfWhowas, ":%s %03d %s %s :End of WHOWAS"},
    FormatEntry{kErrWasNoSuchNick, ":%s %03d %s %s :There was no such nickname"},
    FormatEntry{kRplLocalUsers, ":%s %03d %s %d %d :Current local users %d, max %d"},
    FormatEntry{kRplGlobalUsers, ":%s %03d %s %d %d :Current global users %d, max %d"},
    FormatEntry{kRplUModeIs, ":%s %03d %s %s"},
    FormatEntry{kErrUModeUnknownFlag, ":%s %03d %s :Unknown MODE flag"},
    FormatEntry{kErrUsersDontMatch, ":%s %03d %s :Cant change mode for other users"},
    FormatEntry{kRplYoureOper, ":%s %03d %s :You are now an IRC operator"},
    FormatEntry{kErrPasswdMismatch, ":%s %03d %s :Password incorrect"},
    FormatEntry{kErrNoOperHost, ":%s %03d %s :No O-lines for your host"},
    FormatEntry{kErrNoPrivileges, ":%s %03d %s :Permission Denied- You're not an IRC operator"},
    FormatEntry{kRplWhoisOperator, ":%s %03d %s %s :is an IRC operator"},
    FormatEntry{kRplCreationTime, ":%s %03d %s %s %s"},
    // Channel, mask, who set it, when (Unix time).
    FormatEntry{kRplBanList, ":%s %03d %s %s %s %s %s"},
    FormatEntry{kRplEndOfBanList, ":%s %03d %s %s :End of channel ban list"},
    FormatEntry{kErrChannelIsFull, ":%s %03d %s %s :Cannot join channel (+l)"},
    FormatEntry{kErrUnknownMode, ":%s %03d %s %s :is unknown mode char to me"},
    FormatEntry{kErrInviteOnlyChan, ":%s %03d %s %s :Cannot join channel (+i)"},
    FormatEntry{kErrBannedFromChan, ":%s %03d %s %s :Cannot join channel (+b)"},
    FormatEntry{kErrBadChannelKey, ":%s %03d %s %s :Cannot join channel (+k)"},
    FormatEntry{kErrBanListFull, ":%s %03d %s %s %s :Channel ban list is full"},
    FormatEntry{kTableEnd, ":%s %03d %s :Server Err (COMMAND Not Found)"},
};

constexpr std::array kRelayTable{
    FormatEntry{kRelayJoin, ":%s!%s@%s JOIN :%s"},
    FormatEntry{kRelayPart, ":%s!%s@%s PART %s"},
    FormatEntry{kRelayPrivmsg, ":%s!%s@%s PRIVMSG %s :%s"},
    FormatEntry{kRelayTopic, ":%s!%s@%s TOPIC %s :%s"},
    FormatEntry{kRelayNick, ":%s!%s@%s NICK :%s"},
    FormatEntry{kRelayPong, ":%s PONG %s :%s"},
    FormatEntry{kRelayKick, ":%s!%s@%s KICK %s %s :%s"},
    FormatEntry{kRelayQuit, ":%s!%s@%s QUIT :%s"},
    FormatEntry{kRelayExcessFlood, "ERROR :Closing Link: Excess Flood"},
    FormatEntry{kRelayPing, "PING :%s"},
    FormatEntry{kRelayCap, ":%s CAP %s %s :%s"},
    FormatEntry{kRelayQuitUnregistered, "ERROR :Closing Link: %s (Client Quit)"},
    FormatEntry{kRelayPartReason, ":%s!%s@%s PART %s :%s"},
    FormatEntry{kRelayNotice, ":%s!%s@%s NOTICE %s :%s"},
    FormatEntry{kRelayAway, ":%s!%s@%s AWAY :%s"},
    FormatEntry{kRelayUnaway, ":%s!%s@%s AWAY"},
    FormatEntry{kRelayInvite, ":%s!%s@%s INVITE %s %s"},
    FormatEntry{kRelayTagmsg, ":%s!%s@%s TAGMSG %s"},
    FormatEntry{kRelayBatchStart, ":%s BATCH +%s %s"},
    FormatEntry{kRelayBatchEnd, ":%s BATCH -%s"},
    FormatEntry{kRelayAck, ":%s ACK"},
    FormatEntry{kRelayFail, ":%s FAIL %s %s %s :%s"},
    FormatEntry{kRelayHistoryTarget, ":%s CHATHISTORY TARGETS %s %s"},
    FormatEntry{kRelayInfoProgram, "Zelkord %s"},
    FormatEntry{kRelayInfoServer, "%s: %s"},
    FormatEntry{kRelayInfoStarted, "Started on %s"},
    FormatEntry{kRelayUserMode, ":%s!%s@%s MODE %s :%s"},
    FormatEntry{kRelayKilled, "ERROR :Closing Link: %s (Killed (%s (%s)))"},
    FormatEntry{kRelayWallops, ":%s!%s@%s WALLOPS :%s"},
    // The changes made: "+o-v" and their parameters, as one text.
    FormatEntry{kRelayMode, ":%s!%s@%s MODE %s %s"},
    FormatEntry{kTableEnd, ":%s!%s@%s :Server Err (COMMAND Not Found)"},
};

// Server name, code and nick precede the caller's values in a numeric.
constexpr std::size_t kNumericLeadingValues = 3;

template <std::size_t N>
std::string_view Lookup(const std::array<FormatEntry, N>& table, int code) {
  for (const FormatEntry& entry : table) {
    if (entry.code == code || entry.code == kTableEnd) return entry.text;
  }
  return table.back().text;
}

// Appends to out without letting it grow past limit.
class BoundedWriter {
 public:
  BoundedWriter(std::string& out, std::size_t limit) : out_(out), limit_(limit) {}

  void Append(std::string_view text) {
    const std::size_t room = limit_ - std::min(limit_, out_.size());
    out_.append(text.substr(0, room));
  }
  void AppendRepeated(std::size_t count, char c) {
    const std::size_t room = limit_ - std::min(limit_, out_.size());
    out_.append(std::min(count, room), c);
  }

 private:
  std::string& out_;
  std::size_t limit_;
};

void AppendNumber(BoundedWriter& writer, int number, std::size_t width, bool zeroPad) {
  std::array<char, 16> digits{};
  const long long wide = number;
  const auto [end, ec] =
      std::to_chars(digits.data(), digits.data() + digits.size(), std::llabs(wide));
  (void)ec;  // 16 bytes always hold an int's digits
  const auto digitCount = static_cast<std::size_t>(end - digits.data());
  const std::size_t signCount = number < 0 ? 1 : 0;
  const std::size_t padding = width > digitCount + signCount ? width - digitCount - signCount : 0;
  if (!zeroPad) writer.AppendRepeated(padding, ' ');
  if (number < 0) writer.Append("-");
  if (zeroPad) writer.AppendRepeated(padding, '0');
  writer.Append(std::string_view(digits.data(), digitCount));
}

void AppendText(BoundedWriter& writer, std::string_view text, std::size_t width) {
  // %s stops at a NUL, as a C string would.
  const std::string_view shown = base::UpToNul(text);
  if (width > shown.size()) writer.AppendRepeated(width - shown.size(), ' ');
  writer.Append(shown);
}

// Fills a printf-style format (only %s, %d and %0Nd occur) with args; a
// placeholder past the end of args is filled as empty text or 0.
void Fill(std::string& out, std::string_view format, std::span<const FormatArg> args,
          std::size_t limit) {
  out.clear();
  // One byte past the limit shows whether the cut falls inside a
  // double-byte character; the line then ends before that character.
  BoundedWriter writer(out, limit + 1);
  std::size_t next = 0;
  std::size_t pos = 0;
  while (pos < format.size()) {
    const std::size_t percent = format.find('%', pos);
    if (percent == std::string_view::npos) {
      writer.Append(format.substr(pos));
      break;
    }
    writer.Append(format.substr(pos, percent - pos));
    std::size_t cursor = percent + 1;
    bool zeroPad = false;
    if (cursor < format.size() && format[cursor] == '0') {
      zeroPad = true;
      ++cursor;
    }
    std::size_t width = 0;
    while (cursor < format.size() && format[cursor] >= '0' && format[cursor] <= '9') {
      width = width * 10 + static_cast<std::size_t>(format[cursor] - '0');
      ++cursor;
    }
    if (cursor >= format.size() || (format[cursor] != 's' && format[cursor] != 'd')) {
      // Not a placeholder of the tables: keep its characters.
      writer.Append(format.substr(percent, cursor - percent));
      pos = cursor;
      continue;
    }
    const bool wantsText = format[cursor] == 's';
    if (next < args.size()) {
      const FormatArg& arg = args[next];
      if (arg.IsText()) {
        AppendText(writer, arg.Text(), width);
      } else {
        AppendNumber(writer, arg.Number(), width, zeroPad);
      }
    } else if (wantsText) {
      AppendText(writer, {}, width);
    } else {
      AppendNumber(writer, 0, width, zeroPad);
    }
    ++next;
    pos = cursor + 1;
  }
  if (out.size() > limit) out.resize(base::SjisPrefix(out, limit));
}

std::size_t CountPlaceholders(std::string_view format) {
  return static_cast<std::size_t>(std::count(format.begin(), format.end(), '%'));
}

}  // namespace

std::string_view NumericFormat(int code) {
  return Lookup(kNumericTable, code);
}

std::string_view RelayFormat(int code) {
  return Lookup(kRelayTable, code);
}

void FormatNumeric(std::string& out, std::string_view serverName, int code, std::string_view nick,
                   std::initializer_list<FormatArg> values) {
  const std::string_view format = NumericFormat(code);
  const std::size_t placeholders = CountPlaceholders(format);
  const std::size_t wanted =
      placeholders > kNumericLeadingValues ? placeholders - kNumericLeadingValues : 0;
  const std::size_t taken = std::min({wanted, kMaxFormatValues, values.size()});

  // A fixed array keeps the fill free of heap work.
  std::array<FormatArg, kNumericLeadingValues + kMaxFormatValues> args{
      serverName, code, nick, 0, 0, 0, 0, 0, 0, 0, 0};
  std::copy_n(values.begin(), taken, args.begin() + kNumericLeadingValues);
  Fill(out, format, std::span<const FormatArg>(args.data(), kNumericLeadingValues + taken),
       kNumericMaxBytes);
}

std::string FormatNumeric(std::string_view serverName, int code, std::string_view nick,
                          std::initializer_list<FormatArg> values) {
  std::string out;
  FormatNumeric(out, serverName, code, nick, values);
  return out;
}

void FormatRelay(std::string& out, int code, std::initializer_list<FormatArg> values) {
  const std::string_view format = RelayFormat(code);
  const std::size_t taken = std::min({CountPlaceholders(format), kMaxFormatValues, values.size()});
  Fill(out, format, std::span<const FormatArg>(values.begin(), taken), kRelayMaxBytes);
}

std::string FormatRelay(int code, std::initializer_list<FormatArg> values) {
  std::string out;
  FormatRelay(out, code, values);
  return out;
}

}  // namespace zelkord::irc
