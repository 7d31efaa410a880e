// Channel table rules that the command handlers rely on: exact names,
// folded nicks, operator flags, the prefixes by flag, bounded views, the
// day-log name check.
#include "irc/channel_table.h"

#include <sys/eventfd.h>

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "support/test_server.h"

namespace zelkord::irc {
namespace {

class ChannelTableTest : public ::testing::Test {
 protected:
  ChannelTableTest() : users_(8, 3), table_(3, Options(), desk_) {}

  static ChannelLogOptions Options() {
    ChannelLogOptions options;
    options.lines = 4;
    options.operatorNick = "DESK";
    return options;
  }

  irc::UserSlot& User(const std::string& nick) {
    const int slot = users_.ClaimSlot(nullptr, "10.0.0.1");
    users_.SetNick(slot, nick);
    users_.RegisterUser(slot);
    return users_.Slot(slot);
  }

  testing::RecordingDesk desk_;
  irc::UserTable users_;
  ChannelTable table_;
};

TEST_F(ChannelTableTest, FirstMemberAndTheOperatorNickAreOperators) {
  irc::UserSlot& ann = User("ann");
  irc::UserSlot& bob = User("bob");
  irc::UserSlot& desk = User("DESK");
  EXPECT_EQ(table_.AddMember(ann, "#a"), 0);
  EXPECT_EQ(table_.AddMember(bob, "#a"), 0);
  EXPECT_EQ(table_.AddMember(desk, "#a"), 0);
  EXPECT_TRUE(ann.channels[0].isOperator);
  EXPECT_FALSE(bob.channels[0].isOperator);
  EXPECT_TRUE(desk.channels[0].isOperator);
  // Already a member, in any letter case: refused, nothing changes.
  users_.SetNick(users_.FindUserByNick("bob"), "BOB");
  EXPECT_EQ(table_.AddMember(bob, "#a"), irc::kNotFound);
  EXPECT_EQ(table_.MemberCount(0), 3);
}

TEST_F(ChannelTableTest, NamesMarkTheFlagsNotThePosition) {
  irc::UserSlot& ann = User("ann");
  irc::UserSlot& bob = User("bob");
  ASSERT_EQ(table_.AddMember(ann, "#a"), 0);
  ASSERT_EQ(table_.AddMember(bob, "#a"), 0);
  EXPECT_EQ(table_.NamesText(0, users_), "@ann bob");
  ann.channels[0].isVoiced = true;
  bob.channels[0].isVoiced = true;
  EXPECT_EQ(table_.NamesText(0, users_), "@ann +bob");  // the highest prefix only
  EXPECT_EQ(table_.NamesText(0, users_, true), "@+ann +bob");
  EXPECT_GE(table_.RemoveMember(ann, "#a"), 0);
  bob.channels[0].isVoiced = false;
  EXPECT_EQ(table_.NamesText(0, users_), "bob");  // no one is operator now
  EXPECT_FALSE(bob.channels[0].isOperator);
}

TEST_F(ChannelTableTest, LastLeaveDestroysAndLaterChannelsShiftDown) {
  irc::UserSlot& ann = User("ann");
  ASSERT_EQ(table_.AddMember(ann, "#a"), 0);
  ASSERT_EQ(table_.AddMember(ann, "#A"), 1);
  ASSERT_EQ(table_.AddMember(ann, "#b"), 2);
  EXPECT_EQ(table_.AddMember(ann, "#c"), irc::kNotFound);  // table full
  EXPECT_GE(table_.RemoveMember(ann, "#a"), 0);
  EXPECT_EQ(table_.FindChannel("#A"), 0);
  EXPECT_EQ(table_.FindChannel("#b"), 1);
  EXPECT_EQ(table_.AddMember(ann, "#c"), 2);
  EXPECT_EQ(table_.RemoveMember(ann, "#zz"), irc::kNotFound);
  ASSERT_EQ(ann.channels.size(), 3u);
  EXPECT_EQ(ann.channels[0].name, "#A");
}

TEST_F(ChannelTableTest, TopicReadsBackWithTheSetter) {
  irc::UserSlot& ann = User("ann");
  ASSERT_EQ(table_.AddMember(ann, "#a"), 0);
  EXPECT_EQ(table_.GetTopic("#a"), "");
  EXPECT_EQ(table_.SetTopic(ann, "#a", "hello"), 0);
  EXPECT_EQ(table_.GetTopic("#a"), "hello by ann");
  EXPECT_EQ(table_.SetTopic(ann, "#a", ""), 0);
  EXPECT_EQ(table_.GetTopic("#a"), " by ann");
  EXPECT_EQ(table_.SetTopic(ann, "#none", "x"), irc::kNotFound);
  EXPECT_EQ(table_.Entry(0).modes.Letters(), "+");  // no initial flags in these options
}

TEST_F(ChannelTableTest, ViewKeepsLinesPlusOne) {
  irc::UserSlot& ann = User("ann");
  ASSERT_EQ(table_.AddMember(ann, "#a"), 0);
  for (int i = 1; i <= 7; ++i) table_.AppendLine(0, "line " + std::to_string(i));
  const auto lines = table_.Entry(0).view.Copy();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines.front(), "line 3");
  EXPECT_EQ(lines.back(), "line 7");
}

TEST_F(ChannelTableTest, IndexOutOfRangeYieldsNothing) {
  std::vector<int> members{1, 2};
  EXPECT_EQ(table_.MemberSlots(-1, users_, members), 0);
  EXPECT_TRUE(members.empty());
  EXPECT_EQ(table_.MemberCount(5), 0);
  EXPECT_EQ(table_.ChannelName(-1), "");
  EXPECT_EQ(table_.MemberAt(0, 0), "");
  EXPECT_EQ(table_.NamesText(-1, users_), "");
  table_.AppendLine(-1, "nowhere");  // must not crash
}

TEST_F(ChannelTableTest, RenameFollowsTheFoldedNick) {
  irc::UserSlot& ann = User("ann");
  ASSERT_EQ(table_.AddMember(ann, "#a"), 0);
  table_.RenameMember("ANN", "zed");
  EXPECT_EQ(table_.MemberAt(0, 0), "zed");
}

// A channel keeps its members' slots between lines: whatever changes nicks,
// registration, slots or members in any order, its member slots must be
// exactly what fresh lookups give.
TEST_F(ChannelTableTest, MemberSlotsFollowEveryChange) {
  net::OutputWriter writer;
  const std::vector<std::string> nicks{"ann", "ANN", "bob", "cy"};
  std::mt19937 random(7);
  const auto pick = [&](std::size_t count) {
    return static_cast<int>(std::uniform_int_distribution<std::size_t>(0, count - 1)(random));
  };
  std::vector<int> members;
  for (int step = 0; step < 3000; ++step) {
    const int slot = pick(static_cast<std::size_t>(users_.Capacity()));
    irc::UserSlot& user = users_.Slot(slot);
    const std::string& nick = nicks[static_cast<std::size_t>(pick(nicks.size()))];
    switch (pick(7)) {
      case 0:
        if (user.inUse) {
          users_.ReleaseSlot(slot);  // its nick may stay behind in the channel
        } else {
          (void)users_.ClaimSlot(std::make_shared<net::OutputQueue>(eventfd(0, 0), writer), "h");
        }
        break;
      case 1:
        if (!user.inUse) break;
        if (pick(2) == 0) users_.SetNick(slot, nick);  // or only look again: others changed
        users_.SetNickAccepted(slot, users_.IsNickFree(slot));
        break;
      case 2:
        if (user.inUse && !user.Registered()) users_.RegisterUser(slot);
        break;
      case 3:
        if (user.Registered()) users_.UnregisterUser(slot);
        break;
      case 4:
        if (user.inUse) (void)table_.AddMember(user, "#a");
        break;
      case 5:
        if (user.inUse) (void)table_.RemoveMember(user, "#a");
        break;
      default:
        table_.RenameMember(nick, nicks[static_cast<std::size_t>(pick(nicks.size()))]);
    }
    const int index = table_.FindChannel("#a");
    if (index == irc::kNotFound) continue;
    std::vector<int> expected;
    for (const std::string& folded : table_.Entry(index).folded) {
      const int holder = users_.FindUserByFoldedNick(folded);
      if (holder != irc::kNotFound) expected.push_back(holder);
    }
    table_.MemberSlots(index, users_, members);
    ASSERT_EQ(members, expected) << "after step " << step;
  }
  for (int slot = 0; slot < users_.Capacity(); ++slot) users_.ReleaseSlot(slot);
}

TEST(IsLoggableChannelName, RefusesNamesThatCouldLeaveTheFolder) {
  EXPECT_TRUE(irc::IsLoggableChannelName("#a"));
  EXPECT_TRUE(irc::IsLoggableChannelName(""));
  EXPECT_TRUE(irc::IsLoggableChannelName("#\x95\x5c"));  // kanji whose trail byte is 0x5C
  EXPECT_TRUE(irc::IsLoggableChannelName("..."));
  EXPECT_FALSE(irc::IsLoggableChannelName("."));
  EXPECT_FALSE(irc::IsLoggableChannelName(".."));
  EXPECT_FALSE(irc::IsLoggableChannelName("../x"));
  EXPECT_FALSE(irc::IsLoggableChannelName("a\\b"));
  EXPECT_FALSE(irc::IsLoggableChannelName(std::string("a\0b", 3)));
  EXPECT_TRUE(irc::IsLoggableChannelName("#\x95"));
  EXPECT_FALSE(irc::IsLoggableChannelName("#\x95/x"));  // '/' is never a trail byte
  EXPECT_FALSE(irc::IsLoggableChannelName("\\"));
}

}  // namespace
}  // namespace zelkord::irc
