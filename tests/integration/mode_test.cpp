// MODE over real sockets: one answer for a channel query, silence else.
#include <gtest/gtest.h>

#include "support/test_server.h"

namespace zelkord::testing {
namespace {

TEST(Mode, ChannelQueryGetsOneReplyAndChangesAreIgnored) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob && ann->Join("#a"));
  ann->Send("MODE #a");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "324 ann #a :");
  // A nick's modes are the user modes' (operators_test.cpp).
  for (const char* line : {"MODE #a +o bob", "MODE #a +l 1", "MODE #a +k key", "MODE #A"}) {
    ann->Send(line);
  }
  EXPECT_TRUE(ann->Silent());
  // No limit or key was set: bob still joins.
  bob->Send("JOIN #a");
  EXPECT_EQ(bob->ReadLine(), ":bob!user@127.0.0.1 JOIN :#a");
}

}  // namespace
}  // namespace zelkord::testing
