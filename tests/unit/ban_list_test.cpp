// Ban patterns: the four-field match from the right, the numeric IPv6 match
// and its refusals, the list operations, the capacity refusal, and scans
// running while another thread edits the list.
#include "config/ban_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace zelkord::config {
namespace {

using namespace std::string_literals;

struct MatchCase {
  std::string address;
  std::string pattern;
  bool matches;
};

void ExpectMatches(const std::vector<MatchCase>& cases) {
  for (const MatchCase& c : cases) {
    EXPECT_EQ(config::MatchBanPattern(c.address, c.pattern), c.matches)
        << c.address << " against " << testing::PrintToString(c.pattern);
  }
}

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
  ExpectMatches(cases);
}

TEST(MatchBanPattern, Ipv6ByNumberAndEachFamilyOnlyItsOwn) {
  ExpectMatches({
      // One address in any spelling.
      {"2001:db8:0:0::1", "2001:DB8::1", true},
      {"2001:db8::1", "2001:0db8:0000:0000:0000:0000:0000:0001", true},
      {"0::1", "::1", true},
      {"0::1", "0::1", true},
      {"0::1", "::1/128", true},
      {"0::2", "::1", false},
      {"2001:db8::1", "2001:db8::10", false},
      {"0::1:0:ffff:ffff", "0000:0000:0000:0000:0001:0000:255.255.255.255", true},  // longest
      // Ranges compare the leading bits only, whatever the pattern's other bits.
      {"2001:ffff:1::1", "2001::/16", true},
      {"2001:1::1", "2001:db8:1:2::/16", true},
      {"2002::1", "2001::/16", false},
      {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64", true},
      {"2001:db8:1:3::", "2001:db8:1:2::/64", false},
      {"2001:db8:1:3::1", "2001:db8:1:2::/63", true},  // within a byte
      {"2001:db8:1:4::1", "2001:db8:1:2::/63", false},
      {"2001:db8::1", "2001:db8::1/128", true},
      {"2001:db8::1", "2001:db8::/128", false},
      // Refused patterns match nothing, not even what they nearly name.
      {"2001:db8::1", "2001::/15", false},
      {"2001:db8::1", "::/0", false},
      {"0::1", ":::", false},
      {"1::3", "1::2::3", false},
      {"2001:db8::", "2001:db8::/129", false},
      {"2001:db8::", "2001:db8::/x", false},
      {"2001:db8::", "2001:db8::/", false},
      {"2001:db8::", "2001:db8::/64/64", false},
      {"2001:db8::", "2001:db8::/+64", false},
      {"2001:db8::", "2001:db8::*", false},
      {"2001:db8::", " 2001:db8::", false},
      {"2001:db8::", "2001:db8::\0x"s, false},  // not cut short at the NUL byte
      {"fe80::1", "fe80::1%eth0", false},
      {"2001:db8::1", "/64", false},
      // A client address that is not one IPv6 address matches no IPv6 pattern.
      {"fe80::1%eth0", "fe80::1", false},
      {"2001:db8::/64", "2001:db8::/64", false},
      // IPv4 patterns never reach IPv6 clients, nor IPv6 patterns IPv4 ones.
      {"0::1", "*.*.*.*", false},
      {"0::1", "*", false},
      {"2001:db8::1.2.3.4", "*.2.3.4", false},
      {"10.1.2.3", "0::ffff:10.1.2.3", false},
      {"10.1.2.3", "0::ffff:0:0/96", false},
      {"10.1.2.3", "::10.1.2.3", false},
      {"10.1.2.3", "10.1.2.*", true},
  });
}

TEST(BanPatternProblem, RefusesOnlyUnusableIpv6Patterns) {
  const std::string kRule = "; an IPv6 range must have a prefix length of 16 to 128";
  struct ProblemCase {
    std::string pattern;
    std::string problem;
  };
  const std::vector<ProblemCase> cases = {
      // Every IPv4 pattern, whatever its text, as before.
      {"10.0.0.*", ""},
      {"", ""},
      {"*", ""},
      {"/64", ""},
      {"any text", ""},
      {"2001:DB8::1", ""},
      {"0::1", ""},
      {"::1", ""},
      {"2001::/16", ""},
      {"2001:db8:1:2::/64", ""},
      {"2001:db8::1/128", ""},
      {"2001:db8::/8", "\"2001:db8::/8\" is wider than /16" + kRule},
      {"2001::/15", "\"2001::/15\" is wider than /16" + kRule},
      {"2001:db8::/129", "\"2001:db8::/129\" has a prefix length above 128" + kRule},
      {"2001:db8::/4294967360", "\"2001:db8::/4294967360\" has a prefix length above 128" + kRule},
      {"2001:db8:::1", "\"2001:db8:::1\" is not an IPv6 address or range"},
      {":::", "\":::\" is not an IPv6 address or range"},
      {"1::2::3", "\"1::2::3\" is not an IPv6 address or range"},
      {"2001:db8::/x", "\"2001:db8::/x\" is not an IPv6 address or range"},
      {"2001:db8::/", "\"2001:db8::/\" is not an IPv6 address or range"},
      {"2001:db8::/-1", "\"2001:db8::/-1\" is not an IPv6 address or range"},
  };
  std::vector<std::string> patterns;
  int unusable = 0;
  for (const ProblemCase& c : cases) {
    EXPECT_EQ(config::BanPatternProblem(c.pattern), c.problem) << c.pattern;
    patterns.push_back(c.pattern);
    if (!c.problem.empty()) ++unusable;
  }
  EXPECT_EQ(config::CountUnusableBanPatterns(patterns), unusable);
  EXPECT_EQ(config::CountUnusableBanPatterns({}), 0);
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
