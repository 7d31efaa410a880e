// Ban page operations: copy on select, add even empty or duplicate,
// overwrite and delete only with a selection, refusal at capacity.
#include "window/ban_page.h"

#include <gtest/gtest.h>

namespace zelkord::window {
namespace {

TEST(BanPage, OperationsFollowTheSelection) {
  config::BanList list;
  list.Assign({"10.*.*.*", "192.168.1.*"});
  BanPage page(list);
  page.DeleteBanEntry();  // nothing selected: nothing happens
  page.ReplaceBanEntry();
  EXPECT_EQ(list.Count(), 2);
  page.SelectBanEntry(1);
  EXPECT_EQ(page.entryText, "192.168.1.*");
  page.entryText = "192.168.2.*";
  page.ReplaceBanEntry();
  EXPECT_TRUE(list.IsBanned("192.168.2.7"));
  EXPECT_FALSE(list.IsBanned("192.168.1.7"));
  page.entryText = "";
  EXPECT_TRUE(page.AddBanEntry());
  EXPECT_TRUE(page.AddBanEntry());
  EXPECT_EQ(list.Snapshot(), (std::vector<std::string>{"10.*.*.*", "192.168.2.*", "", ""}));
  page.SelectBanEntry(0);
  page.DeleteBanEntry();
  EXPECT_EQ(page.Selected(), -1);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_FALSE(list.IsBanned("10.0.0.1"));
}

TEST(BanPage, AddIsRefusedWhenTheListIsFull) {
  config::BanList list;
  list.Assign(std::vector<std::string>(config::kBanCapacity, "1.2.3.4"));
  BanPage page(list);
  page.entryText = "5.6.7.8";
  EXPECT_FALSE(page.AddBanEntry());
  EXPECT_EQ(list.Count(), config::kBanCapacity);
}

}  // namespace
}  // namespace zelkord::window
