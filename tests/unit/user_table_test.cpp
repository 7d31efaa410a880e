// Connection table: lowest slot first, nick freedom over every in-use slot,
// the user list following registration.
#include "irc/user_table.h"

#include <gtest/gtest.h>

namespace zelkord::irc {
namespace {

TEST(UserTable, SlotsAreClaimedFromTheBottomAndReused) {
  UserTable users(2, 10);
  EXPECT_EQ(users.ClaimSlot(nullptr, "10.0.0.1"), 0);
  EXPECT_EQ(users.ClaimSlot(nullptr, "10.0.0.2"), 1);
  EXPECT_EQ(users.ClaimSlot(nullptr, "10.0.0.3"), kNotFound);
  users.ReleaseSlot(0);
  EXPECT_EQ(users.ClaimSlot(nullptr, "10.0.0.4"), 0);
  EXPECT_EQ(users.Slot(0).address, "10.0.0.4");
}

TEST(UserTable, NewHolderDoesNotInheritTheOldNick) {
  UserTable users(1, 10);
  const int slot = users.ClaimSlot(nullptr, "10.0.0.1");
  users.SetNick(slot, "ann");
  users.Slot(slot).realName = "Ann";
  users.ReleaseSlot(slot);
  ASSERT_EQ(users.ClaimSlot(nullptr, "10.0.0.2"), slot);
  EXPECT_EQ(users.Slot(slot).Nick(), "");
  EXPECT_EQ(users.Slot(slot).realName, "");
  EXPECT_EQ(users.FindUserByNick("ann"), kNotFound);
}

TEST(UserTable, NickFreedomIsCheckedOverEveryInUseSlot) {
  UserTable users(3, 10);
  const int ann = users.ClaimSlot(nullptr, "10.0.0.1");
  const int other = users.ClaimSlot(nullptr, "10.0.0.2");
  users.SetNick(ann, "ABC");  // registering, not registered
  users.SetNick(other, "abc");
  EXPECT_FALSE(users.IsNickFree(other));
  users.SetNick(other, "");
  EXPECT_FALSE(users.IsNickFree(other));
  users.SetNick(other, "abd");
  EXPECT_TRUE(users.IsNickFree(other));
  // A trail byte that looks like a lower-case letter is not folded.
  users.SetNick(ann, "\x83\x41");
  users.SetNick(other, "\x83\x61");
  EXPECT_TRUE(users.IsNickFree(other));
}

TEST(UserTable, RegistrationKeepsTheUserListAndCount) {
  UserTable users(3, 10);
  const int ann = users.ClaimSlot(nullptr, "10.0.0.1");
  const int bob = users.ClaimSlot(nullptr, "10.0.0.2");
  users.SetNick(ann, "ann");
  users.SetNick(bob, "bob");
  users.RegisterUser(ann);
  users.RegisterUser(bob);
  EXPECT_EQ(users.RegisteredCount(), 2);
  users.RenameListRow("BOB", "rob");
  users.SetNick(bob, "rob");
  EXPECT_EQ(users.UserList(), (std::vector<std::string>{"ann", "rob"}));
  users.UnregisterUser(ann);
  EXPECT_EQ(users.RegisteredCount(), 1);
  EXPECT_EQ(users.UserList(), std::vector<std::string>{"rob"});
  EXPECT_EQ(users.FindUserByNick("ROB"), bob);
}

}  // namespace
}  // namespace zelkord::irc
