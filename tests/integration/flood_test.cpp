// Flood control: past its burst a client's lines wait and are handled at the
// rate, in order and none lost, while every other client is served at once;
// a client that keeps flooding is disconnected; the desk's client never is.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/test_server.h"

namespace zelkord::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBurst = 5;
constexpr int kRate = 2;

const SettingsMap kFloodSettings{{"Program.FloodBurst", std::to_string(kBurst)},
                                 {"Program.FloodRate", std::to_string(kRate)}};

std::string Said(const std::string& nick, int i, const std::string& user = "user") {
  return ":" + nick + "!" + user + "@127.0.0.1 PRIVMSG #a :line " + std::to_string(i);
}

TEST(FloodControl, PacesTheLinesInOrderWhileOthersAreServedAtOnce) {
  TestServer server(kFloodSettings);
  auto [ann, bob, cid] = RegisteredAll(server, {"ann", "bob", "cid"});
  ASSERT_TRUE(ann && bob && cid && ann->Join("#a"));
  ASSERT_TRUE(bob->Join("#a"));
  (void)ann->ReadUntil(" JOIN ");

  // ann keeps as many lines in flight as may wait without being taken for
  // a flood; bob checks each arrives in order and no sooner than the rate
  // allows, and cid's PING is answered promptly meanwhile.
  constexpr int kLines = 100;
  constexpr int kInFlight = 3 * kBurst;
  const Clock::time_point start = Clock::now();
  Clock::duration slowestPing{};
  for (int sent = 0, got = 0; got < kLines; ++got) {
    for (; sent < kLines && sent - got < kInFlight; ++sent) {
      ann->Send("PRIVMSG #a :line " + std::to_string(sent));
    }
    ASSERT_EQ(bob->ReadLine(), Said("ann", got));
    // The bucket holds kBurst lines and refills at kRate a second.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000 * (got + 1 - kBurst) / kRate))
        << "line " << got << " came early";
    if (got % 5 == 0) {
      const Clock::time_point ping = Clock::now();
      cid->Send("PING :bystander");
      ASSERT_NE(cid->ReadUntil(" PONG "), "<timeout>");
      slowestPing = std::max(slowestPing, Clock::now() - ping);
    }
  }
  EXPECT_LT(slowestPing, std::chrono::milliseconds(100));
  EXPECT_TRUE(ann->Silent());  // nothing was refused
}

TEST(FloodControl, DisconnectsTheFlooderButNeverTheDesksClient) {
  TestServer server(kFloodSettings, true);
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.WaitRegistered(1));
  auto bob = server.Registered("bob");
  auto dan = server.Registered("dan");
  ASSERT_TRUE(bob && dan && bob->Join("#a"));
  ASSERT_TRUE(dan->Join("#a"));

  // The desk's client says more at once than anybody else could.
  constexpr int kLines = 6 * kBurst;
  server.Server().Operator().Join("#a");
  for (int i = 0; i < kLines; ++i) {
    server.Server().Operator().Input("#a", "line " + std::to_string(i));
  }
  const std::string nick = server.Server().protocol.settings.clientNick;
  ASSERT_EQ(bob->ReadUntil(":" + nick + "!"), ":" + nick + "!Administrator@127.0.0.1 JOIN :#a");
  for (int i = 0; i < kLines; ++i) {
    ASSERT_EQ(bob->ReadLine(), Said(nick, i, "Administrator"));
  }

  std::string flood;
  for (int i = 0; i < kLines; ++i) flood += "PRIVMSG #a :line " + std::to_string(i) + "\r\n";
  dan->SendRaw(flood);
  EXPECT_EQ(dan->ReadUntil("ERROR "), "ERROR :Closing Link: Excess Flood");
  EXPECT_EQ(dan->ReadLine(), "<closed>");
  // bob saw the burst, then dan leaving as any disconnected client does.
  EXPECT_EQ(bob->ReadUntil(" PART "), ":dan!user@127.0.0.1 PART #a");
}

}  // namespace
}  // namespace zelkord::testing
