// The liveness sweep: pings registered connections, drops the silent ones
// at the next sweep, spares those that answered and slot 0, and drops
// connections that never register.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "services/liveness.h"
#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

const std::string kPing = "PING :" + std::string(kServerName);

TEST(Liveness, SilentClientIsPingedThenDropped) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto first = server.Registered("first");  // slot 0 is exempt: take it
  auto ann = server.Registered("ann");
  services::LivenessSweep(server.Server().protocol);
  EXPECT_EQ(ann->ReadLine(), kPing);
  const auto page = server.Server().protocol.commLog->Snapshot(1);
  ASSERT_FALSE(page.sent.empty());
  EXPECT_EQ(page.sent.back(), kPing);
  services::LivenessSweep(server.Server().protocol);
  EXPECT_EQ(ann->ReadLine(), "<closed>");
  EXPECT_TRUE(server.WaitRegistered(1));
  EXPECT_TRUE(first->Silent(50));
}

// A sweep takes the lock a slice of the table at a time: the slots past
// the first slice are pinged too.
TEST(Liveness, EverySlotOfATableLargerThanASliceIsPinged) {
  constexpr int kClients = services::kSweepSlotsPerLock + 2;
  TestServer server(SettingsMap{{"Program.UserMax", std::to_string(kClients)}});
  ASSERT_TRUE(server.Started());
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(server.Registered("u" + std::to_string(i)));
    ASSERT_TRUE(clients.back());
  }
  services::LivenessSweep(server.Server().protocol);
  for (int i = 1; i < kClients; ++i) ASSERT_EQ(clients[i]->ReadLine(), kPing) << "client " << i;
}

TEST(Liveness, ClientThatAnswersIsKept) {
  TestServer server;
  auto [first, ann] = RegisteredAll(server, {"first", "ann"});
  ASSERT_TRUE(first && ann);
  for (int sweep = 0; sweep < 3; ++sweep) {
    services::LivenessSweep(server.Server().protocol);
    ASSERT_EQ(ann->ReadLine(), kPing);
    ann->Send("PONG :" +
              std::string(kServerName));  // unknown to the dispatcher, but a line all the same
    ann->Send("LUSERS");
    ASSERT_NE(ann->ReadUntil(" 266 "), "<timeout>");
  }
}

TEST(Liveness, SlotZeroIsNeverPinged) {
  TestServer server(SettingsMap{}, /*withOperator=*/true);
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.WaitRegistered(1));
  for (int sweep = 0; sweep < 3; ++sweep) services::LivenessSweep(server.Server().protocol);
  auto ann = server.Registered("ann");
  ann->Send("LUSERS");
  EXPECT_EQ(ann->ReadLine(),
            kServerPrefix + "251 ann :There are 2 users and 0 invisible on 1 servers");
  EXPECT_TRUE(server.Server().protocol.commLog->Snapshot(0).sent.empty() ||
              server.Server().protocol.commLog->Snapshot(0).sent.back().rfind("PING", 0) != 0);
}

TEST(Liveness, UnregisteredConnectionIsDroppedAtTheSecondSweep) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto first = server.Registered("first");
  auto idle = server.Connect();
  idle->Send("NICK idle");  // never completes registration
  // Admitted (its log page is open) before the first sweep counts it.
  ASSERT_TRUE(WaitUntil([&] { return server.Server().protocol.commLog->Snapshot(1).open; }));
  services::LivenessSweep(server.Server().protocol);
  EXPECT_TRUE(idle->Silent(100));  // neither pinged nor dropped yet
  services::LivenessSweep(server.Server().protocol);
  EXPECT_TRUE(idle->ClosedWithoutData());
}

TEST(Liveness, TableOfOneSlotIsNeverSwept) {
  TestServer server(SettingsMap{{"Program.UserMax", "1"}});
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");  // takes slot 0
  services::LivenessSweep(server.Server().protocol);
  services::LivenessSweep(server.Server().protocol);
  EXPECT_TRUE(ann->Silent(100));
}

// Silent registered clients give their threads back and are served again
// from their next line; their answers to a sweep are taken while they stay
// parked; a partial line keeps its thread, so no byte of it is lost; a
// client that leaves while parked is cleaned up after.
TEST(Liveness, SilentClientsAreParkedAndServedAgain) {
  TestServer server;
  auto [ann, bob, cid] = RegisteredAll(server, {"ann", "bob", "cid"}, {"#c"});
  ASSERT_TRUE(ann && bob && cid);
  net::ParkingLot& lot = server.Server().parking;
  ASSERT_TRUE(WaitUntil([&] { return lot.Parked() == 3; }));

  // ann holds slot 0, which is never pinged.
  const std::uint64_t absorbed = lot.Absorbed();
  services::LivenessSweep(server.Server().protocol);
  for (TestClient* client : {bob.get(), cid.get()}) {
    ASSERT_EQ(client->ReadLine(), kPing);
    client->Send("pong :" + std::string(kServerName));
  }
  ASSERT_TRUE(WaitUntil([&] { return lot.Absorbed() == absorbed + 2; }));
  EXPECT_EQ(lot.Parked(), 3U);
  EXPECT_EQ(server.Server().protocol.commLog->Snapshot(1).received.back(),
            "pong :" + std::string(kServerName));
  services::LivenessSweep(server.Server().protocol);  // both answered: both kept
  EXPECT_EQ(bob->ReadLine(), kPing);
  EXPECT_EQ(cid->ReadLine(), kPing);

  ann->Send("PRIVMSG #c :one");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #c :one");
  EXPECT_EQ(cid->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #c :one");
  ASSERT_TRUE(WaitUntil([&] { return lot.Parked() == 3; }));
  bob->SendRaw("PRIVMSG #c :t");
  ASSERT_TRUE(WaitUntil([&] { return lot.Parked() == 2; }));
  EXPECT_TRUE(ann->Silent(200));  // ten idle times
  EXPECT_EQ(lot.Parked(), 2U);    // bob holds half a line: not parked
  bob->SendRaw("wo\r\n");
  EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 PRIVMSG #c :two");
  EXPECT_EQ(cid->ReadLine(), ":bob!user@127.0.0.1 PRIVMSG #c :two");

  ASSERT_TRUE(WaitUntil([&] { return lot.Parked() == 3; }));
  cid->Close();
  EXPECT_EQ(ann->ReadLine(), ":cid!user@127.0.0.1 PART #c");
  EXPECT_TRUE(server.WaitRegistered(2));
}

}  // namespace
}  // namespace zelkord::testing
