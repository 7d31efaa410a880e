// The history store: each query's bounds and order, case-blind targets,
// text round trips, retention, the full-text index, a store held locked by
// someone else, and a writer killed in the middle of a burst.
#include "history/store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::history {
namespace {

using testing::TempDir;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Row Line(std::int64_t timeMs, std::string text, std::string target = "#Chan") {
  Row row;
  row.timeMs = timeMs;
  row.kind = "PRIVMSG";
  row.target = std::move(target);
  row.prefix = "nick!user@host";
  row.text = std::move(text);
  return row;
}

std::string Texts(const std::vector<Row>& rows) {
  std::string texts;
  for (const Row& row : rows) texts += (texts.empty() ? "" : " ") + row.text;
  return texts;
}

StoreOptions Options(const std::string& path, int keepDays = 365, std::size_t queueRows = 16384) {
  StoreOptions options;
  options.path = path;
  options.keepDays = keepDays;
  options.queueRows = queueRows;
  return options;
}

std::unique_ptr<Store> OpenStore(StoreOptions options) {
  std::string error;
  std::unique_ptr<Store> store = Store::Open(options, error);
  EXPECT_TRUE(store) << error;
  return store;
}

// A connection of the test's own, beside the store's.
struct Raw {
  explicit Raw(const std::string& path) { sqlite3_open(path.c_str(), &db); }
  ~Raw() { sqlite3_close(db); }
  std::string One(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    std::string value;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      value = text ? reinterpret_cast<const char*>(text) : "";
    }
    sqlite3_finalize(stmt);
    return value;
  }
  sqlite3* db = nullptr;
};

TEST(HistoryStore, QueriesHonourExclusiveBoundsAndReturnOldestFirst) {
  TempDir dir;
  std::unique_ptr<Store> store = OpenStore(Options(dir.File("h.sqlite")));
  ASSERT_TRUE(store);
  // Lines 0..9 ten milliseconds apart, 5 and 6 in the same millisecond;
  // another channel's lines between them must never show.
  for (int i = 0; i < 10; ++i) {
    Row row = Line(1000 + 10 * (i == 6 ? 5 : i), std::to_string(i), i % 2 ? "#Chan" : "#chan");
    row.msgid = "m" + std::to_string(i);
    store->Append(row);
    store->Append(Line(1001 + 10 * i, "other", "#other"));
  }
  Row twice = Line(1095, "again");  // a msgid the channel holds: ignored
  twice.msgid = "m0";
  twice.target = "#CHAN";
  store->Append(twice);
  store->Append(Line(1095, "again?", "#Chan"));  // no msgid: never a duplicate
  store->Flush();

  std::vector<Row> all = store->Latest("#CHAN", std::nullopt, 100);
  ASSERT_EQ(Texts(all), "0 1 2 3 4 5 6 7 8 9 again?");
  const auto at = [&](int i) { return Position{all[i].timeMs, all[i].id}; };
  const auto time = [&](int i) { return Position{all[i].timeMs, 0}; };

  struct Case {
    const char* what;
    std::vector<Row> rows;
    const char* want;
  };
  const Case cases[] = {
      {"latest", store->Latest("#cHAN", std::nullopt, 3), "8 9 again?"},
      {"latest after", store->Latest("#chan", at(7), 2), "9 again?"},
      {"latest after the last", store->Latest("#chan", at(10), 5), ""},
      {"before", store->Before("#chan", at(5), 3), "2 3 4"},
      {"before, same millisecond", store->Before("#chan", at(6), 2), "4 5"},
      {"before a time", store->Before("#chan", time(6), 9), "0 1 2 3 4"},
      {"after", store->After("#chan", at(5), 3), "6 7 8"},
      {"after a time: its whole millisecond", store->After("#chan", time(5), 2), "5 6"},
      {"after nothing", store->After("#chan", at(10), 2), ""},
      {"around", store->Around("#chan", at(5), 4), "3 4 5 6"},
      {"around the start", store->Around("#chan", at(1), 4), "0 1 2 3"},
      {"around the end", store->Around("#chan", at(9), 5), "6 7 8 9 again?"},
      {"between", store->Between("#chan", at(2), at(7), 10), "3 4 5 6"},
      {"between, from the start", store->Between("#chan", at(2), at(7), 2), "3 4"},
      {"between backwards", store->Between("#chan", at(7), at(2), 2), "5 6"},
      {"between backwards, all", store->Between("#chan", at(7), at(2), 10), "3 4 5 6"},
      {"between times", store->Between("#chan", time(5), time(8), 10), "5 6 7"},
      {"between one point", store->Between("#chan", at(4), at(4), 10), ""},
      {"limit 0", store->Latest("#chan", std::nullopt, 0), ""},
      {"unknown channel", store->Latest("#none", std::nullopt, 10), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Texts(c.rows), c.want) << c.what;

  EXPECT_EQ(store->FindMsgid("#CHAN", "m3").value_or(Position{}).id, all[3].id);
  EXPECT_FALSE(store->FindMsgid("#other", "m3"));
  EXPECT_FALSE(store->FindMsgid("#chan", ""));
  const auto targets = store->Targets({"#OTHER", "#Chan", "#none"}, 0, 1075, 10);
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ(targets[0], (std::pair<std::string, std::int64_t>{"#Chan", 1070}));
  EXPECT_EQ(targets[1], (std::pair<std::string, std::int64_t>{"#OTHER", 1071}));
  EXPECT_EQ(store->Targets({"#other", "#chan"}, 1092, 2000, 10).size(), 1u);
}

TEST(HistoryStore, KeepsEveryFieldAsWrittenAndDropsOldLinesAtOpen) {
  TempDir dir;
  const StoreOptions options = Options(dir.File("h.sqlite"), 2);
  Row full{.timeMs = NowMs(),
           .msgid = "abc-123",
           .kind = "KICK",
           .target = "#日本語",
           .prefix = "ニック!u@h",
           .param = "相手",
           .text = "理由 \xF0\x9F\x98\x80 and \xE2\x99\xA5 beyond Shift_JIS"};
  {
    std::unique_ptr<Store> store = OpenStore(options);
    ASSERT_TRUE(store);
    store->Append(Line(NowMs() - 3 * 86400000LL, "three days old", "#日本語"));
    store->Append(Line(NowMs() - 86400000LL, "a day old", "#日本語"));
    store->Append(full);
  }  // destruction commits what is queued
  std::unique_ptr<Store> store = OpenStore(options);
  store->Flush();
  const std::vector<Row> rows = store->Latest("#日本語", std::nullopt, 10);
  ASSERT_EQ(Texts(rows), "a day old " + full.text);
  const Row& back = rows[1];
  EXPECT_GT(back.id, 0);
  EXPECT_EQ(std::tie(back.timeMs, back.msgid, back.kind, back.target, back.prefix, back.param),
            std::tie(full.timeMs, full.msgid, full.kind, full.target, full.prefix, full.param));
}

TEST(HistoryStore, FullTextIndexCatchesUpWhenIdleAndForgetsPrunedLines) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  {  // a store as the first schema left it, indexed by triggers
    Raw raw(path);
    ASSERT_EQ(sqlite3_exec(raw.db, R"sql(
CREATE TABLE messages(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, msgid TEXT,
  kind TEXT NOT NULL, target TEXT NOT NULL, target_key TEXT NOT NULL, prefix TEXT NOT NULL,
  param TEXT NOT NULL, text TEXT NOT NULL);
CREATE VIRTUAL TABLE messages_text USING fts5(
  text, content='messages', content_rowid='id', tokenize='trigram');
CREATE TRIGGER messages_text_insert AFTER INSERT ON messages BEGIN
  INSERT INTO messages_text(rowid, text) VALUES (new.id, new.text);
END;
CREATE TRIGGER messages_text_delete AFTER DELETE ON messages BEGIN
  INSERT INTO messages_text(messages_text, rowid, text) VALUES ('delete', old.id, old.text);
END;
PRAGMA user_version = 1;
INSERT INTO messages(time_ms, kind, target, target_key, prefix, param, text)
  VALUES (strftime('%s') * 1000 - 3 * 86400000, 'PRIVMSG', '#chan', '#CHAN', 'n!u@h', '',
          '三日前の日本語');
)sql",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(raw.db);
  }
  const auto match = [&](const std::string& term) {
    return Raw(path).One(("SELECT group_concat(rowid, ' ') FROM (SELECT rowid FROM messages_text "
                          "WHERE messages_text MATCH '" +
                          term + "' ORDER BY rowid)")
                             .c_str());
  };
  const auto whole = [&] {
    Raw raw(path);
    return sqlite3_exec(raw.db,
                        "INSERT INTO messages_text(messages_text) VALUES ('integrity-check')",
                        nullptr, nullptr, nullptr) == SQLITE_OK;
  };
  struct Case {
    std::string term, kept, pruned;
  };
  const Case cases[] = {
      {"日本語", "1 2 3", "2 3"}, {"三日前", "1", ""}, {"ではない", "3", "3"}, {"plain", "4", "4"}};
  {
    std::unique_ptr<Store> store = OpenStore(Options(path, 0));
    ASSERT_TRUE(store);
    for (const char* text : {"今日の日本語", "日本語ではない", "plain text"}) {
      store->Append(Line(NowMs(), text));
    }
    // Indexed once the writer has nothing else to do.
    ASSERT_TRUE(testing::WaitUntil([&] { return match("plain") == "4"; }));
    for (const Case& c : cases) EXPECT_EQ(match(c.term), c.kept) << c.term;
    EXPECT_TRUE(whole());
  }
  EXPECT_EQ(Raw(path).One("SELECT count(*) FROM sqlite_master WHERE type = 'trigger'"), "0");
  std::unique_ptr<Store> store = OpenStore(Options(path, 2));
  store->Flush();  // the pruning at open is done
  for (const Case& c : cases) EXPECT_EQ(match(c.term), c.pruned) << c.term;
  EXPECT_TRUE(whole());
}

TEST(HistoryStore, LockedStoreNeverBlocksAppendAndReportsTheFirstDropOnce) {
  TempDir dir;
  std::mutex mutex;
  std::vector<std::string> reports;
  StoreOptions options = Options(dir.File("h.sqlite"), 365, 8);
  options.report = [&](std::string_view text) {
    std::lock_guard lock(mutex);
    reports.emplace_back(text);
  };
  std::unique_ptr<Store> store = OpenStore(options);
  ASSERT_TRUE(store);
  store->Flush();
  Raw blocker(options.path);
  ASSERT_EQ(sqlite3_exec(blocker.db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  constexpr int kRows = 200;
  auto slowest = std::chrono::steady_clock::duration::zero();
  for (int i = 0; i < kRows; ++i) {
    const auto start = std::chrono::steady_clock::now();
    store->Append(Line(1000 + i, std::to_string(i)));
    slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
  }
  EXPECT_LT(slowest, std::chrono::milliseconds(20));
  const std::uint64_t dropped = store->Dropped();
  EXPECT_GE(dropped, kRows - 2 * 8u);  // the queue and at most one batch held by the writer
  ASSERT_TRUE(testing::WaitUntil([&] {
    std::lock_guard lock(mutex);
    return reports.size() == 2;  // the drop, and the writer's failing commit
  }));
  sqlite3_exec(blocker.db, "COMMIT", nullptr, nullptr, nullptr);
  store->Flush();
  EXPECT_EQ(store->Latest("#chan", std::nullopt, 1000).size(), kRows - dropped);
  std::lock_guard lock(mutex);
  EXPECT_EQ(reports.size(), 2u);
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [](const std::string& r) { return r.find("dropped") != r.npos; }),
            1);
}

TEST(HistoryStore, WriterKilledMidBurstLeavesAWholeGapFreePrefix) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    std::unique_ptr<Store> store = Store::Open(Options(path), error);
    if (!store) _exit(1);
    for (int i = 0;;) {
      if (store->Append(Line(1000 + i, std::to_string(i)))) ++i;  // a drop is retried
    }
  }
  // Until a few commits are in, then in the middle of the next ones.
  ASSERT_TRUE(testing::WaitUntil(
      [&] { return std::stoi("0" + Raw(path).One("SELECT count(*) FROM messages")) > 1000; }));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  Raw raw(path);
  EXPECT_EQ(raw.One("PRAGMA integrity_check"), "ok");
  const std::string count = raw.One("SELECT count(*) FROM messages");
  // Gap-free: the texts are 0..count-1 in id order.
  EXPECT_EQ(raw.One("SELECT max(CAST(text AS INTEGER)) + 1 FROM messages"), count);
  EXPECT_EQ(raw.One("SELECT count(*) FROM messages m JOIN messages n ON n.id = m.id + 1 "
                    "WHERE CAST(n.text AS INTEGER) <> CAST(m.text AS INTEGER) + 1"),
            "0");
  std::unique_ptr<Store> store = OpenStore(Options(path));
  ASSERT_TRUE(store);
  EXPECT_EQ(Texts(store->Latest("#chan", std::nullopt, 1)), std::to_string(std::stoi(count) - 1));
}

}  // namespace
}  // namespace zelkord::history
