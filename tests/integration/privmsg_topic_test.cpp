// PRIVMSG and TOPIC over real sockets.
#include <gtest/gtest.h>

#include "support/test_server.h"

namespace zelkord::testing {
namespace {

// ann and bob in #a, all join traffic read: where every PRIVMSG and TOPIC
// case starts.
class TwoInChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    auto [first, second] = RegisteredAll(server, {"ann", "bob"}, {"#a"});
    ann = std::move(first);
    bob = std::move(second);
    ASSERT_TRUE(ann && bob);
  }
  TestServer server;
  std::unique_ptr<TestClient> ann;
  std::unique_ptr<TestClient> bob;
};
using Privmsg = TwoInChannel;
using Topic = TwoInChannel;

TEST_F(Privmsg, ToChannelReachesTheOtherMembersOnly) {
  auto cid = server.Registered("cid");
  ASSERT_TRUE(cid->Join("#a"));
  (void)ann->ReadLine();
  (void)bob->ReadLine();
  ann->Send("PRIVMSG #a :hello there");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :hello there");
  EXPECT_EQ(cid->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :hello there");
  EXPECT_TRUE(ann->Silent());
  EXPECT_EQ(server.View("#a").back(), "ann> hello there");
}

TEST_F(Privmsg, ToNickInAnyCaseAndToOneself) {
  ann->Send("PRIVMSG BOB :psst");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG BOB :psst");
  ann->Send("PRIVMSG ann :note");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG ann :note");
  ann->Send("PRIVMSG bob only the first word");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG bob :only");
}

// Each target of a list gets its own line naming it; NOTICE goes the same
// way, and CTCP's \x01 framing passes unchanged in each encoding.
TEST_F(Privmsg, ListsReachEachTargetAndCtcpPassesUnchanged) {
  ann->Send("PRIVMSG bob,#a :both");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG bob :both");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :both");
  ann->Send("NOTICE bob,#a :\x01VERSION zk 1\x01");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 NOTICE bob :\x01VERSION zk 1\x01");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 NOTICE #a :\x01VERSION zk 1\x01");
  EXPECT_EQ(server.View("#a").back(), "ann> \x01VERSION zk 1\x01");
  bob->Send("CHARSET utf8");
  (void)bob->ReadLine();
  ann->Send(
      "PRIVMSG bob :\x01"
      "ACTION \x1b$B$3$s\x1b(B\x01");
  EXPECT_EQ(bob->ReadLine(),
            ":ann!user@127.0.0.1 PRIVMSG bob :\x01"
            "ACTION こん\x01");
  bob->Send(
      "NOTICE ann :\x01"
      "ACTION こん\x01");
  EXPECT_EQ(ann->ReadLine(),
            ":bob!user@127.0.0.1 NOTICE ann :\x01"
            "ACTION \x1b$B$3$s\x1b(B\x01");
  EXPECT_TRUE(ann->Silent(50));
}

// Refused messages leave nothing in the channel's view.
TEST_F(Privmsg, RefusalsLeaveTheViewAlone) {
  auto cid = server.Registered("cid");
  cid->Send("PRIVMSG #a :not a member");
  EXPECT_EQ(cid->ReadLine(), kServerPrefix + "404 cid #a :Cannot send to channel");
  ann->Send("PRIVMSG #A :wrong case");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "401 ann #A :No such nick/channel");
  EXPECT_TRUE(bob->Silent(50));
  EXPECT_EQ(server.View("#a").size(), 2u);  // the two join notices only
}

TEST_F(Privmsg, JapaneseTextArrivesAsTheSameWireBytes) {
  // "こんにちは" in ISO-2022-JP, then half-width katakana as 8-bit bytes.
  const std::string wire = "\x1b$B$3$s$K$A$O\x1b(B \xb1\xb2";
  ann->Send("PRIVMSG #a :" + wire);
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :" + wire);
  EXPECT_EQ(server.View("#a").back(), "ann> \x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd \xb1\xb2");
}

TEST_F(Topic, QuerySetAndReadBack) {
  ann->Send("TOPIC #a");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "331 ann #a :No topic is set");
  ann->Send("TOPIC #a :hello world");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 TOPIC #a :hello world by ann");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 TOPIC #a :hello world by ann");
  EXPECT_EQ(server.View("#a").back(), "*** hello world by ann");
  // Anyone may ask, member or not.
  auto cid = server.Registered("cid");
  cid->Send("TOPIC #a");
  EXPECT_EQ(cid->ReadLine(), kServerPrefix + "332 cid #a :hello world by ann");
}

TEST_F(Topic, EmptyTopicStillNamesTheSetter) {
  ann->Send("TOPIC #a :");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 TOPIC #a : by ann");
  bob->Send("TOPIC #a");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "332 bob #a : by ann");
}

TEST_F(Topic, NoSuchChannelGets403AndLongTopicsAreCut) {
  ann->Send("TOPIC #nowhere :x");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "403 ann #nowhere :No such channel");
  ann->Send("TOPIC #a :" + std::string(400, 't'));
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 TOPIC #a :" + std::string(300, 't') + " by ann");
}

}  // namespace
}  // namespace zelkord::testing
