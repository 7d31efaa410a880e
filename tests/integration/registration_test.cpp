// Registration over real sockets: the welcome burst line for line, the
// password step, nickname clashes.
#include <gtest/gtest.h>

#include <regex>

#include "base/version.h"
#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

TEST(Registration, WelcomeBurstLineForLine) {
  TestServer server(SettingsMap{}, /*withOperator=*/true);
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.WaitRegistered(1));
  auto client = server.Connect();
  client->Send("NICK ann");
  EXPECT_TRUE(client->Silent());
  client->Send("USER guest somehost someserver :Ann Example");
  const std::string& s = kServerPrefix;
  const std::string name(kServerName);
  const std::string version(base::kVersion);
  EXPECT_EQ(client->ReadLine(), s + "001 ann :Welcome to the Internet Relay Network ann");
  EXPECT_EQ(client->ReadLine(),
            s + "002 ann :Your host is " + name + ", running version " + version);
  EXPECT_EQ(client->ReadLine(),
            s + "003 ann :This server was created on " + server.Server().protocol.startTimeText);
  EXPECT_EQ(client->ReadLine(), s + "004 ann " + name + " " + version + " oiw biklmnopstv");
  // Without a network name the server's name stands for it.
  EXPECT_EQ(
      client->ReadLine(),
      s +
          "005 ann CASEMAPPING=ascii CHANTYPES=#& PREFIX=(ov)@+ CHANMODES=b,k,l,imnpst MODES=4 "
          "NICKLEN=30 "
          "CHANNELLEN=64 TOPICLEN=300 KICKLEN=255 NETWORK=" +
          name +
          " TARGMAX=JOIN:,PART:,NAMES:,PRIVMSG:4,NOTICE:4,WHOIS:4,KICK:4 AWAYLEN=200 MAXLIST=b:50 "
          ":are supported by this server");
  EXPECT_EQ(client->ReadLine(), s + "005 ann " + kClientTagDeny + " " + kHistoryTokens +
                                    " :are supported by this server");
  // The operator client counts among the registered users.
  EXPECT_EQ(client->ReadLine(), s + "251 ann :There are 2 users and 0 invisible on 1 servers");
  EXPECT_EQ(client->ReadLine(), s + "253 ann 0 :unknown connection(s)");
  EXPECT_EQ(client->ReadLine(), s + "254 ann 0 :channels formed");
  EXPECT_EQ(client->ReadLine(), s + "255 ann :I have 2 clients and 0 servers");
  EXPECT_EQ(client->ReadLine(), s + "265 ann 2 2 :Current local users 2, max 2");
  EXPECT_EQ(client->ReadLine(), s + "266 ann 2 2 :Current global users 2, max 2");
  const std::string time = client->ReadLine();
  const std::string timeHead = s + "391 ann " + name + " :";
  EXPECT_TRUE(time.rfind(timeHead, 0) == 0 &&
              std::regex_match(time.substr(timeHead.size()),
                               std::regex(R"([A-Z][a-z]{2} \d\d \d{4} \d\d:\d\d:\d\d)")))
      << time;
  EXPECT_EQ(client->ReadLine(), s + "422 ann :MOTD File is missing");
  EXPECT_TRUE(client->Silent());
}

TEST(Registration, MessageOfTheDayLinesEndTheBurst) {
  TempDir motd;
  const std::string file = motd.Write("motd.txt", "first\r\nsecond line\nthird");
  TestServer server(SettingsMap{{"Server.MotdPath", file}, {"Server.Name", "S"}});
  ASSERT_TRUE(server.Started());
  auto client = server.Connect();
  client->Send("USER u h s :r");  // USER first: the burst follows the NICK
  EXPECT_TRUE(client->Silent());
  client->Send("NICK n");
  EXPECT_NE(client->ReadUntil(" 391 "), "<timeout>");
  EXPECT_EQ(client->ReadLine(), ":S 375 n :- S Message of the day - ");
  EXPECT_EQ(client->ReadLine(), ":S 372 n :- first");
  EXPECT_EQ(client->ReadLine(), ":S 372 n :- second line");
  EXPECT_EQ(client->ReadLine(), ":S 372 n :- third");
  EXPECT_EQ(client->ReadLine(), ":S 376 n :End of /MOTD command");
}

TEST(Registration, RealNameKeepsItsSpacesAndNickIsTheFirstWord) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto client = server.Connect();
  client->Send("NICK :two words");
  client->Send("NICK two words");
  client->Send("USER u h s :Ann Example");
  EXPECT_EQ(client->ReadLine(), kServerPrefix + "432 * two words :Erroneous nickname");
  EXPECT_EQ(client->ReadLine(),
            kServerPrefix + "001 two :Welcome to the Internet Relay Network two");
  auto asker = server.Registered("bob");
  ASSERT_NE(asker, nullptr);
  asker->Send("WHOIS two");
  EXPECT_EQ(asker->ReadLine(), kServerPrefix + "311 bob two u 127.0.0.1 * :Ann Example");
}

TEST(Registration, NicknameInUseInAnyLetterCase) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto holder = server.Connect();
  holder->Send("NICK ABC");  // still registering: holds the nick all the same
  ASSERT_TRUE(WaitUntil([&] {
    irc::ProtocolLock lock(server.Server().protocol);
    return server.Server().protocol.users->FindUserByNick("abc") != irc::kNotFound;
  }));
  auto client = server.Connect();
  client->Send("USER u h s :r");
  client->Send("NICK abc");
  EXPECT_EQ(client->ReadLine(), kServerPrefix + "433 * abc :Nickname is already in use");
  client->Send("NICK");
  EXPECT_EQ(client->ReadLine(), kServerPrefix + "431 * :No nickname given");
  client->Send("NICK abd");
  EXPECT_EQ(client->ReadLine(),
            kServerPrefix + "001 abd :Welcome to the Internet Relay Network abd");
}

TEST(Registration, OtherCommandsBeforeRegistrationAreRefused) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto client = server.Connect();
  for (const char* line : {"JOIN #a", "LUSERS"}) {
    client->Send(line);
    EXPECT_EQ(client->ReadLine(), kServerPrefix + "451 * :You have not registered") << line;
  }
  for (const char* line : {"", "PASS x"}) client->Send(line);
  client->Send("CHARSET");  // allowed before registration: the next reply
  EXPECT_EQ(client->ReadLine(), kServerPrefix + "222 * ISO-2022-JP :is your charset now");
  EXPECT_TRUE(client->Register("ann"));
  EXPECT_TRUE(server.Channels().empty());
  // Registration's own lines are refused once registered.
  for (const char* line : {"USER u h s :again", "PASS x"}) {
    client->Send(line);
    EXPECT_EQ(client->ReadLine(), kServerPrefix + "462 ann :You may not reregister") << line;
  }
  client->Send("WHOIS ann");
  EXPECT_EQ(client->ReadLine(), kServerPrefix + "311 ann ann user 127.0.0.1 * :Real Name");
}

TEST(Registration, PasswordIsComparedByteForByte) {
  TestServer server(SettingsMap{{"Server.PassWord", "secret"}});
  ASSERT_TRUE(server.Started());
  auto client = server.Connect();
  client->Send("NICK ann");
  client->Send("PASS :secret");  // the colon is part of the text: no match
  client->Send("PASS Secret");
  EXPECT_TRUE(client->Silent());
  client->Send("PASS secret");
  // The NICK given before the password carries over.
  client->Send("USER u h s :r");
  EXPECT_EQ(client->ReadLine(),
            kServerPrefix + "001 ann :Welcome to the Internet Relay Network ann");
}

TEST(Registration, UserBeforePasswordIsRefusedAndClosed) {
  TestServer server(SettingsMap{{"Server.PassWord", "secret"}});
  ASSERT_TRUE(server.Started());
  auto client = server.Connect();
  client->Send("NICK ann");
  client->Send("USER u h s :r");
  EXPECT_EQ(client->ReadLine(), kServerPrefix + "465 ann :You are banned from this server");
  EXPECT_EQ(client->ReadLine(), "<closed>");
}

TEST(Registration, OperatorClientRegistersAsTheClientNick) {
  TestServer server(SettingsMap{{"Client.Nick", "DESK"}}, /*withOperator=*/true);
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.WaitRegistered(1));
  auto client = server.Registered("ann");
  ASSERT_NE(client, nullptr);
  client->Send("WHOIS desk");
  EXPECT_EQ(client->ReadLine(),
            kServerPrefix + "311 ann DESK Administrator 127.0.0.1 * :Zelkord Admin");
}

TEST(Registration, OperatorClientGivesTheServerPassword) {
  TestServer server(SettingsMap{{"Server.PassWord", "pw"}}, /*withOperator=*/true);
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.WaitRegistered(1));
  auto client = server.Connect();
  client->Send("PASS pw");
  ASSERT_TRUE(client->Register("ann"));
  client->Send("LUSERS");
  EXPECT_EQ(client->ReadLine(),
            kServerPrefix + "251 ann :There are 2 users and 0 invisible on 1 servers");
}

}  // namespace
}  // namespace zelkord::testing
