// Capability negotiation and the lines around registration, over real
// sockets: each case is a conversation on a connection of its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_server.h"

namespace zelkord::testing {
namespace {

// An expected line, or one of these: "<silent>" (nothing arrives),
// "<closed>" (the server closes), "~text" (read through a line holding text).
struct Exchange {
  std::string send;
  std::vector<std::string> expect;
};

struct Case {
  const char* name;
  const char* registeredAs;  // registered first with NICK and USER; nullptr: not
  std::vector<Exchange> exchanges;
};

void Expect(TestClient& client, const std::string& expected, const std::string& context) {
  if (expected == "<silent>") {
    EXPECT_TRUE(client.Silent()) << context;
  } else if (expected.starts_with('~')) {
    EXPECT_NE(client.ReadUntil(expected.substr(1)), "<timeout>") << context;
  } else {
    EXPECT_EQ(client.ReadLine(), expected) << context;
  }
}

TEST(Cap, Conversations) {
  TestServer server(SettingsMap{{"Server.Network", "ZelNet"}});
  ASSERT_TRUE(server.Started());
  const std::string s = kServerPrefix;
  const std::string name(kServerName);
  const std::string all =
      "cap-notify multi-prefix userhost-in-names away-notify invite-notify message-tags "
      "server-time echo-message batch labeled-response draft/chathistory "
      "draft/event-playback";
  const std::string welcome = s + "001 ann :Welcome to the Internet Relay Network ann";
  const std::vector<Case> cases = {
      {"LS 302, REQ, END registers",
       nullptr,
       {{"CAP LS 302", {s + "CAP * LS :" + all}},
        {"NICK ann", {"<silent>"}},
        {"CAP REQ :multi-prefix", {s + "CAP * ACK :multi-prefix"}},
        {"USER u h s :r", {"<silent>"}},
        {"CAP END", {welcome, "~ 422 "}},
        {"CAP LIST", {s + "CAP ann LIST :cap-notify multi-prefix"}},
        // A 302 client keeps cap-notify.
        {"CAP REQ :-cap-notify -multi-prefix", {s + "CAP ann ACK :-cap-notify -multi-prefix"}},
        {"CAP LIST", {s + "CAP ann LIST :cap-notify"}}}},
      {"plain LS: no cap-notify",
       nullptr,
       {{"CAP LS", {s + "CAP * LS :" + all}}, {"cap list", {s + "CAP * LIST :"}}}},
      {"unknown capability is refused, nothing changes",
       nullptr,
       {{"CAP REQ :bogus", {s + "CAP * NAK :bogus"}}, {"CAP LIST", {s + "CAP * LIST :"}}}},
      {"a request mixing known and unknown is refused whole",
       nullptr,
       {{"CAP REQ :multi-prefix bogus", {s + "CAP * NAK :multi-prefix bogus"}},
        {"CAP LIST", {s + "CAP * LIST :"}}}},
      {"unknown subcommand",
       nullptr,
       {{"CAP FOO", {s + "410 * FOO :Invalid CAP command"}},
        {"CAP", {s + "410 *  :Invalid CAP command"}}}},
      {"REQ holds registration until END",
       nullptr,
       {{"CAP REQ :userhost-in-names", {s + "CAP * ACK :userhost-in-names"}},
        {"USER u h s :r", {"<silent>"}},
        {"NICK ann", {"<silent>"}},
        {"CAP END", {welcome, "~ 422 "}},
        {"JOIN #a", {":ann!u@127.0.0.1 JOIN :#a", s + "353 ann = #a :@ann!u@127.0.0.1"}}}},
      {"END without negotiation changes nothing",
       nullptr,
       {{"CAP END", {"<silent>"}}, {"NICK ann", {"<silent>"}}, {"USER u h s :r", {welcome}}}},
      {"CAP after registration",
       "ann",
       {{"CAP LS", {s + "CAP ann LS :" + all}},
        {"CAP REQ userhost-in-names", {s + "CAP ann ACK :userhost-in-names"}},
        {"CAP LIST", {s + "CAP ann LIST :userhost-in-names"}},
        {"CAP END", {"<silent>"}}}},
      {"commands before registration",
       nullptr,
       {{"JOIN #a", {s + "451 * :You have not registered"}},
        {"BOGUS", {s + "451 * :You have not registered"}},
        {"PONG :x", {"<silent>"}},
        {"PING :LAG 1", {s + "PONG " + name + " :LAG 1"}},
        {"QUIT :bye", {"ERROR :Closing Link: 127.0.0.1 (Client Quit)", "<closed>"}}}},
      {"PONG echoes the token; 005 came after 004",
       nullptr,
       {{"NICK ann", {"<silent>"}},
        {"USER u h s :r",
         {welcome, "~ 004 ann ",
          s + "005 ann CASEMAPPING=ascii CHANTYPES=#& PREFIX=(ov)@+ CHANMODES=b,k,l,imnpst MODES=4 "
              "NICKLEN=30 "
              "CHANNELLEN=64 TOPICLEN=300 KICKLEN=255 NETWORK=ZelNet "
              "TARGMAX=JOIN:,PART:,NAMES:,PRIVMSG:4,NOTICE:4,WHOIS:4,KICK:4 AWAYLEN=200 "
              "MAXLIST=b:50 "
              ":are supported by this server",
          s + "005 ann " + kClientTagDeny + " " + kHistoryTokens + " :are supported by this server",
          s + "251 ann :There are 1 users and 0 invisible on 1 servers", "~ 422 "}},
        {"PING LAG1733", {s + "PONG " + name + " :LAG1733"}},
        {"PING a b :c d", {s + "PONG " + name + " :c d"}}}},
  };
  for (const Case& c : cases) {
    auto client = c.registeredAs ? server.Registered(c.registeredAs) : server.Connect();
    ASSERT_TRUE(client) << c.name;
    for (const Exchange& exchange : c.exchanges) {
      client->Send(exchange.send);
      for (const std::string& expected : exchange.expect) {
        Expect(*client, expected, std::string(c.name) + ": " + exchange.send);
      }
    }
    client->Close();
    ASSERT_TRUE(server.WaitRegistered(0)) << c.name;
  }
}

}  // namespace
}  // namespace zelkord::testing
