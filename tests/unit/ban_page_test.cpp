// Ban page operations: copy on select, add even empty or duplicate,
// overwrite and delete only with a selection, refusal at capacity and of
// unusable IPv6 patterns, each with its reason.
#include "window/ban_page.h"

#include <gtest/gtest.h>

namespace zelkord::window {
namespace {

TEST(BanPage, OperationsFollowTheSelection) {
  config::BanList list;
  list.Assign({"10.*.*.*", "192.168.1.*"});
  BanPage page(list);
  page.DeleteBanEntry();  // nothing selected: nothing happens
  page.entryText = ":::";
  EXPECT_EQ(page.ReplaceBanEntry(), "");
  EXPECT_EQ(list.Count(), 2);
  page.SelectBanEntry(1);
  EXPECT_EQ(page.entryText, "192.168.1.*");
  page.entryText = "192.168.2.*";
  EXPECT_EQ(page.ReplaceBanEntry(), "");
  EXPECT_TRUE(list.IsBanned("192.168.2.7"));
  EXPECT_FALSE(list.IsBanned("192.168.1.7"));
  page.entryText = "";
  EXPECT_EQ(page.AddBanEntry(), "");
  EXPECT_EQ(page.AddBanEntry(), "");
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
  EXPECT_EQ(page.AddBanEntry(), "The ban list already holds 1024 patterns; delete one first");
  EXPECT_EQ(list.Count(), config::kBanCapacity);
}

TEST(BanPage, UnusableIpv6PatternsAreRefusedWithTheReason) {
  config::BanList list;
  list.Assign({"10.*.*.*"});
  BanPage page(list);
  for (const char* refused : {"2001:db8::/8", "1::2::3"}) {
    page.entryText = refused;
    EXPECT_EQ(page.AddBanEntry(), config::BanPatternProblem(refused));
    page.SelectBanEntry(0);
    page.entryText = refused;
    EXPECT_EQ(page.ReplaceBanEntry(), config::BanPatternProblem(refused));
    EXPECT_EQ(page.entryText, refused);  // kept for mending
  }
  EXPECT_EQ(list.Snapshot(), std::vector<std::string>{"10.*.*.*"});
  page.entryText = "2001:db8::/32";
  EXPECT_EQ(page.AddBanEntry(), "");
  page.entryText = "0::1";
  EXPECT_EQ(page.ReplaceBanEntry(), "");
  EXPECT_EQ(list.Snapshot(), (std::vector<std::string>{"0::1", "2001:db8::/32"}));
  EXPECT_TRUE(list.IsBanned("2001:db8:ffff::1"));
}

}  // namespace
}  // namespace zelkord::window
