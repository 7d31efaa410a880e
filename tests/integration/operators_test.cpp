// User modes and the server operators over real sockets: MODE on a nick,
// +i in WHO, NAMES and LUSERS, OPER with its pause after failures, KILL,
// WALLOPS, and an operator's KICK, channel MODE and sight of secret
// channels. Each case is a conversation among ann, bob and cid on a server
// of its own whose operator is "boss".
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/operator_password.h"
#include "support/test_server.h"

namespace zelkord::testing {
namespace {

enum Who { kAnn, kBob, kCid };

// What one client must read next: a line, or "<silent>" (nothing arrives),
// "<closed>" (the server closes) or "~text" (lines through one holding text).
struct Expected {
  Who who;
  std::string line;
};

struct Exchange {
  Who from;
  std::string send;
  std::vector<Expected> expect;
};

struct Case {
  const char* name;
  int members;  // how many of ann, bob, cid join #a, in that order
  bool withOperators;
  std::vector<Exchange> exchanges;
  std::vector<std::string> warnings;  // what the desk was told, in order
};

void Expect(TestClient& client, const std::string& expected, const std::string& context) {
  if (expected == "<silent>") {
    EXPECT_TRUE(client.Silent()) << context;
  } else if (expected == "<closed>") {
    EXPECT_EQ(client.ReadLine(), "<closed>") << context;
  } else if (expected.starts_with('~')) {
    EXPECT_NE(client.ReadUntil(expected.substr(1)), "<timeout>") << context;
  } else {
    EXPECT_EQ(client.ReadLine(), expected) << context;
  }
}

TEST(Operators, Conversations) {
  const std::string s = kServerPrefix;
  const auto from = [](const std::string& nick) { return ":" + nick + "!user@127.0.0.1 "; };
  const auto who = [&](const std::string& to, const std::string& nick, const char* flags) {
    return s + "352 " + to + " #a user 127.0.0.1 host " + nick + " " + flags + " :0 Real Name";
  };
  const Exchange annOpers = {
      kAnn,
      "OPER boss secret",
      {{kAnn, s + "381 ann :You are now an IRC operator"}, {kAnn, from("ann") + "MODE ann :+o"}}};
  const std::vector<Case> cases = {
      {"MODE on a nick: 221, changes relayed, 501, 502, 401, +o only by OPER",
       0,
       true,
       {{kAnn, "MODE ann", {{kAnn, s + "221 ann +"}}},
        {kAnn, "MODE ann +iw", {{kAnn, from("ann") + "MODE ann :+iw"}, {kBob, "<silent>"}}},
        {kAnn,
         "MODE ann -w+xo+i",
         {{kAnn, from("ann") + "MODE ann :-w"}, {kAnn, s + "501 ann :Unknown MODE flag"}}},
        {kAnn, "MODE ANN", {{kAnn, s + "221 ann +i"}}},
        {kAnn, "MODE ann +i", {{kAnn, "<silent>"}}},
        {kAnn, "MODE ann +r", {{kAnn, s + "501 ann :Unknown MODE flag"}}},
        {kAnn, "MODE bob -i", {{kAnn, s + "502 ann :Cant change mode for other users"}}},
        {kAnn, "MODE nobody +i", {{kAnn, s + "401 ann nobody :No such nick/channel"}}}},
       {}},
      {"+i: hidden from outsiders' WHO and NAMES, seen by members, counted by LUSERS",
       1,
       true,
       {{kAnn, "MODE ann +i", {{kAnn, from("ann") + "MODE ann :+i"}}},
        {kBob, "WHO", {{kBob, s + "315 bob #a :End of /WHO list"}}},
        {kBob, "WHO #a", {{kBob, s + "315 bob #a :End of /WHO list"}}},
        {kBob, "WHO *n*", {{kBob, s + "315 bob *n* :End of /WHO list"}}},
        {kBob,
         "NAMES",
         {{kBob, s + "353 bob = #a :"}, {kBob, s + "366 bob #a :End of /NAMES list"}}},
        {kBob,
         "LUSERS",
         {{kBob, s + "251 bob :There are 2 users and 1 invisible on 1 servers"},
          {kBob, s + "252 bob 0 :operator(s) online"},
          {kBob, "~ 266 "}}},
        {kCid, "JOIN #a", {{kCid, "~ 366 "}, {kAnn, from("cid") + "JOIN :#a"}}},
        {kCid,
         "WHO",
         {{kCid, who("cid", "ann", "H@")},
          {kCid, who("cid", "cid", "H")},
          {kCid, s + "315 cid #a :End of /WHO list"}}},
        {kCid,
         "WHO A?N",
         {{kCid, s + "352 cid * user 127.0.0.1 host ann H :0 Real Name"},
          {kCid, s + "315 cid A?N :End of /WHO list"}}},
        {kBob,
         "NAMES #a",
         {{kBob, s + "353 bob = #a :cid"}, {kBob, s + "366 bob #a :End of /NAMES list"}}}},
       {}},
      {"OPER: 464, then 381 and +o; 252 counts it; -o drops it; 491 without operators",
       0,
       true,
       {{kAnn, "OPER boss wrong", {{kAnn, s + "464 ann :Password incorrect"}}},
        {kAnn, "OPER nobody secret", {{kAnn, s + "464 ann :Password incorrect"}}},
        {kAnn, "OPER boss", {{kAnn, s + "461 ann OPER :Not enough parameters"}}},
        annOpers,
        {kAnn, "MODE ann", {{kAnn, s + "221 ann +o"}}},
        {kBob,
         "WHO 0 o",
         {{kBob, s + "352 bob * user 127.0.0.1 host ann H* :0 Real Name"},
          {kBob, s + "315 bob 0 :End of /WHO list"}}},
        {kBob,
         "LUSERS",
         {{kBob, s + "251 bob :There are 3 users and 0 invisible on 1 servers"},
          {kBob, s + "252 bob 1 :operator(s) online"},
          {kBob, "~ 266 "}}},
        {kAnn, "MODE ann -o", {{kAnn, from("ann") + "MODE ann :-o"}}},
        {kBob, "LUSERS", {{kBob, "~ 251 "}, {kBob, s + "252 bob 0 :operator(s) online"}}},
        {kAnn,
         "WALLOPS :hi",
         {{kAnn, s + "481 ann :Permission Denied- You're not an IRC operator"}}}},
       {"OPER as boss failed for ann from 127.0.0.1",
        "OPER as nobody failed for ann from 127.0.0.1",
        "ann from 127.0.0.1 is now an IRC operator as boss"}},
      {"OPER without operators",
       0,
       false,
       {{kAnn, "OPER boss secret", {{kAnn, s + "491 ann :No O-lines for your host"}}}},
       {}},
      {"OPER: after three failures even the right password is refused unheard",
       0,
       true,
       {{kBob, "OPER boss a", {{kBob, s + "464 bob :Password incorrect"}}},
        {kBob, "OPER boss b", {{kBob, s + "464 bob :Password incorrect"}}},
        {kBob, "OPER boss c", {{kBob, s + "464 bob :Password incorrect"}}},
        {kBob, "OPER boss secret", {{kBob, s + "464 bob :Password incorrect"}}},
        {kBob, "MODE bob", {{kBob, s + "221 bob +"}}},
        annOpers},
       {"OPER as boss failed for bob from 127.0.0.1", "OPER as boss failed for bob from 127.0.0.1",
        "OPER as boss failed for bob from 127.0.0.1",
        "ann from 127.0.0.1 is now an IRC operator as boss"}},
      {"KILL: 481 and 401; the victim gets ERROR and is closed, its channel sees QUIT",
       3,
       true,
       {{kBob,
         "KILL ann :x",
         {{kBob, s + "481 bob :Permission Denied- You're not an IRC operator"}}},
        annOpers,
        {kAnn, "KILL nobody :x", {{kAnn, s + "401 ann nobody :No such nick/channel"}}},
        {kAnn, "KILL bob", {{kAnn, s + "461 ann KILL :Not enough parameters"}}},
        {kAnn,
         "KILL bob :spamming",
         {{kBob, "ERROR :Closing Link: 127.0.0.1 (Killed (ann (spamming)))"},
          {kBob, "<closed>"},
          {kAnn, from("bob") + "QUIT :Killed (ann (spamming))"},
          {kCid, from("bob") + "QUIT :Killed (ann (spamming))"},
          {kAnn, "<silent>"}}},
        {kCid,
         "NAMES #a",
         {{kCid, s + "353 cid = #a :@ann cid"}, {kCid, s + "366 cid #a :End of /NAMES list"}}},
        {kCid, "WHOIS bob", {{kCid, s + "401 cid bob :No such nick/channel"}, {kCid, "~ 318 "}}}},
       {"ann from 127.0.0.1 is now an IRC operator as boss", "ann killed bob (spamming)"}},
      {"WALLOPS reaches +w users only, the sender too when +w; an operator KICKs from outside",
       2,
       true,
       {{kBob, "MODE bob +w", {{kBob, from("bob") + "MODE bob :+w"}}},
        {kCid, "OPER boss secret", {{kCid, "~ 381 "}, {kCid, from("cid") + "MODE cid :+o"}}},
        {kCid,
         "WALLOPS :hello all",
         {{kBob, from("cid") + "WALLOPS :hello all"}, {kAnn, "<silent>"}, {kCid, "<silent>"}}},
        {kCid, "MODE cid +w", {{kCid, from("cid") + "MODE cid :+w"}}},
        {kCid,
         "WALLOPS :again",
         {{kBob, from("cid") + "WALLOPS :again"}, {kCid, from("cid") + "WALLOPS :again"}}},
        {kCid,
         "KICK #a bob :out",
         {{kAnn, from("cid") + "KICK #a bob :out"},
          {kBob, from("cid") + "KICK #a bob :out"},
          {kCid, "<silent>"}}},
        {kBob, "KICK #a ann", {{kBob, s + "442 bob #a :You're not on that channel"}}}},
       {"cid from 127.0.0.1 is now an IRC operator as boss"}},
      {"An operator sets modes from outside, sees a secret channel; 313 in WHOIS, * in WHO",
       1,
       true,
       {{kCid, "MODE #a +s", {{kCid, s + "482 cid #a :You're not channel operator"}}},
        {kCid, "OPER boss secret", {{kCid, "~ 381 "}, {kCid, from("cid") + "MODE cid :+o"}}},
        {kCid,
         "MODE #a +s",
         {{kAnn, from("cid") + "MODE #a +s"},
          {kCid, from("cid") + "MODE #a +s"},
          {kBob, "<silent>"}}},
        {kBob,
         "LIST",
         {{kBob, s + "321 bob Channel :Users  Name"}, {kBob, s + "323 bob :End of /LIST"}}},
        {kCid,
         "LIST",
         {{kCid, s + "321 cid Channel :Users  Name"},
          {kCid, s + "322 cid #a 1 :"},
          {kCid, s + "323 cid :End of /LIST"}}},
        {kBob, "NAMES #a", {{kBob, s + "366 bob #a :End of /NAMES list"}}},
        {kCid,
         "NAMES #a",
         {{kCid, s + "353 cid = #a :@ann"}, {kCid, s + "366 cid #a :End of /NAMES list"}}},
        {kCid, "WHOIS ann", {{kCid, "~ 311 "}, {kCid, s + "319 cid ann :@#a "}, {kCid, "~ 318 "}}},
        {kAnn,
         "WHOIS cid",
         {{kAnn, "~ 312 "},
          {kAnn, s + "313 ann cid :is an IRC operator"},
          {kAnn, s + "318 ann cid :End of /WHOIS list"}}},
        {kCid, "JOIN #a", {{kCid, "~ 366 "}, {kAnn, from("cid") + "JOIN :#a"}}},
        {kAnn,
         "MODE #a +o cid",
         {{kAnn, from("ann") + "MODE #a +o cid"}, {kCid, from("ann") + "MODE #a +o cid"}}},
        {kAnn,
         "WHO #a",
         {{kAnn, who("ann", "ann", "H@")},
          {kAnn, who("ann", "cid", "H*@")},
          {kAnn, s + "315 ann #a :End of /WHO list"}}}},
       {"cid from 127.0.0.1 is now an IRC operator as boss"}},
  };
  const std::string hash = config::HashPassword("secret");
  ASSERT_TRUE(hash.starts_with("$scrypt$"));
  for (const Case& c : cases) {
    TestServer server(c.withOperators ? SettingsMap{{"Operators.boss", hash}} : SettingsMap{});
    ASSERT_TRUE(server.Started()) << c.name;
    auto clients = RegisteredAll(server, {"ann", "bob", "cid"});
    ASSERT_TRUE(clients[kAnn]) << c.name;
    std::vector<TestClient*> members;
    for (int i = 0; i < c.members; ++i) members.push_back(clients[i].get());
    ASSERT_TRUE(JoinAll(members, "#a")) << c.name;
    for (const Exchange& exchange : c.exchanges) {
      clients[exchange.from]->Send(exchange.send);
      for (const Expected& expected : exchange.expect) {
        Expect(*clients[expected.who], expected.line, std::string(c.name) + ": " + exchange.send);
      }
    }
    EXPECT_EQ(server.Desk().Warnings(), c.warnings) << c.name;
  }
}

// The hash the program prints for a password on its standard input is one
// the server accepts for that password, and for no other; a new salt each
// time.
TEST(Operators, HashPasswordOption) {
  const char* binary = std::getenv("ZELKORD_BINARY");
  ASSERT_NE(binary, nullptr);
  const auto run = [&] {
    const std::string command =
        "printf 'open sesame\\n' | '" + std::string(binary) + "' --hash-password 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    if (pipe == nullptr) return out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    EXPECT_EQ(pclose(pipe), 0);
    return out;
  };
  std::string first = run();
  ASSERT_TRUE(first.ends_with('\n')) << first;
  first.pop_back();
  EXPECT_TRUE(first.starts_with("$scrypt$N=16384,r=8,p=1$")) << first;
  EXPECT_TRUE(config::VerifyPassword("open sesame", first));
  EXPECT_FALSE(config::VerifyPassword("open sesame ", first));
  EXPECT_NE(run(), first + "\n");
  // A damaged hash matches nothing, the right password included.
  std::string flipped = first;
  flipped[flipped.size() - 3] = flipped[flipped.size() - 3] == 'A' ? 'B' : 'A';
  for (const std::string& damaged :
       {flipped, first.substr(0, first.size() - 4),
        "$scrypt$N=3,r=8,p=1" + first.substr(first.find("p=1") + 3),
        std::string("$scrypt$N=16384,r=8,p=1$$"), std::string("open sesame")}) {
    EXPECT_FALSE(config::VerifyPassword("open sesame", damaged)) << damaged;
  }
}

}  // namespace
}  // namespace zelkord::testing
