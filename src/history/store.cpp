// The history store's writer thread and read connections. The writer owns
// the only writing connection: it takes everything queued at once and
// commits it in one transaction, so the commit rate follows the load and a
// burst costs one commit, not one per line. A batch that cannot be written
// (the database locked by someone else, a full disk) is kept and retried,
// while new rows wait in the bounded queue and are dropped once it is full.
#include "history/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <thread>
#include <utility>

#include "base/mutex.h"

namespace zelkord::history {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSchemaVersion = 2;
constexpr std::chrono::milliseconds kRetryPause{100};
constexpr std::chrono::hours kPruneEvery{24};
constexpr int kWriterBusyMs = 100;
constexpr int kReaderBusyMs = 1000;
constexpr std::size_t kIdleReaders = 8;
// Indexing waits this long without new rows, then takes this many rows per
// transaction: short enough that a burst starting meanwhile waits little.
constexpr std::chrono::milliseconds kIndexQuiet{20};
constexpr std::int64_t kIndexChunk = 1000;
constexpr const char* kMessagesOnly = " AND kind IN ('PRIVMSG', 'NOTICE')";

// Version 2: the lines, their lookup indexes and a trigram full-text index
// over the text, ready for searching Japanese, which has no spaces between
// words. The index is external content filled by the writer when it is idle
// (messages_text_done holds the highest id indexed), so that a busy channel
// pays nothing for it. Version 1 kept the index in step by triggers; their
// index content stays valid, so upgrading drops them and marks every row
// indexed.
constexpr const char* kSchema = R"sql(
BEGIN IMMEDIATE;
CREATE TABLE IF NOT EXISTS messages(
  id INTEGER PRIMARY KEY,
  time_ms INTEGER NOT NULL,
  msgid TEXT,
  kind TEXT NOT NULL,
  target TEXT NOT NULL,
  target_key TEXT NOT NULL,
  prefix TEXT NOT NULL,
  param TEXT NOT NULL,
  text TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS messages_target_time ON messages(target_key, time_ms, id);
CREATE UNIQUE INDEX IF NOT EXISTS messages_msgid ON messages(target_key, msgid);
CREATE VIRTUAL TABLE IF NOT EXISTS messages_text USING fts5(
  text, content='messages', content_rowid='id', tokenize='trigram');
DROP TRIGGER IF EXISTS messages_text_insert;
DROP TRIGGER IF EXISTS messages_text_delete;
DROP TRIGGER IF EXISTS messages_text_update;
CREATE TABLE IF NOT EXISTS messages_text_done(upto INTEGER NOT NULL);
INSERT INTO messages_text_done SELECT coalesce(max(id), 0) FROM messages
  WHERE NOT EXISTS (SELECT 1 FROM messages_text_done);
PRAGMA user_version = 2;
COMMIT;
)sql";

constexpr const char* kColumns = "id, time_ms, msgid, kind, target, prefix, param, text";

std::string TargetKey(std::string_view target) {
  std::string key(target);
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

std::string Message(sqlite3* db) {
  return db ? sqlite3_errmsg(db) : "out of memory";
}

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) !=
        SQLITE_OK) {
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  explicit operator bool() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }
  void Text(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Int(int index, std::int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::string Column(sqlite3_stmt* stmt, int index) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, index)))
              : std::string();
}

sqlite3* OpenConnection(const std::string& path, int flags, int busyMs) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, busyMs);
  return db;
}

}  // namespace

struct Store::State {
  explicit State(StoreOptions optionsIn) : options(std::move(optionsIn)) {}
  ~State() {
    for (sqlite3* db : readers) sqlite3_close(db);
    insert.reset();
    sqlite3_close(writer);
  }

  static void Run(const std::shared_ptr<State>& state);
  // Writes one batch in one transaction; false when it must be retried.
  bool Write(const std::deque<Row>& batch);
  // Indexes the next chunk of rows for full-text search; false when none
  // were left (or it failed: the next batch written tries again).
  bool Index();
  void Prune();
  void ReportOnce(bool& episode, const std::string& text);

  sqlite3* TakeReader();
  void GiveBack(sqlite3* db);
  std::vector<Row> Query(const std::string& where, const std::string& order,
                         std::string_view target, const Position* a, const Position* b,
                         std::size_t limit, bool reverse, Lines lines);

  const StoreOptions options;
  sqlite3* writer = nullptr;          // the writer thread's alone once it runs
  bool writeFailing = false;          // the writer thread's: in a failure episode, reported
  std::unique_ptr<Statement> insert;  // the writer thread's, kept across batches

  base::Mutex mutex;
  base::CondVar work;  // the writer waits for rows, the stop or the next prune
  base::CondVar done;  // Flush and destruction wait for the writer
  std::deque<Row> queue GUARDED_BY(mutex);
  std::uint64_t queued GUARDED_BY(mutex) = 0;   // rows accepted, ever
  std::uint64_t settled GUARDED_BY(mutex) = 0;  // of those, written or given up
  std::uint64_t dropped GUARDED_BY(mutex) = 0;
  bool dropping GUARDED_BY(mutex) = false;  // in a drop episode, already reported
  bool pruned GUARDED_BY(mutex) = false;    // the pruning at open is done
  bool stopping GUARDED_BY(mutex) = false;
  bool abandoned GUARDED_BY(mutex) = false;  // destruction gave up waiting
  bool finished GUARDED_BY(mutex) = false;

  base::Mutex readerMutex;
  std::vector<sqlite3*> readers GUARDED_BY(readerMutex);
};

void Store::State::ReportOnce(bool& episode, const std::string& text) {
  if (episode) return;
  episode = true;
  if (options.report) options.report(text);
}

bool Store::State::Write(const std::deque<Row>& batch) {
  static constexpr const char* kInsert =
      "INSERT OR IGNORE INTO messages(time_ms, msgid, kind, target, target_key, prefix, param, "
      "text) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
  if (!Exec(writer, "BEGIN IMMEDIATE")) return false;
  if (!insert) insert = std::make_unique<Statement>(writer, kInsert);
  Statement& statement = *insert;
  bool ok = static_cast<bool>(statement);
  for (std::size_t i = 0; ok && i < batch.size(); ++i) {
    const Row& row = batch[i];
    sqlite3_reset(statement.get());
    statement.Int(1, row.timeMs);
    if (row.msgid.empty()) {
      sqlite3_bind_null(statement.get(), 2);  // no id: never a duplicate
    } else {
      statement.Text(2, row.msgid);
    }
    statement.Text(3, row.kind);
    statement.Text(4, row.target);
    statement.Text(5, TargetKey(row.target));
    statement.Text(6, row.prefix);
    statement.Text(7, row.param);
    statement.Text(8, row.text);
    ok = sqlite3_step(statement.get()) == SQLITE_DONE;
  }
  sqlite3_reset(statement.get());  // a failed step keeps no transaction open
  if (ok && Exec(writer, "COMMIT")) return true;
  Exec(writer, "ROLLBACK");
  return false;
}

bool Store::State::Index() {
  if (!Exec(writer, "BEGIN IMMEDIATE")) return false;
  std::int64_t from = -1;
  std::int64_t upto = -1;
  {
    Statement range(writer,
                    "SELECT upto, (SELECT max(id) FROM (SELECT id FROM messages WHERE id > upto "
                    "ORDER BY id LIMIT ?)) FROM messages_text_done");
    if (range) {
      range.Int(1, kIndexChunk);
      if (sqlite3_step(range.get()) == SQLITE_ROW) {
        from = sqlite3_column_int64(range.get(), 0);
        if (sqlite3_column_type(range.get(), 1) != SQLITE_NULL) {
          upto = sqlite3_column_int64(range.get(), 1);
        }
      }
    }
  }
  bool ok = from >= 0 && upto > from;
  if (ok) {
    Statement add(writer,
                  "INSERT INTO messages_text(rowid, text) SELECT id, text FROM messages "
                  "WHERE id > ?1 AND id <= ?2");
    Statement mark(writer, "UPDATE messages_text_done SET upto = ?");
    ok = add && mark;
    if (ok) {
      add.Int(1, from);
      add.Int(2, upto);
      mark.Int(1, upto);
      ok = sqlite3_step(add.get()) == SQLITE_DONE && sqlite3_step(mark.get()) == SQLITE_DONE;
    }
  }
  if (ok && Exec(writer, "COMMIT")) return true;
  Exec(writer, "ROLLBACK");
  return false;
}

void Store::State::Prune() {
  if (options.keepDays <= 0) return;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  // Rows already indexed leave the index first: an external-content index
  // forgets a row only when told its text.
  Statement unindex(writer,
                    "INSERT INTO messages_text(messages_text, rowid, text) SELECT 'delete', id, "
                    "text FROM messages WHERE time_ms < ?1 AND id <= (SELECT upto FROM "
                    "messages_text_done)");
  Statement remove(writer, "DELETE FROM messages WHERE time_ms < ?1");
  if (!unindex || !remove || !Exec(writer, "BEGIN IMMEDIATE")) return;
  const std::int64_t before = now - std::int64_t{options.keepDays} * 24 * 60 * 60 * 1000;
  unindex.Int(1, before);
  remove.Int(1, before);
  if (sqlite3_step(unindex.get()) == SQLITE_DONE && sqlite3_step(remove.get()) == SQLITE_DONE &&
      Exec(writer, "COMMIT")) {
    return;
  }
  if (options.report)
    options.report("history store: deleting old lines failed: " + Message(writer));
  Exec(writer, "ROLLBACK");
}

void Store::State::Run(const std::shared_ptr<State>& state) {
  state->Prune();
  auto nextPrune = Clock::now() + kPruneEvery;
  {
    base::MutexLock lock(state->mutex);
    state->pruned = true;
    state->done.notify_all();
  }
  bool indexing = true;  // rows may wait for the full-text index
  auto lastWrite = Clock::now();
  for (;;) {
    std::deque<Row> batch;
    bool quiet = false;  // no row came for kIndexQuiet: time to index
    {
      base::MutexLock lock(state->mutex);
      const auto indexAt = std::min(nextPrune, lastWrite + kIndexQuiet);
      while (!state->stopping && state->queue.empty() && Clock::now() < nextPrune) {
        if (!indexing) {
          state->work.wait_until(state->mutex, nextPrune);
        } else if (Clock::now() >= indexAt ||
                   state->work.wait_until(state->mutex, indexAt) == std::cv_status::timeout) {
          quiet = state->queue.empty();
          break;
        }
      }
      if (state->queue.empty() && state->stopping) {
        state->finished = true;
        state->done.notify_all();
        return;
      }
      batch.swap(state->queue);
    }
    if (Clock::now() >= nextPrune) {
      state->Prune();
      nextPrune = Clock::now() + kPruneEvery;
    }
    if (quiet && indexing) {
      indexing = state->Index();
    }
    if (batch.empty()) continue;
    // Kept until written; the queue meanwhile fills and then drops.
    while (!state->Write(batch)) {
      state->ReportOnce(state->writeFailing, "history store cannot write (" +
                                                 Message(state->writer) +
                                                 "); lines wait and are retried");
      base::MutexLock lock(state->mutex);
      if (state->abandoned) break;
      state->work.wait_for(state->mutex, kRetryPause);
    }
    state->writeFailing = false;
    indexing = true;
    lastWrite = Clock::now();
    base::MutexLock lock(state->mutex);
    state->settled += batch.size();
    // Caught up: the next drop starts a new episode and is reported again.
    if (state->queue.empty()) state->dropping = false;
    state->done.notify_all();
  }
}

std::unique_ptr<Store> Store::Open(const StoreOptions& options, std::string& error) {
  auto state = std::make_shared<State>(options);
  state->writer =
      OpenConnection(options.path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kWriterBusyMs);
  if (!state->writer) {
    error = "cannot open the history store " + options.path;
    return nullptr;
  }
  sqlite3* db = state->writer;
  int version = -1;
  {
    Statement ask(db, "PRAGMA user_version");
    if (ask && sqlite3_step(ask.get()) == SQLITE_ROW) version = sqlite3_column_int(ask.get(), 0);
  }
  if (version < 0) {
    error = "cannot read the history store " + options.path + ": " + Message(db);
    return nullptr;
  }
  if (version > kSchemaVersion) {
    error = "the history store " + options.path + " is of a newer version (" +
            std::to_string(version) + ")";
    return nullptr;
  }
  // WAL: readers never wait for the writer; NORMAL: a commit survives the
  // process being killed, though not the machine losing power. Large pages
  // (taking effect only on a new file) make appending a fifth cheaper.
  if (!Exec(db, "PRAGMA page_size=16384") || !Exec(db, "PRAGMA journal_mode=WAL") ||
      !Exec(db, "PRAGMA synchronous=NORMAL") || (version < kSchemaVersion && !Exec(db, kSchema))) {
    error = "cannot prepare the history store " + options.path + ": " + Message(db);
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store());
  store->state_ = state;
  std::thread([state] { State::Run(state); }).detach();
  return store;
}

Store::~Store() {
  State& state = *state_;
  std::size_t unwritten = 0;
  {
    base::MutexLock lock(state.mutex);
    state.stopping = true;
    state.work.notify_all();
    const auto deadline = Clock::now() + state.options.flushWait;
    while (!state.finished &&
           state.done.wait_until(state.mutex, deadline) != std::cv_status::timeout) {
    }
    if (state.finished) return;
    // Stuck: what is queued is given up; the thread ends after its current
    // attempt, holding the state until then.
    state.abandoned = true;
    unwritten = state.queue.size();
    state.queue.clear();
  }
  if (state.options.report) {
    state.options.report("history store still stuck at shut-down; " + std::to_string(unwritten) +
                         " queued lines were not written");
  }
}

bool Store::Append(Row row) {
  State& state = *state_;
  bool queued = false;
  bool wasEmpty = false;
  bool firstDrop = false;
  std::size_t waiting = 0;
  {
    base::MutexLock lock(state.mutex);
    if (state.queue.size() < state.options.queueRows && !state.stopping) {
      queued = true;
      wasEmpty = state.queue.empty();
      state.queue.push_back(std::move(row));
      ++state.queued;
    } else {
      ++state.dropped;
      firstDrop = !state.dropping;
      state.dropping = true;
      waiting = state.queue.size();
    }
  }
  if (wasEmpty) state.work.notify_one();
  if (firstDrop && state.options.report) {
    state.options.report("history store is behind with " + std::to_string(waiting) +
                         " lines waiting; new lines are dropped until it catches up");
  }
  return queued;
}

std::uint64_t Store::Dropped() const {
  base::MutexLock lock(state_->mutex);
  return state_->dropped;
}

void Store::Flush() {
  State& state = *state_;
  base::MutexLock lock(state.mutex);
  const std::uint64_t target = state.queued;
  while (!state.finished && (!state.pruned || state.settled < target)) state.done.wait(state.mutex);
}

bool Store::Settle(std::chrono::milliseconds most) {
  State& state = *state_;
  const auto deadline = std::chrono::steady_clock::now() + most;
  base::MutexLock lock(state.mutex);
  const std::uint64_t target = state.queued;
  while (!state.finished && state.settled < target) {
    if (state.done.wait_until(state.mutex, deadline) == std::cv_status::timeout) {
      return state.settled >= target;
    }
  }
  return true;
}

sqlite3* Store::State::TakeReader() {
  {
    base::MutexLock lock(readerMutex);
    if (!readers.empty()) {
      sqlite3* db = readers.back();
      readers.pop_back();
      return db;
    }
  }
  return OpenConnection(options.path, SQLITE_OPEN_READONLY, kReaderBusyMs);
}

void Store::State::GiveBack(sqlite3* db) {
  if (!db) return;
  {
    base::MutexLock lock(readerMutex);
    if (readers.size() < kIdleReaders) {
      readers.push_back(db);
      return;
    }
  }
  sqlite3_close(db);
}

// Rows of target matching where (with ?2,?3 the first position and ?4,?5
// the second), in order, at most limit, reversed when asked.
std::vector<Row> Store::State::Query(const std::string& where, const std::string& order,
                                     std::string_view target, const Position* a, const Position* b,
                                     std::size_t limit, bool reverse, Lines lines) {
  std::vector<Row> rows;
  if (limit == 0) return rows;
  sqlite3* db = TakeReader();
  if (!db) return rows;
  {
    Statement select(db, std::string("SELECT ") + kColumns +
                             " FROM messages WHERE target_key = ?1" + where +
                             (lines == Lines::MessagesOnly ? kMessagesOnly : "") + " ORDER BY " +
                             order + " LIMIT ?6");
    if (select) {
      select.Text(1, TargetKey(target));
      if (a) select.Int(2, a->timeMs), select.Int(3, a->id);
      if (b) select.Int(4, b->timeMs), select.Int(5, b->id);
      select.Int(6, static_cast<std::int64_t>(std::min<std::size_t>(limit, INT64_MAX)));
      while (sqlite3_step(select.get()) == SQLITE_ROW) {
        sqlite3_stmt* s = select.get();
        Row row;
        row.id = sqlite3_column_int64(s, 0);
        row.timeMs = sqlite3_column_int64(s, 1);
        row.msgid = Column(s, 2);
        row.kind = Column(s, 3);
        row.target = Column(s, 4);
        row.prefix = Column(s, 5);
        row.param = Column(s, 6);
        row.text = Column(s, 7);
        rows.push_back(std::move(row));
      }
    }
  }
  GiveBack(db);
  if (reverse) std::reverse(rows.begin(), rows.end());
  return rows;
}

namespace {
constexpr const char* kAfterA = " AND (time_ms, id) > (?2, ?3)";
constexpr const char* kBeforeA = " AND (time_ms, id) < (?2, ?3)";
constexpr const char* kAfterB = " AND (time_ms, id) > (?4, ?5)";
constexpr const char* kBeforeB = " AND (time_ms, id) < (?4, ?5)";
constexpr const char* kUp = "time_ms, id";
constexpr const char* kDown = "time_ms DESC, id DESC";
}  // namespace

std::optional<Position> Store::FindMsgid(std::string_view target, std::string_view msgid) {
  if (msgid.empty()) return std::nullopt;
  sqlite3* db = state_->TakeReader();
  if (!db) return std::nullopt;
  std::optional<Position> found;
  {
    Statement select(db, "SELECT time_ms, id FROM messages WHERE target_key = ? AND msgid = ?");
    if (select) {
      select.Text(1, TargetKey(target));
      select.Text(2, msgid);
      if (sqlite3_step(select.get()) == SQLITE_ROW) {
        found =
            Position{sqlite3_column_int64(select.get(), 0), sqlite3_column_int64(select.get(), 1)};
      }
    }
  }
  state_->GiveBack(db);
  return found;
}

std::vector<Row> Store::Latest(std::string_view target, std::optional<Position> after,
                               std::size_t limit, Lines lines) {
  if (!after) return state_->Query("", kDown, target, nullptr, nullptr, limit, true, lines);
  return state_->Query(kAfterA, kDown, target, &*after, nullptr, limit, true, lines);
}

std::vector<Row> Store::Before(std::string_view target, Position bound, std::size_t limit,
                               Lines lines) {
  return state_->Query(kBeforeA, kDown, target, &bound, nullptr, limit, true, lines);
}

std::vector<Row> Store::After(std::string_view target, Position bound, std::size_t limit,
                              Lines lines) {
  return state_->Query(kAfterA, kUp, target, &bound, nullptr, limit, false, lines);
}

std::vector<Row> Store::Around(std::string_view target, Position centre, std::size_t limit,
                               Lines lines) {
  // The centre line itself is among those after: from just before it.
  const Position from{centre.timeMs, centre.id > 0 ? centre.id - 1 : 0};
  std::vector<Row> before = Before(target, centre, limit / 2, lines);
  std::vector<Row> after = After(target, from, limit - before.size(), lines);
  if (before.size() == limit / 2 && before.size() + after.size() < limit) {
    before = Before(target, centre, limit - after.size(), lines);  // fewer after: more before
  }
  before.insert(before.end(), std::make_move_iterator(after.begin()),
                std::make_move_iterator(after.end()));
  return before;
}

std::vector<Row> Store::Between(std::string_view target, Position from, Position to,
                                std::size_t limit, Lines lines) {
  const auto less = [](const Position& x, const Position& y) {
    return x.timeMs < y.timeMs || (x.timeMs == y.timeMs && x.id < y.id);
  };
  if (less(from, to)) {
    return state_->Query(std::string(kAfterA) + kBeforeB, kUp, target, &from, &to, limit, false,
                         lines);
  }
  if (less(to, from)) {
    return state_->Query(std::string(kBeforeA) + kAfterB, kDown, target, &from, &to, limit, true,
                         lines);
  }
  return {};
}

std::vector<std::pair<std::string, std::int64_t>> Store::Targets(
    const std::vector<std::string>& targets, std::int64_t fromMs, std::int64_t toMs,
    std::size_t limit) {
  std::vector<std::pair<std::string, std::int64_t>> found;
  sqlite3* db = state_->TakeReader();
  if (!db) return found;
  {
    Statement select(
        db, std::string("SELECT time_ms FROM messages WHERE target_key = ? AND time_ms >= ? AND "
                        "time_ms <= ?") +
                kMessagesOnly + " ORDER BY time_ms DESC LIMIT 1");
    for (const std::string& target : targets) {
      if (!select) break;
      sqlite3_reset(select.get());
      select.Text(1, TargetKey(target));
      select.Int(2, fromMs);
      select.Int(3, toMs);
      if (sqlite3_step(select.get()) == SQLITE_ROW) {
        found.emplace_back(target, sqlite3_column_int64(select.get(), 0));
      }
    }
  }
  state_->GiveBack(db);
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& x, const auto& y) { return x.second < y.second; });
  if (found.size() > limit) found.resize(limit);
  return found;
}

}  // namespace zelkord::history
