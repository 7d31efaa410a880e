// The communication log: a page per connection, captioned with its nick,
// received lines on one side, sent lines on the other, relays on the
// recipient's page.
#include <gtest/gtest.h>

#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

TEST(CommLog, PagesFollowTheConnectionAndItsNick) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Connect();
  ann->Send("NICK ann");
  auto page = server.Server().protocol.commLog->Snapshot(0);
  ASSERT_TRUE(WaitUntil([&] {
    page = server.Server().protocol.commLog->Snapshot(0);
    return !page.received.empty();
  }));
  EXPECT_TRUE(page.open);
  EXPECT_EQ(page.caption, "");  // not registered yet
  EXPECT_EQ(page.received, std::vector<std::string>{"NICK ann"});
  ann->Send("USER u h s :r");
  ASSERT_NE(ann->ReadUntil(" 422 "), "<timeout>");
  EXPECT_EQ(server.Server().protocol.commLog->Snapshot(0).caption, "ann");
  ann->Send("NICK anne");
  ann->Send("LUSERS");
  ASSERT_NE(ann->ReadUntil(" 266 "), "<timeout>");
  page = server.Server().protocol.commLog->Snapshot(0);
  EXPECT_EQ(page.caption, "anne");
  EXPECT_EQ(page.sent.back(), kServerPrefix + "266 anne 1 1 :Current global users 1, max 1");
  ann->Close();
  EXPECT_TRUE(WaitUntil([&] { return !server.Server().protocol.commLog->Snapshot(0).open; }));
}

TEST(CommLog, RelaysAreLoggedOnTheRecipientsPage) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");  // slot 0
  auto bob = server.Registered("bob");  // slot 1
  ann->Send("PRIVMSG bob :\x1b$B$3$s\x1b(B");
  ASSERT_NE(bob->ReadUntil("PRIVMSG"), "<timeout>");
  const std::string relay = ":ann!user@127.0.0.1 PRIVMSG bob :\x82\xb1\x82\xf1";  // Shift_JIS
  EXPECT_EQ(server.Server().protocol.commLog->Snapshot(1).sent.back(), relay);
  const auto annPage = server.Server().protocol.commLog->Snapshot(0);
  EXPECT_EQ(annPage.received.back(), "PRIVMSG bob :\x82\xb1\x82\xf1");
  EXPECT_NE(annPage.sent.back(), relay);
}

TEST(CommLog, ViewsKeepTheLast201Lines) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  for (int i = 0; i < 250; ++i) ann->Send("PING " + std::to_string(i));
  ann->Send("LUSERS");
  ASSERT_NE(ann->ReadUntil(" 255 "), "<timeout>");
  const auto page = server.Server().protocol.commLog->Snapshot(0);
  EXPECT_EQ(page.received.size(), 201u);
  EXPECT_EQ(page.received.back(), "LUSERS");
  EXPECT_EQ(page.sent.size(), 201u);

  // A channel line is kept once for all its recipients: each page still
  // holds its own last 201, in order, after another page has gone.
  auto bob = server.Registered("bob");
  auto cy = server.Registered("cy");
  for (TestClient* member : {ann.get(), bob.get(), cy.get()}) {
    member->Send("JOIN #c");
    ASSERT_NE(member->ReadUntil(" 366 "), "<timeout>");
  }
  for (int i = 0; i < 300; ++i) ann->Send("PRIVMSG #c :" + std::to_string(i));
  ASSERT_NE(cy->ReadUntil("PRIVMSG #c :299"), "<timeout>");
  ASSERT_NE(bob->ReadUntil("PRIVMSG #c :299"), "<timeout>");
  bob->Close();
  ASSERT_TRUE(WaitUntil([&] { return !server.Server().protocol.commLog->Snapshot(1).open; }));
  const auto cyPage = server.Server().protocol.commLog->Snapshot(2);
  ASSERT_EQ(cyPage.sent.size(), 201u);
  for (std::size_t i = 0; i < 200; ++i) {
    EXPECT_EQ(cyPage.sent[i], ":ann!user@127.0.0.1 PRIVMSG #c :" + std::to_string(100 + i));
  }
  EXPECT_EQ(cyPage.sent.back(), ":bob!user@127.0.0.1 PART #c");  // its connection closed
}

}  // namespace
}  // namespace zelkord::testing
