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

TEST_F(Privmsg, NickWinsOverAChannelOfTheSameName) {
  auto hash = server.Registered("#a");  // a nick that looks like the channel
  ASSERT_NE(hash, nullptr);
  ann->Send("PRIVMSG #a :to whom");
  EXPECT_EQ(hash->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :to whom");
  EXPECT_TRUE(bob->Silent());
}

TEST_F(Privmsg, SilentDrops) {
  auto cid = server.Registered("cid");
  cid->Send("PRIVMSG #a :not a member");
  ann->Send("PRIVMSG #A :wrong case");
  ann->Send("PRIVMSG nobody :hi");
  EXPECT_TRUE(cid->Silent());
  EXPECT_TRUE(ann->Silent(50));
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
  bob->Send("TOPIC #a :");
  EXPECT_EQ(bob->ReadLine(), ":bob!user@127.0.0.1 TOPIC #a : by bob");
  bob->Send("TOPIC #a");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "332 bob #a : by bob");
}

TEST_F(Topic, NoSuchChannelGetsNoReply) {
  ann->Send("TOPIC #nowhere");
  ann->Send("TOPIC #nowhere :x");
  EXPECT_TRUE(ann->Silent());
}

}  // namespace
}  // namespace zelkord::testing
