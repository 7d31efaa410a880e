// Ban patterns: the four-field match from the right, the list operations, the
// capacity refusal, and scans running while another thread edits the list.
#include "config/ban_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace zelkord::config {
namespace {

struct MatchCase {
  std::string address;
  std::string pattern;
  bool matches;
};

TEST(MatchBanPattern, FieldByFieldFromTheRight) {
  const std::vector<MatchCase> cases = {
      {"192.168.1.77", "192.168.1.*", true},
      {"192.168.10.1", "192.168.1.*", false},
      {"10.0.0.5", "*.*.*.*", true},
      {"127.0.0.1", "*.*.*.*", true},
      {"192.168.1.5", "192.168.1.5", true},
      {"192.168.1.5", "*.168.1.5", true},
      {"192.168.1.5", "192.168.1", false},  // three fields
      {"192.168.1.5", "", false},
      {"192.168.1.5", "*", false},              // "*" lands in the fourth field only
      {"192.168.1.5", "192.168.001.5", false},  // no numeric comparison
      {"192.168.1.5", "19*.168.1.5", false},    // no partial wildcards
      {"192.168.1.5", "1.192.168.1.5", false},  // extra dots stay in the first field
      {"192.168.1.5", "192.168.1.5.", false},
      {"192.168.1.5", "192.168..5", false},
      {"192.168.1.5", " 192.168.1.5", false},
      {"a.b.c.d", "A.b.c.d", false},         // letter case counts
      {"x.192.168.1.5", "*.168.1.5", true},  // ... the same split for the address
      {"168.1.5", "168.1.5", true},          // both with an empty first field
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(config::MatchBanPattern(c.address, c.pattern), c.matches)
        << c.address << " against " << testing::PrintToString(c.pattern);
  }
}

TEST(BanList, ScansInListOrder) {
  config::BanList list;
  EXPECT_FALSE(list.IsBanned("10.0.0.5"));
  list.Assign({"192.168.1", "", "10.0.*.*", "10.0.*.*"});
  EXPECT_EQ(list.Count(), 4);
  EXPECT_TRUE(list.IsBanned("10.0.7.9"));
  EXPECT_FALSE(list.IsBanned("10.1.0.1"));
  EXPECT_EQ(list.Snapshot(), (std::vector<std::string>{"192.168.1", "", "10.0.*.*", "10.0.*.*"}));
}

TEST(BanList, EditsByIndex) {
  config::BanList list;
  list.Assign({"1.1.1.1", "2.2.2.2", "3.3.3.3"});
  EXPECT_FALSE(list.ReplaceAt(-1, "x"));
  EXPECT_FALSE(list.ReplaceAt(3, "x"));
  EXPECT_FALSE(list.EraseAt(-1));
  EXPECT_FALSE(list.EraseAt(3));
  EXPECT_EQ(list.Count(), 3);
  EXPECT_TRUE(list.ReplaceAt(1, "9.9.9.*"));
  EXPECT_TRUE(list.IsBanned("9.9.9.1"));
  EXPECT_FALSE(list.IsBanned("2.2.2.2"));
  EXPECT_TRUE(list.EraseAt(0));
  EXPECT_EQ(list.Snapshot(), (std::vector<std::string>{"9.9.9.*", "3.3.3.3"}));
}

TEST(BanList, AddAcceptsEmptyAndDuplicates) {
  config::BanList list;
  EXPECT_TRUE(list.Add(""));
  EXPECT_TRUE(list.Add("5.5.5.5"));
  EXPECT_TRUE(list.Add("5.5.5.5"));
  EXPECT_TRUE(list.BanAddress("10.0.0.5"));
  EXPECT_EQ(list.Snapshot(), (std::vector<std::string>{"", "5.5.5.5", "5.5.5.5", "10.0.0.5"}));
  EXPECT_TRUE(list.IsBanned("10.0.0.5"));
  EXPECT_FALSE(list.IsBanned("10.0.0.50"));
}

TEST(BanList, CapacityIs1024) {
  config::BanList list;
  std::vector<std::string> many(config::kBanCapacity + 10, "1.2.3.4");
  many[config::kBanCapacity - 1] = "last.kept.*.*";
  list.Assign(many);
  EXPECT_EQ(list.Count(), config::kBanCapacity);
  EXPECT_EQ(list.Snapshot().back(), "last.kept.*.*");

  list.Assign({});
  for (int i = 0; i < config::kBanCapacity; ++i)
    ASSERT_TRUE(list.Add("7.7.7." + std::to_string(i)));
  EXPECT_FALSE(list.Add("8.8.8.8"));
  EXPECT_FALSE(list.BanAddress("8.8.8.8"));
  EXPECT_EQ(list.Count(), config::kBanCapacity);
  EXPECT_FALSE(list.IsBanned("8.8.8.8"));
  EXPECT_TRUE(list.EraseAt(0));
  EXPECT_TRUE(list.BanAddress("8.8.8.8"));
  EXPECT_TRUE(list.IsBanned("8.8.8.8"));
}

TEST(BanList, ScansStayConsistentWhileEdited) {
  config::BanList list;
  list.Assign({"10.*.*.*"});
  std::atomic<bool> stop{false};
  std::atomic<int> wrongAnswers{0};

  // The first pattern never changes and no edit ever bans 192.168.x.x, so
  // every scan has one right answer however the edits interleave.
  std::vector<std::thread> scanners;
  for (int t = 0; t < 2; ++t) {
    scanners.emplace_back([&] {
      while (!stop.load()) {
        if (!list.IsBanned("10.1.2.3")) ++wrongAnswers;
        if (list.IsBanned("192.168.1.1")) ++wrongAnswers;
        if (list.Snapshot().front() != "10.*.*.*") ++wrongAnswers;
      }
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
    for (int i = 0; i < 50; ++i) (void)list.Add("172.16." + std::to_string(i) + ".*");
    (void)list.ReplaceAt(1, "172.31.*.*");
    while (list.Count() > 1) (void)list.EraseAt(list.Count() - 1);
    if (round % 10 == 0) list.Assign({"10.*.*.*", "172.20.*.*"});
  }
  stop = true;
  for (std::thread& scanner : scanners) scanner.join();
  EXPECT_EQ(wrongAnswers.load(), 0);
}

}  // namespace
}  // namespace zelkord::config
