// The reply tables as clients see them: every numeric and relay filled with
// sample values, the fallback entry, missing values and the length cuts.
#include "irc/replies.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelkord::irc {
namespace {

struct NumericCase {
  int code;
  std::vector<FormatArg> values;
  std::string expected;
};

// Fills through the initializer_list interface with up to eight values.
std::string FillNumeric(int code, const std::vector<FormatArg>& v) {
  const FormatArg none = "";
  auto at = [&](std::size_t i) { return i < v.size() ? v[i] : none; };
  switch (v.size()) {
    case 0:
      return FormatNumeric("S", code, "N", {});
    case 1:
      return FormatNumeric("S", code, "N", {at(0)});
    case 2:
      return FormatNumeric("S", code, "N", {at(0), at(1)});
    case 3:
      return FormatNumeric("S", code, "N", {at(0), at(1), at(2)});
    case 4:
      return FormatNumeric("S", code, "N", {at(0), at(1), at(2), at(3)});
    default:
      return FormatNumeric("S", code, "N",
                           {at(0), at(1), at(2), at(3), at(4), at(5), at(6), at(7)});
  }
}

TEST(FormatNumeric, EveryEntryInTableOrder) {
  const std::vector<NumericCase> cases = {
      {kErrNicknameInUse, {"x"}, ":S 433 N x :Nickname is already in use"},
      {kErrBanned, {}, ":S 465 N :You are banned from this server"},
      {kRplWelcome, {"N"}, ":S 001 N :Welcome to the Internet Relay Network N"},
      {kRplYourHost, {"S", "1.07"}, ":S 002 N :Your host is S, running version 1.07"},
      {kRplCreated,
       {"Dec 07 2026 03:04:20"},
       ":S 003 N :This server was created on Dec 07 2026 03:04:20"},
      {kRplMyInfo, {"S", "1.07", "oirw", "abiklmnopqstv"}, ":S 004 N S 1.07 oirw abiklmnopqstv"},
      {kRplLuserClient, {2, 0, 1}, ":S 251 N :There are 2 users and 0 invisible on 1 servers"},
      {kRplLuserOp, {0}, ":S 252 N 0 :operator(s) online"},
      {kRplLuserUnknown, {0}, ":S 253 N 0 :unknown connection(s)"},
      {kRplLuserChannels, {3}, ":S 254 N 3 :channels formed"},
      {kRplLuserMe, {2, 0}, ":S 255 N :I have 2 clients and 0 servers"},
      {kRplTime, {"S", "Dec 07 2026 03:05:10"}, ":S 391 N S :Dec 07 2026 03:05:10"},
      {kRplMotdStart, {"S"}, ":S 375 N :- S Message of the day - "},
      {kRplMotd, {"line one"}, ":S 372 N :- line one"},
      {kRplEndOfMotd, {}, ":S 376 N :End of /MOTD command"},
      {kRplNamReply, {"#a", "@N B"}, ":S 353 N = #a :@N B"},
      {kRplEndOfNames, {"#a"}, ":S 366 N #a :End of /NAMES list"},
      {kRplNoTopic, {"#a"}, ":S 331 N #a :No topic is set"},
      {kRplTopic, {"#a", "the topic"}, ":S 332 N #a :the topic"},
      {kErrNotOnChannel, {"#a"}, ":S 442 N #a :You're not on that channel"},
      {kErrNoSuchNick, {"x"}, ":S 401 N x :No such nick/channel"},
      {kRplListStart, {}, ":S 321 N Channel :Users  Name"},
      {kRplList, {"#a", 5, "topic"}, ":S 322 N #a 5 :topic"},
      {kRplListEnd, {}, ":S 323 N :End of /LIST"},
      {kRplWhoisUser, {"B", "u", "10.0.0.5", "Real Name"}, ":S 311 N B u 10.0.0.5 * :Real Name"},
      {kRplWhoisChannels, {"B", "@#a #b"}, ":S 319 N B :@#a #b"},
      {kRplWhoisServer, {"B", "S", "Harbor City"}, ":S 312 N B S :Harbor City"},
      {kRplEndOfWhois, {"B"}, ":S 318 N B :End of /WHOIS list"},
      {kRplWhoReply,
       {"#a", "u", "10.0.0.5", "host", "B", "H", "@", "Real"},
       ":S 352 N #a u 10.0.0.5 host B H@ :0 Real"},
      {kRplEndOfWho, {"#a"}, ":S 315 N #a :End of /WHO list"},
      {kErrChanOpPrivsNeeded, {"#a"}, ":S 482 N #a :You're not channel operator"},
      {kErrNoMotd, {}, ":S 422 N :MOTD File is missing"},
      {kRplChannelModeIs, {"#a", "+tk"}, ":S 324 N #a +tk"},
      {kTableEnd, {}, ":S 9999 N :Server Err (COMMAND Not Found)"},
      {999, {}, ":S 999 N :Server Err (COMMAND Not Found)"},
      {kRelayJoin, {}, ":S 1000 N :Server Err (COMMAND Not Found)"},
  };
  for (const NumericCase& c : cases) {
    EXPECT_EQ(FillNumeric(c.code, c.values), c.expected) << "code " << c.code;
  }
}

TEST(FormatNumeric, EmptyNickAndServerLeaveEmptyFields) {
  EXPECT_EQ(FormatNumeric("S", kErrNoMotd, "", {}), ":S 422  :MOTD File is missing");
  EXPECT_EQ(FormatNumeric("", kRplWelcome, "", {""}),
            ": 001  :Welcome to the Internet Relay Network ");
}

TEST(FormatNumeric, MissingValuesFillAsEmptyOrZero) {
  EXPECT_EQ(FormatNumeric("S", kRplLuserClient, "N", {}),
            ":S 251 N :There are 0 users and 0 invisible on 0 servers");
  EXPECT_EQ(FormatNumeric("S", kRplList, "N", {"#a"}), ":S 322 N #a 0 :");
}

TEST(FormatNumeric, ExtraValuesAreIgnored) {
  EXPECT_EQ(FormatNumeric("S", kErrNicknameInUse, "N", {"x", 1}),
            ":S 433 N x :Nickname is already in use");
  EXPECT_EQ(FormatNumeric("S", kRplWelcome, "N", {"N", "extra"}),
            ":S 001 N :Welcome to the Internet Relay Network N");
}

TEST(FormatNumeric, TextStopsAtNul) {
  EXPECT_EQ(FormatNumeric("S", kRplMotd, "N", {std::string("ab\0cd", 5)}), ":S 372 N :- ab");
  EXPECT_EQ(FormatNumeric(std::string("S\0x", 3), kRplEndOfMotd, "N", {}),
            ":S 376 N :End of /MOTD command");
}

TEST(FormatNumeric, CodeIsZeroPaddedToThreeDigits) {
  EXPECT_EQ(FormatNumeric("S", 42, "N", {}), ":S 042 N :Server Err (COMMAND Not Found)");
  EXPECT_EQ(FormatNumeric("S", -5, "N", {}), ":S -05 N :Server Err (COMMAND Not Found)");
}

TEST(FormatNumeric, CutAt511Bytes) {
  const std::string head = ":S 372 N :- ";  // 12 bytes before the value
  const std::string fits(kNumericMaxBytes - head.size(), 'x');
  EXPECT_EQ(FormatNumeric("S", kRplMotd, "N", {fits}), head + fits);
  const std::string over = fits + "yz";
  EXPECT_EQ(FormatNumeric("S", kRplMotd, "N", {over}), head + fits);
  const std::string huge(5000, 'q');
  EXPECT_EQ(FormatNumeric("S", kRplNamReply, "N", {huge, huge}).size(), kNumericMaxBytes);
}

TEST(FormatNumeric, ReusesCallerBuffer) {
  std::string out = "stale text";
  FormatNumeric(out, "S", kRplEndOfMotd, "N", {});
  EXPECT_EQ(out, ":S 376 N :End of /MOTD command");
}

TEST(FormatRelay, EveryEntry) {
  EXPECT_EQ(FormatRelay(kRelayJoin, {"n", "u", "10.0.0.5", "#a"}), ":n!u@10.0.0.5 JOIN :#a");
  EXPECT_EQ(FormatRelay(kRelayPart, {"n", "u", "h", "#a"}), ":n!u@h PART #a");
  EXPECT_EQ(FormatRelay(kRelayPrivmsg, {"n", "u", "h", "#a", "hi there"}),
            ":n!u@h PRIVMSG #a :hi there");
  EXPECT_EQ(FormatRelay(kRelayTopic, {"n", "u", "h", "#a", "t"}), ":n!u@h TOPIC #a :t");
  EXPECT_EQ(FormatRelay(kRelayNick, {"old", "u", "h", "new"}), ":old!u@h NICK :new");
  EXPECT_EQ(FormatRelay(kRelayPong, {"h", "h", "own"}), ":h PONG h :own");
  EXPECT_EQ(FormatRelay(kRelayKick, {"n", "u", "h", "#a", "t", "bye"}), ":n!u@h KICK #a t :bye");
  EXPECT_EQ(FormatRelay(kRelayQuit, {"n", "u", "h", "gone"}), ":n!u@h QUIT :gone");
  EXPECT_EQ(FormatRelay(kRelayExcessFlood, {"n"}), "ERROR :Closing Link: Excess Flood");
  EXPECT_EQ(FormatRelay(kRelayPing, {"Zel.Server(^^"}), "PING :Zel.Server(^^");
  EXPECT_EQ(FormatRelay(kTableEnd, {"n", "u", "h"}), ":n!u@h :Server Err (COMMAND Not Found)");
  EXPECT_EQ(FormatRelay(1234, {"n", "u", "h"}), ":n!u@h :Server Err (COMMAND Not Found)");
  EXPECT_EQ(FormatRelay(kRplWelcome, {"n", "u", "h"}), ":n!u@h :Server Err (COMMAND Not Found)");
}

TEST(FormatRelay, MissingValuesAndOtherKinds) {
  EXPECT_EQ(FormatRelay(kRelayPrivmsg, {"n"}), ":n!@ PRIVMSG  :");
  EXPECT_EQ(FormatRelay(kRelayJoin, {"n", "u", "h", 5}), ":n!u@h JOIN :5");
  EXPECT_EQ(FormatRelay(kRelayPart, {"n", "u", "h", "#a", "extra"}), ":n!u@h PART #a");
}

TEST(FormatRelay, CutAt1023Bytes) {
  const std::string head = ":n!u@h PRIVMSG #a :";  // 19 bytes before the text
  const std::string fits(kRelayMaxBytes - head.size(), 'x');
  EXPECT_EQ(FormatRelay(kRelayPrivmsg, {"n", "u", "h", "#a", fits}), head + fits);
  EXPECT_EQ(FormatRelay(kRelayPrivmsg, {"n", "u", "h", "#a", fits + "y"}), head + fits);
  std::string out = "stale";
  FormatRelay(out, kRelayQuit, {"n", "u", "h", std::string(4000, 'z')});
  EXPECT_EQ(out.size(), kRelayMaxBytes);
}

}  // namespace
}  // namespace zelkord::irc
