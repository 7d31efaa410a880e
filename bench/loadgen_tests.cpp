// Checks of the load generator's measuring parts: the latency buckets, the
// server line and probe parsing, the sequence and window bookkeeping, and
// the /proc parsers. A wrong number here would be a wrong benchmark result.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

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
