// LIST, WHOIS, WHO, LUSERS and NAMES over real sockets.
#include <gtest/gtest.h>

#include "support/test_server.h"

namespace zelkord::testing {
namespace {

const std::string kS = ":Zel.Server(^^ ";

TEST(Queries, EmptyTable) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("LIST #anything");
  EXPECT_EQ(ann->ReadLine(), kS + "321 ann Channel :Users  Name");
  EXPECT_EQ(ann->ReadLine(), kS + "323 ann :End of /LIST");
  ann->Send("WHO");
  EXPECT_EQ(ann->ReadLine(), kS + "315 ann  :End of /WHO list");
  ann->Send("NAMES");
  EXPECT_EQ(ann->ReadLine(), kS + "366 ann  :End of /NAMES list");
  ann->Send("NAMES #none");
  EXPECT_EQ(ann->ReadLine(), kS + "366 ann #none :End of /NAMES list");
  ann->Send("WHO #none");
  EXPECT_TRUE(ann->Silent());
}

TEST(Queries, ListAndNamesVisitEveryChannelInOrder) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  auto bob = server.Registered("bob");
  ann->Send("JOIN #a");
  ann->Send("JOIN #b");
  ASSERT_NE(ann->ReadUntil("366 ann #b"), "<timeout>");
  bob->Send("JOIN #b");
  ASSERT_NE(bob->ReadUntil(" 366 "), "<timeout>");
  ann->Send("TOPIC #b :news");
  ASSERT_NE(bob->ReadUntil(" TOPIC "), "<timeout>");
  bob->Send("LIST");
  EXPECT_EQ(bob->ReadLine(), kS + "321 bob Channel :Users  Name");
  EXPECT_EQ(bob->ReadLine(), kS + "322 bob #a 1 :");
  EXPECT_EQ(bob->ReadLine(), kS + "322 bob #b 2 :news by ann");
  EXPECT_EQ(bob->ReadLine(), kS + "323 bob :End of /LIST");
  bob->Send("NAMES");
  EXPECT_EQ(bob->ReadLine(), kS + "353 bob = #a :@ann");
  EXPECT_EQ(bob->ReadLine(), kS + "353 bob = #b :@ann bob");
  EXPECT_EQ(bob->ReadLine(), kS + "366 bob #b :End of /NAMES list");
}

TEST(Queries, WhoisNamesTheUserAsStoredAndAsTyped) {
  TestServer server(SettingsMap{{"Server.Information", "Somewhere"}});
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("Ann");
  auto bob = server.Registered("bob");
  ann->Send("JOIN #a");
  bob->Send("JOIN #b");
  (void)bob->ReadUntil(" 366 ");
  ann->Send("JOIN #b");
  (void)ann->ReadUntil("#b :End");
  (void)bob->ReadLine();  // ann's JOIN
  bob->Send("WHOIS aNN");
  EXPECT_EQ(bob->ReadLine(), kS + "311 bob Ann user 127.0.0.1 * :Real Name");
  EXPECT_EQ(bob->ReadLine(), kS + "319 bob aNN :@#a +#b ");
  EXPECT_EQ(bob->ReadLine(), kS + "312 bob aNN Zel.Server(^^ :Somewhere");
  EXPECT_EQ(bob->ReadLine(), kS + "318 bob aNN :End of /WHOIS list");
  bob->Send("WHOIS nobody");
  EXPECT_EQ(bob->ReadLine(), kS + "401 bob nobody :No such nick/channel");
  EXPECT_TRUE(bob->Silent());
}

TEST(Queries, WhoListsMembersWithOperatorMarks) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  auto bob = server.Registered("bob");
  ann->Send("JOIN #a");
  (void)ann->ReadUntil(" 366 ");
  bob->Send("JOIN #a");
  (void)bob->ReadUntil(" 366 ");
  bob->Send("WHO #a");
  EXPECT_EQ(bob->ReadLine(), kS + "352 bob #a user 127.0.0.1 host ann H@ :0 Real Name");
  EXPECT_EQ(bob->ReadLine(), kS + "352 bob #a user 127.0.0.1 host bob H :0 Real Name");
  EXPECT_EQ(bob->ReadLine(), kS + "315 bob #a :End of /WHO list");
  bob->Send("WHO #a o");  // the whole text is the name
  bob->Send("WHO ann");
  EXPECT_TRUE(bob->Silent());
  bob->Send("WHO");
  EXPECT_NE(bob->ReadUntil(" 315 "), "<timeout>");
}

TEST(Queries, LusersCountsRegisteredConnectionsAndChannels) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  auto waiting = server.Connect();  // not registered: not counted
  waiting->Send("NICK later");
  ann->Send("JOIN #a");
  (void)ann->ReadUntil(" 366 ");
  ann->Send("LUSERS");
  EXPECT_EQ(ann->ReadLine(), kS + "251 ann :There are 1 users and 0 invisible on 1 servers");
  EXPECT_EQ(ann->ReadLine(), kS + "252 ann 0 :operator(s) online");
  EXPECT_EQ(ann->ReadLine(), kS + "253 ann 0 :unknown connection(s)");
  EXPECT_EQ(ann->ReadLine(), kS + "254 ann 1 :channels formed");
  EXPECT_EQ(ann->ReadLine(), kS + "255 ann :I have 1 clients and 0 servers");
}

TEST(Queries, UnknownAndEmptyCommandsAreIgnored) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("FROB x");
  ann->Send(":prefix.only");
  ann->Send("");
  ann->Send(":someone!x@y lusers");  // a prefix changes nothing
  EXPECT_EQ(ann->ReadLine(), kS + "251 ann :There are 1 users and 0 invisible on 1 servers");
}

}  // namespace
}  // namespace zelkord::testing
