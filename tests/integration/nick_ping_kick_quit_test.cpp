// NICK, PING, KICK and QUIT over real sockets.
#include <gtest/gtest.h>

#include "base/jp_text.h"
#include "support/test_server.h"

namespace zelkord::testing {
namespace {

TEST(Nick, TakenNicksAreRefused) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob);
  ann->Send("NICK BOB");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "433 ann BOB :Nickname is already in use");
  ann->Send("NICK ann");  // no change: nothing to say
  ann->Send("NICK ANN");  // one's own nick in another case is one's own to take
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 NICK :ANN");
  EXPECT_TRUE(bob->Silent(50));
}

TEST(Nick, RelayedOncePerSharedChannel) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"}, {"#a", "#b"});
  ASSERT_TRUE(ann && bob);
  ann->Send("NICK anne");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 NICK :anne");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 NICK :anne");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 NICK :anne");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 NICK :anne");
  const std::string change = "*** " + std::string(base::jp::kNickChange) + "ann > anne";
  EXPECT_EQ(server.View("#a").back(), change);
  EXPECT_EQ(server.View("#b").back(), change);
  // The member lists follow: NAMES shows the new nick.
  bob->Send("NAMES #a");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "353 bob = #a :@anne bob");
}

TEST(Nick, UserInNoChannelIsToldAlone) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("NICK zed");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 NICK :zed");
  ann->Send("LUSERS");
  EXPECT_EQ(ann->ReadLine(),
            kServerPrefix + "251 zed :There are 1 users and 0 invisible on 1 servers");
  const auto events = server.Desk().Events();
  EXPECT_EQ(events.back(), "user ann zed");
}

TEST(Ping, EchoesTheToken) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  const std::string pong = kServerPrefix + "PONG " + std::string(kServerName) + " :";
  ann->Send("PING");
  EXPECT_EQ(ann->ReadLine(), pong);
  ann->Send("PING :whatever you like");
  EXPECT_EQ(ann->ReadLine(), pong + "whatever you like");
}

TEST(Kick, RefusalsInOrder) {
  TestServer server;
  auto [ann, bob, cid] = RegisteredAll(server, {"ann", "bob", "cid"});
  ASSERT_TRUE(ann && bob && cid && JoinAll({ann.get(), bob.get()}, "#a"));
  cid->Send("KICK #nowhere bob");
  EXPECT_EQ(cid->ReadLine(), kServerPrefix + "403 cid #nowhere :No such channel");
  cid->Send("KICK #a bob");  // exists, but cid has not joined it
  EXPECT_EQ(cid->ReadLine(), kServerPrefix + "442 cid #a :You're not on that channel");
  bob->Send("KICK #a ann");  // a member without the operator flag
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "482 bob #a :You're not channel operator");
  ann->Send("KICK #a Ghost");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "401 ann Ghost :No such nick/channel");
  ann->Send("KICK #a CID");  // connected, not on the channel: named as typed
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "441 ann CID #a :They aren't on that channel");
}

TEST(Kick, OperatorRemovesAMember) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"}, {"#a"});
  ASSERT_TRUE(ann && bob);
  ann->Send("KICK #a BOB :behave");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 KICK #a BOB :behave");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 KICK #a BOB :behave");
  ann->Send("NAMES #a");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "353 ann = #a :@ann");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "366 ann #a :End of /NAMES list");
  // bob may no longer talk there.
  bob->Send("PRIVMSG #a :hey");
  EXPECT_TRUE(ann->Silent());
}

TEST(Quit, MembersSeeQuitThenPart) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"}, {"#a"});
  ASSERT_TRUE(ann && bob);
  bob->Send("QUIT :see you");
  EXPECT_EQ(bob->ReadLine(), ":bob!user@127.0.0.1 QUIT :see you");
  EXPECT_EQ(bob->ReadLine(), "<closed>");
  EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 QUIT :see you");
  EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 PART #a");
  const auto view = server.View("#a");
  ASSERT_GE(view.size(), 2u);
  EXPECT_EQ(view[view.size() - 2], "*** bob" + std::string(base::jp::kQuitLeft) + "see you");
  EXPECT_EQ(view.back(), "*** bob" + std::string(base::jp::kDisconnected));
}

TEST(Quit, WithoutChannelsOrMessage) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("QUIT");
  EXPECT_EQ(ann->ReadLine(), "<closed>");
  EXPECT_TRUE(server.WaitRegistered(0));
}

}  // namespace
}  // namespace zelkord::testing
