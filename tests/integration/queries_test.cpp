// LIST, WHOIS, WHO, LUSERS and NAMES over real sockets.
#include <gtest/gtest.h>

#include "support/test_server.h"

namespace zelkord::testing {
namespace {

TEST(Queries, EmptyTable) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("LIST #anything");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "321 ann Channel :Users  Name");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "323 ann :End of /LIST");
  ann->Send("WHO");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "315 ann  :End of /WHO list");
  ann->Send("NAMES");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "366 ann  :End of /NAMES list");
  ann->Send("NAMES #none");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "366 ann #none :End of /NAMES list");
  ann->Send("WHO #none");
  EXPECT_TRUE(ann->Silent());
}

TEST(Queries, ListAndNamesVisitEveryChannelInOrder) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob);
  ann->Send("JOIN #a");
  ann->Send("JOIN #b");
  ASSERT_NE(ann->ReadUntil("366 ann #b"), "<timeout>");
  ASSERT_TRUE(bob->Join("#b"));
  ann->Send("TOPIC #b :news");
  ASSERT_NE(bob->ReadUntil(" TOPIC "), "<timeout>");
  bob->Send("LIST");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "321 bob Channel :Users  Name");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "322 bob #a 1 :");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "322 bob #b 2 :news by ann");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "323 bob :End of /LIST");
  bob->Send("NAMES");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "353 bob = #a :@ann");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "353 bob = #b :@ann bob");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "366 bob #b :End of /NAMES list");
}

TEST(Queries, WhoisNamesTheUserAsStoredAndAsTyped) {
  TestServer server(SettingsMap{{"Server.Information", "Somewhere"}});
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("Ann");
  auto bob = server.Registered("bob");
  ann->Send("JOIN #a");
  ASSERT_TRUE(bob->Join("#b"));
  ann->Send("JOIN #b");
  (void)ann->ReadUntil("#b :End");
  (void)bob->ReadLine();  // ann's JOIN
  bob->Send("WHOIS aNN");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "311 bob Ann user 127.0.0.1 * :Real Name");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "319 bob aNN :@#a #b ");
  EXPECT_EQ(bob->ReadLine(),
            kServerPrefix + "312 bob aNN " + std::string(kServerName) + " :Somewhere");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "318 bob aNN :End of /WHOIS list");
  bob->Send("WHOIS nobody");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "401 bob nobody :No such nick/channel");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "318 bob nobody :End of /WHOIS list");
  // A list, and the form that names the server first.
  bob->Send("WHOIS x ghost,bob");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "401 bob ghost :No such nick/channel");
  EXPECT_EQ(bob->ReadUntil(" 311 "), kServerPrefix + "311 bob bob user 127.0.0.1 * :Real Name");
  EXPECT_EQ(bob->ReadUntil(" 318 "), kServerPrefix + "318 bob bob :End of /WHOIS list");
  EXPECT_TRUE(bob->Silent());
}

TEST(Queries, WhoListsMembersWithOperatorMarks) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob && ann->Join("#a"));
  ASSERT_TRUE(bob->Join("#a"));
  bob->Send("WHO #a");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "352 bob #a user 127.0.0.1 host ann H@ :0 Real Name");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "352 bob #a user 127.0.0.1 host bob H :0 Real Name");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "315 bob #a :End of /WHO list");
  bob->Send("WHO #a o");  // the whole text is the name
  EXPECT_TRUE(bob->Silent());
  bob->Send("WHO ann");  // not a channel: a nick mask
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "352 bob * user 127.0.0.1 host ann H :0 Real Name");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "315 bob ann :End of /WHO list");
  bob->Send("WHO");
  EXPECT_NE(bob->ReadUntil(" 315 "), "<timeout>");
}

TEST(Queries, LusersCountsRegisteredConnectionsAndChannels) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  auto waiting = server.Connect();  // not registered: not counted
  waiting->Send("NICK later");
  ASSERT_TRUE(ann->Join("#a"));
  ann->Send("LUSERS");
  EXPECT_EQ(ann->ReadLine(),
            kServerPrefix + "251 ann :There are 1 users and 0 invisible on 1 servers");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "252 ann 0 :operator(s) online");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "253 ann 0 :unknown connection(s)");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "254 ann 1 :channels formed");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "255 ann :I have 1 clients and 0 servers");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "265 ann 1 1 :Current local users 1, max 1");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "266 ann 1 1 :Current global users 1, max 1");
}

TEST(Queries, UnknownCommandsGet421AndEmptyOnesNothing) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("FROB x");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "421 ann FROB :Unknown command");
  ann->Send(":prefix.only");
  ann->Send("");
  ann->Send(":someone!x@y lusers");  // a prefix changes nothing
  EXPECT_EQ(ann->ReadLine(),
            kServerPrefix + "251 ann :There are 1 users and 0 invisible on 1 servers");
}

}  // namespace
}  // namespace zelkord::testing
