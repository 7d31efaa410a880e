// The command table over real sockets: which lines reach their handler.
#include <gtest/gtest.h>

#include "support/test_server.h"

namespace zelkord::testing {
namespace {

// A line short of its command's parameters is dropped in silence unless
// the handler answers it itself. The channel with the empty name, which
// "JOIN :" still makes, is where a dropped line would otherwise show; each
// PING is a barrier: its PONG must be the next line.
TEST(Dispatch, ShortLinesAreDroppedUnlessTheHandlerAnswers) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob && ann->Join(":"));
  const std::string pong = kServerPrefix + "PONG " + std::string(kServerName) + " :";
  bob->Send("JOIN");
  bob->Send("PING");
  EXPECT_EQ(bob->ReadLine(), pong);
  ASSERT_TRUE(bob->Join(":"));
  EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 JOIN :");
  for (const char* line : {"PRIVMSG", "PART", "TOPIC", "MODE", "PING"}) bob->Send(line);
  EXPECT_EQ(bob->ReadLine(), pong);
  bob->Send("PRIVMSG ann :barrier");
  EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 PRIVMSG ann :barrier");

  const std::string s = kServerPrefix;
  const struct {
    TestClient* from;
    const char* line;
    TestClient* to;
    std::string reply;
  } answered[] = {
      {bob.get(), "WHOIS", bob.get(), s + "401 bob  :No such nick/channel"},
      {bob.get(), "KICK", bob.get(), s + "482 bob  :You're not channel operator"},
      {ann.get(), "KICK :", ann.get(), s + "401 ann  :No such nick/channel"},
      {ann.get(), "PRIVMSG bob", bob.get(), ":ann!user@127.0.0.1 PRIVMSG bob :"},
  };
  for (const auto& c : answered) {
    c.from->Send(c.line);
    EXPECT_EQ(c.to->ReadLine(), c.reply) << c.line;
  }
  EXPECT_EQ(server.Channels(), std::vector<std::string>{""});
}

}  // namespace
}  // namespace zelkord::testing
