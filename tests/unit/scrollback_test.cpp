// The channel page's older lines: stored rows read as the lines the page
// writes for the same events, and batches that continue the page upwards
// without repeating its own lines or skipping a stored one.
#include "window/scrollback.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/jp_text.h"
#include "history/day_log_import.h"
#include "support/test_server.h"

namespace zelkord::window {
namespace {

// A minute's start, so every row below shares one "hh:nn " stamp.
constexpr std::int64_t kMinuteMs = 1'796'000'040'000;

history::Row RowOf(std::string kind, std::string nick, std::string text, std::string param = {},
                   std::int64_t timeMs = kMinuteMs) {
  history::Row row;
  row.timeMs = timeMs;
  row.kind = std::move(kind);
  row.target = "#Chan";
  row.prefix = nick + "!user@host";
  row.param = std::move(param);
  row.text = std::move(text);
  return row;
}

std::string Stamp() {
  return base::ConversationStamp(kMinuteMs / 1000);
}

TEST(PageLineOf, ReadsEachKindAsThePageWritesIt) {
  struct Case {
    history::Row row;
    std::string display;  // UTF-8, after the stamp
    std::string key;      // Shift_JIS, after the stamp: as the page's own list has it
  };
  const std::string entered(base::jp::kEntered);
  const std::string left(base::jp::kLeft);
  const std::string quitLeft(base::jp::kQuitLeft);
  const std::string nickChange(base::jp::kNickChange);
  const Case cases[] = {
      {RowOf("PRIVMSG", "ann", "\xE3\x81\x82 hi"), "ann> \xE3\x81\x82 hi", "ann> \x82\xA0 hi"},
      {RowOf("NOTICE", "bob", "note"), "bob> note", "bob> note"},
      {RowOf("JOIN", "ann", ""), "*** ann \xE5\x85\xA5\xE5\xAE\xA4", "*** ann" + entered},
      {RowOf("PART", "ann", "bye"), "*** ann \xE9\x80\x80\xE5\xAE\xA4", "*** ann" + left},
      {RowOf("QUIT", "ann", "gone"), "*** ann \xE9\x80\x80\xE5\xAE\xA4\xEF\xBC\x9Agone",
       "*** ann" + quitLeft + "gone"},
      {RowOf("TOPIC", "bob", "news"), "*** news by bob", "*** news by bob"},
      {RowOf("NICK", "ann", "", "anne"),
       "*** \xE3\x83\x8B\xE3\x83\x83\xE3\x82\xAF\xE3\x83\x8D\xE3\x83\xBC\xE3\x83\xA0\xE5\xA4\x89"
       "\xE6\x9B\xB4 ann > anne",
       "*** " + nickChange + "ann > anne"},
      // A character Shift_JIS lacks shows as it was written.
      {RowOf("PRIVMSG", "ann", "\xF0\x9F\x98\x80"), "ann> \xF0\x9F\x98\x80", ""},
      // One page line, however the text breaks.
      {RowOf("PRIVMSG", "ann",
             "a\r\nb\xE2\x80\xA9"
             "c"),
       "ann> a  b c", ""},
  };
  int imported = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row.kind + " " + c.row.text);
    const std::string line = PageLineOf(c.row);
    EXPECT_EQ(line, Stamp() + c.display);
    if (c.key.empty()) continue;
    EXPECT_EQ(PageKeyOf(line), Stamp() + c.key);
    // A day-log line imported into the store reads back as itself.
    history::Row row;
    if (!history::DayLogRow("#Chan", "20261201", 1, Stamp() + c.key, row)) continue;
    ++imported;
    EXPECT_EQ(PageKeyOf(PageLineOf(row)), Stamp() + c.key);
  }
  EXPECT_EQ(imported, 6);  // all but the topic, which the import does not read
  EXPECT_EQ(PageLineOf(RowOf("KICK", "op", "out", "ann")), "");
}

// The olds a batch holds, by number (-1 for ann's join).
std::vector<int> Olds(const std::vector<std::string>& lines) {
  std::vector<int> olds;
  for (const std::string& line : lines) {
    const auto at = line.find("old ");
    olds.push_back(at == std::string::npos ? -1 : std::stoi(line.substr(at + 4)));
  }
  return olds;
}

std::vector<int> Range(int from, int to) {
  std::vector<int> olds(static_cast<std::size_t>(to - from));
  std::iota(olds.begin(), olds.end(), from);
  return olds;
}

// A store holding 240 old lines of #Chan (a kick among them, and an earlier
// join of ann), then the two lines the page still shows, then one said
// after the page took its snapshot; and one line of another channel.
TEST(Scrollback, ContinuesThePageUpwardsBatchByBatch) {
  testing::TempDir dir;
  history::StoreOptions options;
  options.path = dir.File("history.sqlite");
  options.keepDays = 0;  // the rows' day lies in the past, fixed
  std::string error;
  const std::unique_ptr<history::Store> store = history::Store::Open(options, error);
  ASSERT_NE(store, nullptr) << error;
  std::int64_t at = kMinuteMs;
  for (int i = 0; i < 240; ++i) {
    if (i == 100) store->Append(RowOf("JOIN", "ann", "", "", at++));
    if (i == 120) store->Append(RowOf("KICK", "op", "out", "bob", at++));
    store->Append(RowOf("PRIVMSG", "bob", "old " + std::to_string(i), "", at++));
  }
  store->Append(RowOf("JOIN", "ann", "", "", at++));
  store->Append(RowOf("PRIVMSG", "ann", "hello", "", at++));
  store->Append(RowOf("PRIVMSG", "ann", "later", "", at++));
  history::Row elsewhere = RowOf("PRIVMSG", "ann", "elsewhere", "", at++);
  elsewhere.target = "#Other";
  store->Append(elsewhere);
  store->Flush();
  const std::vector<std::string> live{Stamp() + "*** ann" + std::string(base::jp::kEntered),
                                      Stamp() + "ann> hello"};

  Scrollback scrollback;
  EXPECT_EQ(Olds(scrollback.Older(*store, "#chan", live)), Range(140, 240));
  // 100 rows: the earlier join among them, and the kick, which shows nothing.
  std::vector<int> second = Range(42, 140);
  second.insert(second.begin() + 58, -1);
  EXPECT_EQ(Olds(scrollback.Older(*store, "#chan", {})), second);
  EXPECT_EQ(Olds(scrollback.Older(*store, "#chan", {})), Range(0, 42));
  EXPECT_TRUE(scrollback.Older(*store, "#chan", {}).empty());
  EXPECT_EQ(scrollback.Lines(), 241u);

  // The page let its 200 oldest go: the next batch brings back the newest
  // of them, and once all are gone the place is found anew from the top.
  scrollback.Dropped(200);
  EXPECT_EQ(Olds(scrollback.Older(*store, "#chan", {})), Range(100, 199));
  scrollback.Dropped(scrollback.Lines());
  EXPECT_EQ(Olds(scrollback.Older(*store, "#chan", live, 3)), Range(237, 240));

  // Page lines the store lacks leave everything stored older than the page.
  const std::vector<std::string> unstored{Stamp() + "carol> not stored"};
  EXPECT_EQ(Scrollback().Older(*store, "#CHAN", unstored, 2),
            (std::vector<std::string>{Stamp() + "ann> hello", Stamp() + "ann> later"}));
  EXPECT_EQ(Scrollback().Older(*store, "#other", live),
            std::vector<std::string>{Stamp() + "ann> elsewhere"});
}

}  // namespace
}  // namespace zelkord::window
