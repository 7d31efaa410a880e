// JOIN and PART over real sockets: relays in member order, the names
// reply, lists, refusals, channel life and the conversation view.
#include <gtest/gtest.h>

#include "base/jp_text.h"
#include "support/test_server.h"

namespace zelkord::testing {
namespace {

TEST(Join, FirstJoinMakesTheJoinerOperator) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("JOIN #a");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 JOIN :#a");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "353 ann = #a :@ann");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "366 ann #a :End of /NAMES list");
  EXPECT_TRUE(ann->Silent());  // no topic reply follows a JOIN
  EXPECT_EQ(server.View("#a"),
            std::vector<std::string>{"*** ann" + std::string(base::jp::kEntered)});
}

TEST(Join, SecondMemberIsRelayedToEveryone) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob && ann->Join("#a"));
  bob->Send("join #a extra words");  // lower case works; extra parameters are ignored
  EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 JOIN :#a");
  EXPECT_EQ(bob->ReadLine(), ":bob!user@127.0.0.1 JOIN :#a");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "353 bob = #a :@ann bob");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "366 bob #a :End of /NAMES list");
  // Joining again changes nothing and answers nothing.
  bob->Send("JOIN #a");
  EXPECT_TRUE(bob->Silent());
  EXPECT_TRUE(ann->Silent(50));
}

// Names are exact; a list joins each name in turn (keys pair with them);
// "JOIN 0" leaves every channel.
TEST(Join, ListsAndJoinZero) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob);
  ASSERT_TRUE(ann->Join("#a") && ann->Join("#A") && bob->Join("#y"));
  ann->Send("JOIN #x,,#y key1,key2");
  EXPECT_EQ(ann->ReadUntil("JOIN"), ":ann!user@127.0.0.1 JOIN :#x");
  EXPECT_EQ(ann->ReadUntil("JOIN"), ":ann!user@127.0.0.1 JOIN :#y");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "353 ann = #y :@bob ann");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "366 ann #y :End of /NAMES list");
  EXPECT_EQ(server.Channels(), (std::vector<std::string>{"#a", "#A", "#y", "#x"}));
  ann->Send("JOIN 0");
  for (const char* name : {"#a", "#A", "#x", "#y"}) {
    EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 PART " + std::string(name));
  }
  EXPECT_EQ(bob->ReadUntil("PART"), ":ann!user@127.0.0.1 PART #y");
  EXPECT_EQ(server.Channels(), std::vector<std::string>{"#y"});
}

TEST(Join, TableFullGets405) {
  TestServer server(SettingsMap{{"Program.ChanMax", "2"}});
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("JOIN #1,#2");
  (void)ann->ReadLines(6);
  ann->Send("JOIN #3");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "405 ann #3 :You have joined too many channels");
  // Once a channel empties, a new one fits.
  ann->Send("PART #1");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 PART #1");
  ann->Send("JOIN #3");
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 JOIN :#3");
}

TEST(Join, LongNamesReplyIsSplitBetweenNames) {
  TestServer server(SettingsMap{{"Program.UserMax", "40"}});
  ASSERT_TRUE(server.Started());
  std::vector<std::unique_ptr<TestClient>> clients;
  std::vector<std::string> nicks;
  for (int i = 0; i < 30; ++i) {
    nicks.push_back("member" + std::to_string(i) + std::string(20, 'x'));
    clients.push_back(server.Registered(nicks.back()));
    ASSERT_NE(clients.back(), nullptr);
    ASSERT_TRUE(clients.back()->Join("#big"));
  }
  auto last = server.Registered("last");
  last->Send("JOIN #big");
  EXPECT_EQ(last->ReadLine(), ":last!user@127.0.0.1 JOIN :#big");
  std::string joined;
  int lines = 0;
  for (std::string line = last->ReadLine(); line.find(" 366 ") == std::string::npos;
       line = last->ReadLine()) {
    ASSERT_EQ(line.rfind(kServerPrefix + "353 last = #big :", 0), 0u) << line;
    EXPECT_LE(line.size() + 2, 512u);
    joined += (joined.empty() ? "" : " ") + line.substr(line.find(" :") + 2);
    ++lines;
  }
  std::string expected = "@" + nicks[0];
  for (std::size_t i = 1; i < nicks.size(); ++i) expected += " " + nicks[i];
  expected += " last";
  EXPECT_GT(lines, 1);
  EXPECT_EQ(joined, expected);
}

TEST(Part, ListsPartEachWithTheReasonRelayed) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"}, {"#a", "#b"});
  ASSERT_TRUE(ann && bob);
  bob->Send("PART #a,#b :gone fishing");
  for (const char* name : {"#a", "#b"}) {
    const std::string relay = ":bob!user@127.0.0.1 PART " + std::string(name) + " :gone fishing";
    EXPECT_EQ(ann->ReadLine(), relay);
    EXPECT_EQ(bob->ReadLine(), relay);
  }
  EXPECT_EQ(server.View("#a").back(), "*** bob" + std::string(base::jp::kLeft));
}

TEST(Part, LastMemberDestroysTheChannel) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob);
  ann->Send("JOIN #a");
  ann->Send("TOPIC #a :old");
  ann->Send("PART #a");
  EXPECT_EQ(ann->ReadUntil("PART"), ":ann!user@127.0.0.1 PART #a");
  EXPECT_TRUE(server.Channels().empty());
  // A fresh channel: new operator, no topic.
  bob->Send("JOIN #a");
  EXPECT_EQ(bob->ReadLines(2).back(), kServerPrefix + "353 bob = #a :@bob");
  bob->Send("TOPIC #a");
  EXPECT_EQ(bob->ReadUntil(" 331 "), kServerPrefix + "331 bob #a :No topic is set");
}

// A PART refused with 442 leaves nothing in the channel's log.
TEST(Part, NonMemberLeavesNoLine) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob && ann->Join("#a"));
  bob->Send("PART #a");
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "442 bob #a :You're not on that channel");
  EXPECT_TRUE(ann->Silent(50));
  EXPECT_EQ(server.View("#a").back(), "*** ann" + std::string(base::jp::kEntered));
}

TEST(Disconnect, DroppedMemberIsPartedFromEveryChannel) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"}, {"#a", "#b"});
  ASSERT_TRUE(ann && bob);
  bob->SendRaw("PRIVMSG #a :half a li");  // dropped mid-line: the partial line is lost
  bob->Close();
  EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 PART #a");
  EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 PART #b");
  EXPECT_TRUE(ann->Silent());
  EXPECT_EQ(server.View("#b").back(), "*** bob" + std::string(base::jp::kDisconnected));
  EXPECT_TRUE(server.WaitRegistered(1));
}

}  // namespace
}  // namespace zelkord::testing
