// Connection table: lowest slot first, nick freedom over every in-use slot,
// the user list and the mode counts following registration.
#include "irc/user_table.h"

#include <gtest/gtest.h>

namespace zelkord::irc {
namespace {

TEST(UserTable, SlotsAreClaimedFromTheBottomAndReused) {
  // Past two words of the in-use bits, and ending inside a third.
  constexpr int kSlots = 130;
  UserTable users(kSlots, 10);
  for (int i = 0; i < kSlots; ++i) ASSERT_EQ(users.ClaimSlot(nullptr, "10.0.0.1"), i);
  EXPECT_EQ(users.ClaimSlot(nullptr, "10.0.0.2"), kNotFound);
  for (int freed : {129, 64, 63, 0}) users.ReleaseSlot(freed);
  for (int expected : {0, 63, 64, 129, kNotFound}) {
    EXPECT_EQ(users.ClaimSlot(nullptr, "10.0.0.4"), expected);
  }
  EXPECT_EQ(users.Slot(63).address, "10.0.0.4");
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
  users.SetNick(bob, "rob");
  EXPECT_EQ(users.UserList(), (std::vector<std::string>{"ann", "rob"}));
  users.UnregisterUser(ann);
  EXPECT_EQ(users.RegisteredCount(), 1);
  EXPECT_EQ(users.UserList(), std::vector<std::string>{"rob"});
  EXPECT_EQ(users.FindUserByNick("ROB"), bob);
  // A slot freed and claimed again registers at the end of the list.
  users.ReleaseSlot(ann);
  const int cat = users.ClaimSlot(nullptr, "10.0.0.3");
  users.SetNick(cat, "cat");
  users.RegisterUser(cat);
  EXPECT_EQ(cat, ann);
  EXPECT_EQ(users.UserList(), (std::vector<std::string>{"rob", "cat"}));
}

TEST(UserTable, ModeCountsFollowRegisteredUsersOnly) {
  UserTable users(3, 10);
  const int ann = users.ClaimSlot(nullptr, "10.0.0.1");
  const int bob = users.ClaimSlot(nullptr, "10.0.0.2");
  users.SetInvisible(ann, true);  // before registration: not counted yet
  EXPECT_EQ(users.InvisibleCount(), 0);
  users.RegisterUser(ann);
  users.RegisterUser(bob);
  EXPECT_EQ(users.InvisibleCount(), 1);
  users.SetInvisible(bob, true);
  users.SetInvisible(bob, true);
  users.SetServerOperator(bob, true);
  EXPECT_EQ(users.InvisibleCount(), 2);
  EXPECT_EQ(users.OperatorCount(), 1);
  users.SetInvisible(ann, false);
  users.UnregisterUser(ann);
  users.UnregisterUser(ann);
  EXPECT_EQ(users.RegisteredCount(), 1);
  // Freed while still registered: the counts lose it all the same.
  users.ReleaseSlot(bob);
  EXPECT_EQ(users.RegisteredCount(), 0);
  EXPECT_EQ(users.InvisibleCount(), 0);
  EXPECT_EQ(users.OperatorCount(), 0);
  // The next holder of the slot starts with no modes.
  const int cat = users.ClaimSlot(nullptr, "10.0.0.3");
  users.RegisterUser(cat);
  EXPECT_FALSE(users.Slot(cat).Invisible() || users.Slot(cat).ServerOperator());
  EXPECT_EQ(users.InvisibleCount(), 0);
}

}  // namespace
}  // namespace zelkord::irc
