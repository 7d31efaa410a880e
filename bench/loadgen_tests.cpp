// Checks of the load generator's measuring parts: the latency buckets, the
// server line and probe parsing, the sequence and window bookkeeping, and
// the /proc parsers, and the community of workload D. A wrong number here would be a wrong
// benchmark result.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "community.h"
#include "delivery_book.h"
#include "irc_line.h"
#include "latency_histogram.h"
#include "proc_stats.h"

namespace zelkord::bench {
namespace {

TEST(LatencyHistogram, BucketsCoverEveryValueWithinTheirBounds) {
  const std::vector<std::uint64_t> values = {0,   1,    255,    256,       257,        511,
                                             512, 1000, 123456, 999999999, 1ull << 40, UINT64_MAX};
  for (const std::uint64_t value : values) {
    const std::size_t bucket = LatencyHistogram::BucketOf(value);
    ASSERT_LT(bucket, kBucketCount) << value;
    EXPECT_GE(LatencyHistogram::BucketUpper(bucket), value) << value;
    if (bucket > 0) {
      EXPECT_LT(LatencyHistogram::BucketUpper(bucket - 1), value) << value;
    }
  }
}

TEST(LatencyHistogram, RelativeErrorStaysUnderOnePercent) {
  for (std::uint64_t value = 300; value < 10'000'000'000ull; value = value * 3 + 7) {
    const auto upper = LatencyHistogram::BucketUpper(LatencyHistogram::BucketOf(value));
    EXPECT_LE(static_cast<double>(upper - value) / static_cast<double>(value), 0.008) << value;
  }
}

TEST(LatencyHistogram, QuantilesOfAUniformSpread) {
  LatencyHistogram histogram;
  EXPECT_EQ(histogram.Quantile(0.5), 0u);
  for (std::uint64_t ms = 1; ms <= 100; ++ms) histogram.Add(ms * 1'000'000);
  EXPECT_EQ(histogram.Count(), 100u);
  EXPECT_EQ(histogram.Max(), 100'000'000u);
  EXPECT_NEAR(static_cast<double>(histogram.Quantile(0.5)), 50e6, 50e6 * 0.008);
  EXPECT_NEAR(static_cast<double>(histogram.Quantile(0.99)), 99e6, 99e6 * 0.008);
  EXPECT_EQ(histogram.Quantile(1.0), 100'000'000u);
  EXPECT_LE(histogram.Quantile(0.0), 1'000'000u * 1.008);
}

struct ClassifyCase {
  std::string line;
  LineKind kind;
  int numeric;
  std::string text;
};

TEST(ClassifyLine, ReadsTheLinesThatMatter) {
  const std::vector<ClassifyCase> cases = {
      {":srv 001 nick :Welcome to the Internet Relay Network nick", LineKind::kNumeric, 1,
       "nick :Welcome to the Internet Relay Network nick"},
      {":irc.local 366 ab0 #bench :End of /NAMES list.", LineKind::kNumeric, 366,
       "ab0 #bench :End of /NAMES list."},
      {"PING :Zel.Server(^^", LineKind::kPing, 0, ":Zel.Server(^^"},
      {"PING token", LineKind::kPing, 0, "token"},
      {"ERROR :Closing link", LineKind::kError, 0, ":Closing link"},
      {":a1!a1@127.0.0.1 PRIVMSG #bench :3 17 123456789", LineKind::kPrivmsg, 0, "3 17 123456789"},
      {":a1!~a1@localhost PRIVMSG #bench word", LineKind::kPrivmsg, 0, "word"},
      {":a1!a1@127.0.0.1 JOIN :#bench", LineKind::kOther, 0, ""},
      {":srv 12 x :two digits", LineKind::kOther, 0, ""},
      {"", LineKind::kOther, 0, ""},
  };
  for (const ClassifyCase& c : cases) {
    const ServerLine parsed = ClassifyLine(c.line);
    EXPECT_EQ(parsed.kind, c.kind) << c.line;
    EXPECT_EQ(parsed.numeric, c.numeric) << c.line;
    EXPECT_EQ(std::string(parsed.text), c.text) << c.line;
  }
}

TEST(Probe, LineRoundTripsThroughARelay) {
  std::string out;
  AppendProbeLine(out, "#bench", Probe{63, 1000, 987654321012345ull}, 0);
  EXPECT_EQ(out, "PRIVMSG #bench :63 1000 987654321012345\r\n");
  const std::string relay = ":n!u@127.0.0.1 " + out.substr(0, out.size() - 2);
  const auto probe = ParseProbe(ClassifyLine(relay).text);
  ASSERT_TRUE(probe.has_value());
  EXPECT_EQ(probe->sender, 63u);
  EXPECT_EQ(probe->seq, 1000u);
  EXPECT_EQ(probe->sentNs, 987654321012345ull);
}

TEST(Probe, PaddingFollowsTheNumbersAndIsIgnored) {
  std::string out;
  AppendProbeLine(out, "#c", Probe{1, 2, 3}, 4);
  EXPECT_EQ(out, "PRIVMSG #c :1 2 3 xxxx\r\n");
  const auto probe = ParseProbe("1 2 3 xxxx");
  ASSERT_TRUE(probe.has_value());
  EXPECT_EQ(probe->sentNs, 3u);
}

TEST(Probe, RejectsTextsThatAreNoProbe) {
  for (const char* text : {"", "hello", "1 2", "1 2 x", "-1 2 3", "1 2x 3", "4294967296 1 1"}) {
    EXPECT_FALSE(ParseProbe(text).has_value()) << text;
  }
}

TEST(DeliveryBook, CountsLossAndReorderPerReceiver) {
  DeliveryBook book(3, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(book.NextSeq(0), static_cast<std::uint64_t>(i + 1));
  EXPECT_EQ(book.Record(1, 0, 1), Arrival::kInOrder);
  EXPECT_EQ(book.Record(1, 0, 3), Arrival::kGap);
  EXPECT_EQ(book.Record(1, 0, 2), Arrival::kLate);
  EXPECT_EQ(book.Record(2, 0, 1), Arrival::kInOrder);
  EXPECT_EQ(book.Expected(), 6u);
  EXPECT_EQ(book.Delivered(), 4u);
  EXPECT_EQ(book.Reordered(), 1u);
  EXPECT_EQ(book.Missing(), 2u);  // receiver 2 lacks 2 and 3
  book.DropMember(2);
  EXPECT_EQ(book.Missing(), 0u);
  EXPECT_EQ(book.Expected(), 3u);
}

TEST(DeliveryBook, StrayLinesAreNotDeliveries) {
  DeliveryBook book(2, 0);
  (void)book.NextSeq(0);
  EXPECT_EQ(book.Record(0, 0, 1), Arrival::kStray);  // own line
  EXPECT_EQ(book.Record(1, 0, 2), Arrival::kStray);  // never sent
  EXPECT_EQ(book.Record(1, 0, 0), Arrival::kStray);
  EXPECT_EQ(book.Record(1, 5, 1), Arrival::kStray);
  EXPECT_EQ(book.Stray(), 4u);
  EXPECT_EQ(book.Delivered(), 0u);
}

TEST(DeliveryBook, WindowOpensOnlyWhenEveryReceiverHasTheOldestLine) {
  DeliveryBook book(3, 2);
  (void)book.NextSeq(0);
  (void)book.NextSeq(0);
  EXPECT_EQ(book.Outstanding(0), 2u);
  (void)book.Record(1, 0, 2);
  (void)book.Record(2, 0, 2);
  EXPECT_EQ(book.Outstanding(0), 2u);  // line 1 still on its way
  (void)book.Record(1, 0, 1);
  EXPECT_EQ(book.Outstanding(0), 2u);
  (void)book.Record(2, 0, 1);
  EXPECT_EQ(book.Outstanding(0), 0u);
  (void)book.NextSeq(0);  // seq 3 reuses the slot of seq 1
  (void)book.Record(1, 0, 3);
  EXPECT_EQ(book.Outstanding(0), 1u);
  book.DropMember(2);  // the only receiver still missing it has gone
  EXPECT_EQ(book.Outstanding(0), 0u);
}

struct ZipfCase {
  int clients;
  int maxPerClient;
  std::vector<int> firstSizes;  // channels 1, 2, 3, ...
  std::size_t channels;
};

TEST(ZipfChannels, SizesFallAsOneOverKAndNoClientPassesTheCap) {
  const std::vector<ZipfCase> cases = {
      {4, 10, {2}, 1},
      {10, 10, {5, 3}, 2},
      {1000, 10, {500, 250, 167, 125, 100}, 250},
      {5000, 10, {2500, 1250, 833, 625, 500}, 1250},
      // A cap too tight for the sizes: channels shrink to the clients left.
      {40, 1, {20, 10, 7, 3}, 4},
  };
  for (const ZipfCase& c : cases) {
    const auto channels = AssignZipfChannels(c.clients, c.maxPerClient, 7);
    ASSERT_EQ(channels.size(), c.channels) << c.clients;
    for (std::size_t k = 0; k < channels.size(); ++k) {
      const int want = k < c.firstSizes.size()
                           ? c.firstSizes[k]
                           : ZipfChannelSize(c.clients, static_cast<int>(k) + 1);
      EXPECT_EQ(channels[k].size(), static_cast<std::size_t>(want))
          << c.clients << " channel " << k + 1;
    }
    std::vector<int> perClient(static_cast<std::size_t>(c.clients), 0);
    for (const auto& members : channels) {
      for (std::size_t i = 0; i < members.size(); ++i) {
        ASSERT_GE(members[i], 0);
        ASSERT_LT(members[i], c.clients);
        if (i > 0) {
          EXPECT_LT(members[i - 1], members[i]) << "sorted and distinct";
        }
        ++perClient[static_cast<std::size_t>(members[i])];
      }
    }
    for (const int n : perClient) EXPECT_LE(n, c.maxPerClient) << c.clients;
    EXPECT_EQ(AssignZipfChannels(c.clients, c.maxPerClient, 7), channels) << "same seed";
  }
  EXPECT_NE(AssignZipfChannels(1000, 10, 7), AssignZipfChannels(1000, 10, 8));
}

TEST(FanoutBook, ChecksEveryCopyOfChannelAndPrivateLines) {
  // Clients 0..3; channel 0 holds 0, 1 and 2.
  FanoutBook book(4, {{0, 1, 2}});
  const std::uint64_t first = book.SendToChannel(0, 0);
  const std::uint64_t second = book.SendToChannel(0, 0);
  const std::uint64_t direct = book.SendToClient(1, 3);
  EXPECT_EQ(book.Expected(), 5u);
  EXPECT_EQ(book.Pending(), 5u);
  EXPECT_EQ(book.Record(1, 0, first), Arrival::kInOrder);
  EXPECT_EQ(book.Record(2, 0, second), Arrival::kInOrder);
  EXPECT_EQ(book.Record(2, 0, first), Arrival::kLate) << "overtaken by the second";
  EXPECT_EQ(book.Record(2, 0, first), Arrival::kLate) << "a repeat";
  EXPECT_EQ(book.Record(3, 0, first), Arrival::kStray) << "not a member";
  EXPECT_EQ(book.Record(0, 0, first), Arrival::kStray) << "the sender's own";
  EXPECT_EQ(book.Record(3, 2, direct), Arrival::kStray) << "another sender's line";
  EXPECT_EQ(book.Record(2, 1, direct), Arrival::kStray) << "someone else's private line";
  EXPECT_EQ(book.Record(3, 1, direct), Arrival::kInOrder);
  EXPECT_EQ(book.Record(3, 1, 99), Arrival::kStray);
  EXPECT_EQ(book.Delivered(), 4u);
  EXPECT_EQ(book.Reordered(), 2u);
  EXPECT_EQ(book.Stray(), 5u);
  EXPECT_EQ(book.Missing(), 1u) << "client 1 lacks the second line";
  book.DropMember(1);
  EXPECT_EQ(book.Missing(), 0u);
  EXPECT_EQ(book.Expected(), 3u);
  EXPECT_EQ(book.SendToChannel(2, 0), 4u);
  EXPECT_EQ(book.Pending(), 2u) << "the new line for client 0, the old one for client 1";
}

TEST(ProcStats, StatTicksSumUserAndSystemTime) {
  const std::string stat =
      "4242 (my (odd) name) S 1 4242 4242 0 -1 4194560 100 0 0 0 1500 250 0 0 20 0 3 0";
  EXPECT_EQ(ParseStatTicks(stat), 1750u);
  EXPECT_FALSE(ParseStatTicks("4242 (short) S 1 2").has_value());
  EXPECT_FALSE(ParseStatTicks("no parenthesis").has_value());
}

TEST(ProcStats, StatusFieldsByExactKey) {
  const std::string status = "Name:\tzelkord\nVmRSSx:\t1 kB\nVmRSS:\t   5120 kB\nThreads:\t67\n";
  EXPECT_EQ(ParseStatusField(status, "VmRSS"), 5120);
  EXPECT_EQ(ParseStatusField(status, "Threads"), 67);
  EXPECT_FALSE(ParseStatusField(status, "VmHWM").has_value());
}

TEST(ProcStats, ReadsThisProcess) {
  EXPECT_TRUE(ReadCpuSeconds(getpid()).has_value());
  EXPECT_GT(ReadRssKiB(getpid()).value_or(0), 0);
  EXPECT_GE(ReadThreadCount(getpid()).value_or(0), 1);
}

}  // namespace
}  // namespace zelkord::bench
