// PRIVMSG and TOPIC over real sockets.
#include <gtest/gtest.h>

#include "support/test_server.h"

namespace zelkord::testing {
namespace {

// ann and bob in #a, all join traffic read.
struct TwoInChannel {
  TestServer server;
  std::unique_ptr<TestClient> ann;
  std::unique_ptr<TestClient> bob;
  TwoInChannel() {
    ann = server.Registered("ann");
    bob = server.Registered("bob");
    JoinAll({ann.get(), bob.get()}, "#a");
  }
};

TEST(Privmsg, ToChannelReachesTheOtherMembersOnly) {
  TwoInChannel c;
  auto cid = c.server.Registered("cid");
  cid->Send("JOIN #a");
  (void)cid->ReadLines(3);
  (void)c.ann->ReadLine();
  (void)c.bob->ReadLine();
  c.ann->Send("PRIVMSG #a :hello there");
  EXPECT_EQ(c.bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :hello there");
  EXPECT_EQ(cid->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :hello there");
  EXPECT_TRUE(c.ann->Silent());
  EXPECT_EQ(c.server.View("#a").back(), "ann> hello there");
}

TEST(Privmsg, ToNickInAnyCaseAndToOneself) {
  TwoInChannel c;
  c.ann->Send("PRIVMSG BOB :psst");
  EXPECT_EQ(c.bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG BOB :psst");
  c.ann->Send("PRIVMSG ann :note");
  EXPECT_EQ(c.ann->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG ann :note");
  c.ann->Send("PRIVMSG bob only the first word");
  EXPECT_EQ(c.bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG bob :only");
}

TEST(Privmsg, NickWinsOverAChannelOfTheSameName) {
  TwoInChannel c;
  auto hash = c.server.Registered("#a");  // a nick that looks like the channel
  ASSERT_NE(hash, nullptr);
  c.ann->Send("PRIVMSG #a :to whom");
  EXPECT_EQ(hash->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :to whom");
  EXPECT_TRUE(c.bob->Silent());
}

TEST(Privmsg, SilentDrops) {
  TwoInChannel c;
  auto cid = c.server.Registered("cid");
  cid->Send("PRIVMSG #a :not a member");
  c.ann->Send("PRIVMSG #A :wrong case");
  c.ann->Send("PRIVMSG nobody :hi");
  EXPECT_TRUE(cid->Silent());
  EXPECT_TRUE(c.ann->Silent(50));
  EXPECT_TRUE(c.bob->Silent(50));
  EXPECT_EQ(c.server.View("#a").size(), 2u);  // the two join notices only
}

TEST(Privmsg, JapaneseTextArrivesAsTheSameWireBytes) {
  TwoInChannel c;
  // "こんにちは" in ISO-2022-JP, then half-width katakana as 8-bit bytes.
  const std::string wire = "\x1b$B$3$s$K$A$O\x1b(B \xb1\xb2";
  c.ann->Send("PRIVMSG #a :" + wire);
  EXPECT_EQ(c.bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :" + wire);
  EXPECT_EQ(c.server.View("#a").back(), "ann> \x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd \xb1\xb2");
}

TEST(Topic, QuerySetAndReadBack) {
  TwoInChannel c;
  c.ann->Send("TOPIC #a");
  EXPECT_EQ(c.ann->ReadLine(), kServerPrefix + "331 ann #a :No topic is set");
  c.ann->Send("TOPIC #a :hello world");
  EXPECT_EQ(c.ann->ReadLine(), ":ann!user@127.0.0.1 TOPIC #a :hello world by ann");
  EXPECT_EQ(c.bob->ReadLine(), ":ann!user@127.0.0.1 TOPIC #a :hello world by ann");
  EXPECT_EQ(c.server.View("#a").back(), "*** hello world by ann");
  // Anyone may ask, member or not.
  auto cid = c.server.Registered("cid");
  cid->Send("TOPIC #a");
  EXPECT_EQ(cid->ReadLine(), kServerPrefix + "332 cid #a :hello world by ann");
}

TEST(Topic, EmptyTopicStillNamesTheSetter) {
  TwoInChannel c;
  c.bob->Send("TOPIC #a :");
  EXPECT_EQ(c.bob->ReadLine(), ":bob!user@127.0.0.1 TOPIC #a : by bob");
  c.bob->Send("TOPIC #a");
  EXPECT_EQ(c.bob->ReadLine(), kServerPrefix + "332 bob #a : by bob");
}

TEST(Topic, NoSuchChannelGetsNoReply) {
  TwoInChannel c;
  c.ann->Send("TOPIC #nowhere");
  c.ann->Send("TOPIC #nowhere :x");
  EXPECT_TRUE(c.ann->Silent());
}

}  // namespace
}  // namespace zelkord::testing
