// MODE over real sockets: the channel query, every change and refusal, and
// what each mode keeps out, seen from ann (who made #a and is its
// operator), bob (a member) and cid (outside, unless a case lets him in).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/version.h"
#include "support/test_server.h"

namespace zelkord::testing {
namespace {

enum Who { kAnn, kBob, kCid };

struct Expected {
  Who who;
  std::string line;  // "<t>" stands for a Unix time
};

struct Exchange {
  Who from;
  std::string send;
  std::vector<Expected> expect;
};

// Whether the line is the expected one, "<t>" matching a run of digits.
bool Matches(const std::string& line, const std::string& expected) {
  const std::size_t at = expected.find("<t>");
  if (at == std::string::npos) return line == expected;
  const std::string tail = expected.substr(at + 3);
  if (!line.starts_with(expected.substr(0, at)) || !line.ends_with(tail)) return false;
  const std::size_t digits = line.size() - at - tail.size();
  return line.size() > at + tail.size() &&
         line.substr(at, digits).find_first_not_of("0123456789") == std::string::npos;
}

// Plays the exchanges in order: after each, every client reads what it must
// and then nothing more (a PING answered next proves it).
void Play(const std::vector<Exchange>& exchanges, std::array<TestClient*, 3> clients) {
  const std::string pong = kServerPrefix + "PONG " + std::string(kServerName) + " :sync";
  for (const Exchange& exchange : exchanges) {
    clients[exchange.from]->Send(exchange.send);
    for (const Expected& expected : exchange.expect) {
      const std::string line = clients[expected.who]->ReadLine();
      EXPECT_TRUE(Matches(line, expected.line))
          << exchange.send << "\n  read:     " << line << "\n  expected: " << expected.line;
    }
    for (TestClient* client : clients) {
      client->Send("PING :sync");
      EXPECT_EQ(client->ReadLine(), pong) << exchange.send << ": a line too many";
    }
  }
}

TEST(Mode, ChangesRefusalsAndWhatEachModeKeepsOut) {
  TestServer server;
  auto [ann, bob, cid] = RegisteredAll(server, {"ann", "bob", "cid"});
  ASSERT_TRUE(ann && bob && cid && JoinAll({ann.get(), bob.get()}, "#a"));
  const std::string s = kServerPrefix;
  const std::string name(kServerName);
  const auto from = [](const std::string& nick) { return ":" + nick + "!user@127.0.0.1 "; };
  const auto both = [&](const std::string& line) {
    return std::vector<Expected>{{kAnn, line}, {kBob, line}};
  };
  const auto all = [&](const std::string& line) {
    return std::vector<Expected>{{kAnn, line}, {kBob, line}, {kCid, line}};
  };
  const std::string byAnn = from("ann") + "MODE #a ";
  const std::string end366 = " #a :End of /NAMES list";
  const std::vector<Exchange> exchanges = {
      // The query: a new channel starts +nt; 329 gives its creation time.
      {kAnn, "MODE #a", {{kAnn, s + "324 ann #a +nt"}, {kAnn, s + "329 ann #a <t>"}}},
      {kAnn, "MODE #none", {{kAnn, s + "403 ann #none :No such channel"}}},
      // Prefixes, several in a line; what is already so is neither made nor relayed.
      {kAnn, "MODE #a +v bob", both(byAnn + "+v bob")},
      {kAnn, "MODE #a +o-v BOB bob", both(byAnn + "+o-v bob bob")},
      {kAnn, "MODE #a +o-v bob bob", {}},
      {kBob, "MODE #a -o bob", both(from("bob") + "MODE #a -o bob")},
      {kBob, "MODE #a +m-t+k x", {{kBob, s + "482 bob #a :You're not channel operator"}}},
      {kAnn,
       "MODE #a +yz",
       {{kAnn, s + "472 ann y :is unknown mode char to me"},
        {kAnn, s + "472 ann z :is unknown mode char to me"}}},
      {kAnn, "MODE #a +o", {{kAnn, s + "461 ann MODE :Not enough parameters"}}},
      {kAnn, "MODE #a +l", {{kAnn, s + "461 ann MODE :Not enough parameters"}}},
      {kAnn, "MODE #a +o nobody", {{kAnn, s + "401 ann nobody :No such nick/channel"}}},
      {kAnn, "MODE #a +v cid", {{kAnn, s + "441 ann cid #a :They aren't on that channel"}}},
      // Bans: normalised, compared folded, listed; four parameters a line.
      {kAnn, "MODE #a +bbbbb m1 u@h n!u m4 m5", both(byAnn + "+bbbb m1!*@* *!u@h n!u@* m4!*@*")},
      {kBob,
       "MODE #a b",
       {{kBob, s + "367 bob #a m1!*@* ann!user@127.0.0.1 <t>"},
        {kBob, s + "367 bob #a *!u@h ann!user@127.0.0.1 <t>"},
        {kBob, s + "367 bob #a n!u@* ann!user@127.0.0.1 <t>"},
        {kBob, s + "367 bob #a m4!*@* ann!user@127.0.0.1 <t>"},
        {kBob, s + "368 bob #a :End of channel ban list"}}},
      {kAnn, "MODE #a -bbbb M1 *!U@H n!u@* m4", both(byAnn + "-bbbb m1!*@* *!u@h n!u@* m4!*@*")},
      {kAnn, "MODE #a +b", {{kAnn, s + "368 ann #a :End of channel ban list"}}},
      // +n: an outsider may speak only without it.
      {kCid, "PRIVMSG #a :hi", {{kCid, s + "404 cid #a :Cannot send to channel"}}},
      {kCid, "NOTICE #a :hi", {}},
      {kAnn, "MODE #a -n", both(byAnn + "-n")},
      {kCid, "PRIVMSG #a :hi", both(from("cid") + "PRIVMSG #a :hi")},
      {kCid, "NOTICE #a :hi", both(from("cid") + "NOTICE #a :hi")},
      // +m: only @ and + speak.
      {kAnn, "MODE #a +m", both(byAnn + "+m")},
      {kBob, "PRIVMSG #a :x", {{kBob, s + "404 bob #a :Cannot send to channel"}}},
      {kBob, "NOTICE #a :x", {}},
      {kCid, "PRIVMSG #a :x", {{kCid, s + "404 cid #a :Cannot send to channel"}}},
      {kAnn, "PRIVMSG #a :op", {{kBob, from("ann") + "PRIVMSG #a :op"}}},
      {kAnn, "MODE #a +v bob", both(byAnn + "+v bob")},
      {kBob, "PRIVMSG #a :voiced", {{kAnn, from("bob") + "PRIVMSG #a :voiced"}}},
      {kAnn, "MODE #a -mv+n bob", both(byAnn + "-mv+n bob")},
      // A banned member cannot speak.
      {kAnn, "MODE #a +b bob", both(byAnn + "+b bob!*@*")},
      {kBob, "PRIVMSG #a :x", {{kBob, s + "404 bob #a :Cannot send to channel"}}},
      {kAnn, "MODE #a -b bob", both(byAnn + "-b bob!*@*")},
      // +t: the topic is the operators'.
      {kBob, "TOPIC #a :x", {{kBob, s + "482 bob #a :You're not channel operator"}}},
      {kAnn, "MODE #a -t", both(byAnn + "-t")},
      {kBob, "TOPIC #a :x", both(from("bob") + "TOPIC #a :x by bob")},
      // +k: the key is shown to members only; JOIN pairs keys with channels.
      {kAnn, "MODE #a +k sesame", both(byAnn + "+k sesame")},
      {kCid, "MODE #a", {{kCid, s + "324 cid #a +kn <key>"}, {kCid, s + "329 cid #a <t>"}}},
      {kBob, "MODE #a", {{kBob, s + "324 bob #a +kn sesame"}, {kBob, s + "329 bob #a <t>"}}},
      {kCid, "JOIN #a", {{kCid, s + "475 cid #a :Cannot join channel (+k)"}}},
      {kCid, "JOIN #a wrong", {{kCid, s + "475 cid #a :Cannot join channel (+k)"}}},
      {kCid,
       "JOIN #b,#a x,sesame",
       {{kCid, from("cid") + "JOIN :#b"},
        {kCid, s + "353 cid = #b :@cid"},
        {kCid, s + "366 cid #b :End of /NAMES list"},
        {kAnn, from("cid") + "JOIN :#a"},
        {kBob, from("cid") + "JOIN :#a"},
        {kCid, from("cid") + "JOIN :#a"},
        {kCid, s + "353 cid = #a :@ann bob cid"},
        {kCid, s + "366 cid" + end366}}},
      {kCid,
       "PART #b,#a",
       {{kCid, from("cid") + "PART #b"},
        {kAnn, from("cid") + "PART #a"},
        {kBob, from("cid") + "PART #a"},
        {kCid, from("cid") + "PART #a"}}},
      {kAnn, "MODE #a -k", both(byAnn + "-k sesame")},
      // +l: full at the limit.
      {kAnn, "MODE #a +l 2", both(byAnn + "+l 2")},
      {kCid, "JOIN #a", {{kCid, s + "471 cid #a :Cannot join channel (+l)"}}},
      {kAnn, "MODE #a -l+i", both(byAnn + "-l+i")},
      // +i: only with an invitation, used up by the join.
      {kCid, "JOIN #a", {{kCid, s + "473 cid #a :Cannot join channel (+i)"}}},
      {kAnn,
       "INVITE cid #a",
       {{kAnn, s + "341 ann cid #a"}, {kCid, from("ann") + "INVITE cid #a"}}},
      {kCid,
       "JOIN #a",
       {{kAnn, from("cid") + "JOIN :#a"},
        {kBob, from("cid") + "JOIN :#a"},
        {kCid, from("cid") + "JOIN :#a"},
        {kCid, s + "353 cid = #a :@ann bob cid"},
        {kCid, s + "366 cid" + end366}}},
      {kCid, "PART #a", all(from("cid") + "PART #a")},
      {kCid, "JOIN #a", {{kCid, s + "473 cid #a :Cannot join channel (+i)"}}},
      // +b keeps a match out, wildcards and letter case alike.
      {kAnn, "MODE #a -i+b CID!*@127.0.0.?", both(byAnn + "-i+b CID!*@127.0.0.?")},
      {kCid, "JOIN #a", {{kCid, s + "474 cid #a :Cannot join channel (+b)"}}},
      {kAnn, "MODE #a -b cid!*@127.0.0.?", both(byAnn + "-b CID!*@127.0.0.?")},
      // +s and +p: hidden from outsiders' LIST, NAMES and WHOIS.
      {kAnn, "MODE #a +s", both(byAnn + "+s")},
      {kCid,
       "LIST",
       {{kCid, s + "321 cid Channel :Users  Name"}, {kCid, s + "323 cid :End of /LIST"}}},
      {kCid, "NAMES #a", {{kCid, s + "366 cid" + end366}}},
      {kCid,
       "WHOIS bob",
       {{kCid, s + "311 cid bob user 127.0.0.1 * :Real Name"},
        {kCid, s + "319 cid bob :"},
        {kCid, s + "312 cid bob " + name + " :Harbor City"},
        {kCid, s + "318 cid bob :End of /WHOIS list"}}},
      {kBob, "NAMES #a", {{kBob, s + "353 bob = #a :@ann bob"}, {kBob, s + "366 bob" + end366}}},
      {kAnn, "MODE #a -s+p", both(byAnn + "-s+p")},
      {kCid,
       "LIST",
       {{kCid, s + "321 cid Channel :Users  Name"}, {kCid, s + "323 cid :End of /LIST"}}},
      {kAnn, "MODE #a -p", both(byAnn + "-p")},
      {kCid,
       "LIST",
       {{kCid, s + "321 cid Channel :Users  Name"},
        {kCid, s + "322 cid #a 2 :x by bob"},
        {kCid, s + "323 cid :End of /LIST"}}},
      // Prefixes from the flags: the highest, or all with multi-prefix.
      {kAnn, "MODE #a +vv ann bob", both(byAnn + "+vv ann bob")},
      {kCid, "NAMES #a", {{kCid, s + "353 cid = #a :@ann +bob"}, {kCid, s + "366 cid" + end366}}},
      {kCid, "CAP REQ multi-prefix", {{kCid, s + "CAP cid ACK :multi-prefix"}}},
      {kCid, "NAMES #a", {{kCid, s + "353 cid = #a :@+ann +bob"}, {kCid, s + "366 cid" + end366}}},
      {kCid,
       "WHO #a",
       {{kCid, s + "352 cid #a user 127.0.0.1 host ann H@+ :0 Real Name"},
        {kCid, s + "352 cid #a user 127.0.0.1 host bob H+ :0 Real Name"},
        {kCid, s + "315 cid #a :End of /WHO list"}}},
      {kBob,
       "WHOIS ann",
       {{kBob, s + "311 bob ann user 127.0.0.1 * :Real Name"},
        {kBob, s + "319 bob ann :@#a "},
        {kBob, s + "312 bob ann " + name + " :Harbor City"},
        {kBob, s + "318 bob ann :End of /WHOIS list"}}},
      // A nick target is a user's mode.
      {kAnn, "MODE ann", {{kAnn, s + "221 ann +"}}},
      {kAnn, "MODE bob +i", {{kAnn, s + "502 ann :Cant change mode for other users"}}},
  };
  Play(exchanges, {ann.get(), bob.get(), cid.get()});
  // The ban list holds 50 masks; a 51st is refused.
  for (int line = 0; line < 13; ++line) {
    std::string masks;
    for (int i = 0; i < 4; ++i) masks += " m" + std::to_string(line * 4 + i);
    ann->Send("MODE #a +bbbb" + masks);
  }
  for (int line = 0; line < 13; ++line) (void)bob->ReadLine();
  EXPECT_EQ(ann->ReadUntil("478"), s + "478 ann #a m50!*@* :Channel ban list is full");
}

TEST(Mode, ChanModeOffersAndChannelModesStartsWith) {
  TestServer server({{"Server.ChanMode", "bknostvx"}, {"Server.ChannelModes", "smi"}});
  auto ann = server.Connect();
  ann->Send("NICK ann");
  ann->Send("USER user host server :Real Name");
  EXPECT_EQ(ann->ReadUntil(" 004 "), kServerPrefix + "004 ann " + std::string(kServerName) + " " +
                                         std::string(base::kVersion) + " oiw bknostv");
  EXPECT_NE(ann->ReadLine().find(" PREFIX=(ov)@+ CHANMODES=b,k,,nst MODES=4 "), std::string::npos);
  (void)ann->ReadUntil("MOTD");
  ASSERT_TRUE(ann->Join("#a"));
  ann->Send("MODE #a");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "324 ann #a +s");
  (void)ann->ReadLine();
  ann->Send("MODE #a +mlt");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "472 ann m :is unknown mode char to me");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "472 ann l :is unknown mode char to me");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 MODE #a +t");
}

}  // namespace
}  // namespace zelkord::testing
