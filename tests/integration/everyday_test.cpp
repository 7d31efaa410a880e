// AWAY, INVITE, USERHOST, ISON, MOTD, VERSION, TIME, ADMIN, INFO and WHOWAS
// over real sockets: each case is a conversation among ann (the operator of
// #a), bob and cid, on a server of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/version.h"
#include "support/test_server.h"

namespace zelkord::testing {
namespace {

enum Who { kAnn, kBob, kCid };

// What one client must read next: a line, or "<silent>" (nothing arrives),
// "<closed>" (the server closes), "^text" (a line starting with text) or
// "~text" (lines through one holding text).
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
  std::vector<Exchange> exchanges;
  // Checks of the server's state once the conversation is over.
  std::function<void(TestServer&, std::array<std::unique_ptr<TestClient>, 3>&)> after;
};

void Expect(TestClient& client, const std::string& expected, const std::string& context) {
  if (expected == "<silent>") {
    EXPECT_TRUE(client.Silent()) << context;
  } else if (expected.starts_with('~')) {
    EXPECT_NE(client.ReadUntil(expected.substr(1)), "<timeout>") << context;
  } else if (expected.starts_with('^')) {
    const std::string line = client.ReadLine();
    EXPECT_TRUE(line.starts_with(expected.substr(1))) << context << ": " << line;
  } else {
    EXPECT_EQ(client.ReadLine(), expected) << context;
  }
}

// The invitations the slot holds now.
std::vector<std::string> Invitations(TestServer& server, int slot) {
  irc::ProtocolLock lock(server.Server().protocol);
  return server.Server().protocol.users->Slot(slot).invitations;
}

TEST(Everyday, Conversations) {
  const std::string s = kServerPrefix;
  const std::string name(kServerName);
  const std::string version(base::kVersion);
  const auto from = [](const std::string& nick) { return ":" + nick + "!user@127.0.0.1 "; };
  const std::string x198(198, 'x');
  const std::vector<Case> cases = {
      {"AWAY: 306/305, away-notify, 301 to PRIVMSG and WHOIS, G in WHO, '-' in USERHOST",
       3,
       {{kBob, "CAP REQ :away-notify", {{kBob, s + "CAP bob ACK :away-notify"}}},
        {kAnn,
         "AWAY :gone fishing",
         {{kAnn, s + "306 ann :You have been marked as being away"},
          {kBob, from("ann") + "AWAY :gone fishing"},
          {kCid, "<silent>"}}},
        {kBob,
         "PRIVMSG ann :hi",
         {{kAnn, from("bob") + "PRIVMSG ann :hi"}, {kBob, s + "301 bob ann :gone fishing"}}},
        {kCid,
         "WHOIS ann",
         {{kCid, s + "311 cid ann user 127.0.0.1 * :Real Name"},
          {kCid, s + "319 cid ann :@#a "},
          {kCid, s + "312 cid ann " + name + " :Harbor City"},
          {kCid, s + "301 cid ann :gone fishing"},
          {kCid, s + "318 cid ann :End of /WHOIS list"}}},
        {kCid,
         "WHO #a",
         {{kCid, s + "352 cid #a user 127.0.0.1 host ann G@ :0 Real Name"},
          {kCid, s + "352 cid #a user 127.0.0.1 host bob H :0 Real Name"},
          {kCid, s + "352 cid #a user 127.0.0.1 host cid H :0 Real Name"},
          {kCid, s + "315 cid #a :End of /WHO list"}}},
        {kCid,
         "USERHOST ann bob nobody",
         {{kCid, s + "302 cid :ann=-user@127.0.0.1 bob=+user@127.0.0.1"}}},
        {kAnn,
         "AWAY",
         {{kAnn, s + "305 ann :You are no longer marked as being away"},
          {kBob, from("ann") + "AWAY"}}},
        // Back while here: answered, told to nobody.
        {kAnn,
         "AWAY :",
         {{kAnn, s + "305 ann :You are no longer marked as being away"}, {kBob, "<silent>"}}},
        // 200 bytes at most, never half a character: "こ" fits, "ん" does not.
        {kAnn,
         "AWAY :" + x198 + "\x1b$B$3$s\x1b(B",
         {{kAnn, s + "306 ann :You have been marked as being away"},
          {kBob, from("ann") + "AWAY :" + x198 + "\x1b$B$3\x1b(B"}}},
        // An away user joining: away-notify members learn it after the JOIN.
        {kAnn,
         "PART #a",
         {{kAnn, from("ann") + "PART #a"},
          {kBob, from("ann") + "PART #a"},
          {kCid, from("ann") + "PART #a"}}},
        {kAnn,
         "JOIN #a",
         {{kBob, from("ann") + "JOIN :#a"},
          {kBob, from("ann") + "AWAY :" + x198 + "\x1b$B$3\x1b(B"},
          {kCid, from("ann") + "JOIN :#a"},
          {kCid, "<silent>"}}}},
       [](TestServer& server, auto&) {
         const std::vector<std::string> events = server.Desk().Events();
         EXPECT_EQ(std::count(events.begin(), events.end(), "away ann gone fishing"), 1);
         EXPECT_EQ(std::count(events.begin(), events.end(), "away ann "), 1);
       }},
      {"INVITE: 341, the invitee's line, invite-notify to operators, errors",
       2,
       {{kAnn, "CAP REQ :invite-notify", {{kAnn, s + "CAP ann ACK :invite-notify"}}},
        {kBob, "CAP REQ :invite-notify", {{kBob, s + "CAP bob ACK :invite-notify"}}},
        {kCid, "AWAY :out", {{kCid, s + "306 cid :You have been marked as being away"}}},
        {kBob,
         "INVITE cid #a",
         {{kBob, s + "341 bob cid #a"},
          {kBob, s + "301 bob cid :out"},
          {kCid, from("bob") + "INVITE cid #a"},
          {kAnn, from("bob") + "INVITE cid #a"}}},
        // Not an operator: bob is not told of ann's invitation.
        {kAnn,
         "INVITE cid #a",
         {{kAnn, s + "341 ann cid #a"},
          {kAnn, s + "301 ann cid :out"},
          {kCid, from("ann") + "INVITE cid #a"},
          {kBob, "<silent>"}}},
        {kBob, "INVITE nobody #a", {{kBob, s + "401 bob nobody :No such nick/channel"}}},
        {kBob, "INVITE cid #zz", {{kBob, s + "403 bob #zz :No such channel"}}},
        {kCid, "INVITE bob #a", {{kCid, s + "442 cid #a :You're not on that channel"}}},
        {kBob, "INVITE ann #a", {{kBob, s + "443 bob ann #a :is already on channel"}}}},
       [](TestServer& server, auto& clients) {
         EXPECT_EQ(Invitations(server, kCid), std::vector<std::string>{"#a"});
         ASSERT_TRUE(clients[kCid]->Join("#a"));
         EXPECT_TRUE(Invitations(server, kCid).empty());
       }},
      {"USERHOST and ISON",
       0,
       {{kAnn, "ISON BOB nobody Cid", {{kAnn, s + "303 ann :bob cid"}}},
        {kAnn, "ISON :bob ann", {{kAnn, s + "303 ann :bob ann"}}},
        {kAnn, "ISON nobody", {{kAnn, s + "303 ann :"}}},
        // Five nicks at most: the sixth is not looked at.
        {kAnn, "USERHOST a b c d e ann", {{kAnn, s + "302 ann :"}}},
        {kAnn, "USERHOST Bob", {{kAnn, s + "302 ann :bob=+user@127.0.0.1"}}}},
       nullptr},
      {"MOTD, VERSION, TIME, ADMIN, INFO",
       0,
       {{kAnn, "MOTD", {{kAnn, s + "422 ann :MOTD File is missing"}}},
        {kAnn,
         "VERSION",
         {{kAnn, s + "351 ann " + version + ". " + name + " :Harbor City"},
          {kAnn, s +
                     "005 ann CASEMAPPING=ascii CHANTYPES=#& PREFIX=(ov)@+ CHANMODES=b,k,l,imnpst "
                     "MODES=4 NICKLEN=30 "
                     "CHANNELLEN=64 TOPICLEN=300 KICKLEN=255 NETWORK=" +
                     name +
                     " TARGMAX=JOIN:,PART:,NAMES:,PRIVMSG:4,NOTICE:4,WHOIS:4,KICK:4 AWAYLEN=200 "
                     "MAXLIST=b:50 "
                     ":are supported by this server"},
          {kAnn, s + "005 ann " + kClientTagDeny + " " + kHistoryTokens +
                     " :are supported by this server"}}},
        {kAnn, "TIME", {{kAnn, "^" + s + "391 ann " + name + " :"}}},
        {kAnn,
         "ADMIN",
         {{kAnn, s + "256 ann " + name + " :Administrative info"},
          {kAnn, s + "257 ann :Harbor City"},
          {kAnn, s + "258 ann :Zelkord Admin"},
          {kAnn, s + "259 ann :ZELKNIK"}}},
        {kAnn,
         "INFO",
         {{kAnn, s + "371 ann :Zelkord " + version},
          {kAnn, s + "371 ann :" + name + ": Harbor City"},
          {kAnn, "^" + s + "371 ann :Started on "},
          {kAnn, s + "374 ann :End of INFO list"}}}},
       nullptr},
      {"WHOWAS: nick changes and quits, newest first, count, 406; the most users seen",
       2,
       {{kBob, "NICK bobby", {{kAnn, from("bob") + "NICK :bobby"}}},
        {kBob, "NICK bob", {{kAnn, ":bobby!user@127.0.0.1 NICK :bob"}}},
        {kBob, "NICK bobby", {{kAnn, from("bob") + "NICK :bobby"}}},
        {kCid, "QUIT :bye", {{kCid, "<closed>"}}},
        {kAnn,
         "LUSERS",
         {{kAnn, "~ 255 "},
          {kAnn, s + "265 ann 2 3 :Current local users 2, max 3"},
          {kAnn, s + "266 ann 2 3 :Current global users 2, max 3"}}},
        {kAnn,
         "WHOWAS cid",
         {{kAnn, s + "314 ann cid user 127.0.0.1 * :Real Name"},
          {kAnn, "^" + s + "312 ann cid " + name + " :"},
          {kAnn, s + "369 ann cid :End of WHOWAS"}}},
        {kAnn,
         "WHOWAS BOB 1",
         {{kAnn, s + "314 ann bob user 127.0.0.1 * :Real Name"},
          {kAnn, "^" + s + "312 ann bob "},
          {kAnn, s + "369 ann BOB :End of WHOWAS"}}},
        {kAnn,
         "WHOWAS bob",
         {{kAnn, s + "314 ann bob user 127.0.0.1 * :Real Name"},
          {kAnn, "^" + s + "312 ann bob "},
          {kAnn, s + "314 ann bob user 127.0.0.1 * :Real Name"},
          {kAnn, "^" + s + "312 ann bob "},
          {kAnn, s + "369 ann bob :End of WHOWAS"}}},
        {kAnn,
         "WHOWAS nobody",
         {{kAnn, s + "406 ann nobody :There was no such nickname"},
          {kAnn, s + "369 ann nobody :End of WHOWAS"}}}},
       nullptr},
  };
  for (const Case& c : cases) {
    TestServer server;
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
    if (c.after) c.after(server, clients);
  }
}

}  // namespace
}  // namespace zelkord::testing
