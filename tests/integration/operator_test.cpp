// The operator client: logs in as the client nick, is channel operator
// wherever it joins, and the desk's actions become its command lines. Its
// reader drains every line, long ones included.
#include <gtest/gtest.h>

#include "services/operator_client.h"
#include "support/test_server.h"

namespace zelkord::testing {
namespace {

TEST(Operator, JoinsAsOperatorAndTalks) {
  TestServer server(SettingsMap{{"Client.Nick", "DESK"}}, /*withOperator=*/true);
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.WaitRegistered(1));
  auto bob = server.Registered("bob");
  ASSERT_TRUE(bob->Join("#b"));
  server.Server().Operator().Join("#b");
  EXPECT_EQ(bob->ReadLine(), ":DESK!Administrator@127.0.0.1 JOIN :#b");
  bob->Send("WHOIS desk");
  EXPECT_EQ(bob->ReadUntil(" 319 "), kServerPrefix + "319 bob desk :@#b ");
  EXPECT_TRUE(server.Server().Operator().Input("#b", "hello all"));
  EXPECT_EQ(bob->ReadUntil("PRIVMSG"), ":DESK!Administrator@127.0.0.1 PRIVMSG #b :hello all");
  EXPECT_TRUE(server.Server().Operator().Input("#b", "/TOPIC #b :from the desk"));
  EXPECT_EQ(bob->ReadUntil("TOPIC"),
            ":DESK!Administrator@127.0.0.1 TOPIC #b :from the desk by DESK");
  EXPECT_FALSE(server.Server().Operator().Input("#b", ""));
  server.Server().Operator().Part("#b");
  EXPECT_EQ(bob->ReadLine(), ":DESK!Administrator@127.0.0.1 PART #b");
}

TEST(Operator, ReaderDrainsLongLines) {
  TestServer server(SettingsMap{}, /*withOperator=*/true);
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.WaitRegistered(1));
  auto bob = server.Registered("bob");
  // Relays longer than 512 bytes, more than the socket buffers hold: the
  // server must never back up on the operator's connection.
  const std::string text(480, 'z');
  for (int i = 0; i < 3000; ++i) bob->Send("PRIVMSG ZELKNIK :" + text + std::to_string(i));
  bob->Send("JOIN #c");
  ASSERT_NE(bob->ReadUntil(" 366 ", 20000), "<timeout>");
  server.Server().Operator().Join("#c");
  EXPECT_EQ(bob->ReadLine(), ":ZELKNIK!Administrator@127.0.0.1 JOIN :#c");
}

}  // namespace
}  // namespace zelkord::testing
