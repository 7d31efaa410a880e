// The history store: every channel line worth reading again (messages,
// notices, topics, joins, parts, quits, kicks and nick changes), kept in an
// embedded SQLite database so a client that joins later, or the desk's
// channel page, can read back what was said. Text is kept as UTF-8 of what
// the sender wrote, so characters Shift_JIS lacks survive. Writes never
// block the caller: rows queue for one writer thread, which commits them in
// batches (WAL mode, one writing connection); a full or stuck store drops
// rows, counts them and reports the first drop of an episode once. Readers
// use connections of their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelkord::history {

// One stored line. Lines of a kind that names no channel (QUIT, NICK) are
// stored once for each channel the user was in, with that channel as target.
struct Row {
  std::int64_t id = 0;      // the store's own order; 0 until stored
  std::int64_t timeMs = 0;  // Unix time in milliseconds, as relayed
  std::string msgid;        // the message id relayed with the line; unique per target
  std::string kind;         // PRIVMSG NOTICE TOPIC JOIN PART QUIT KICK NICK
  std::string target;       // the channel name as UTF-8, as it was written
  std::string prefix;       // nick!user@host of the sender, UTF-8
  std::string param;        // KICK: the kicked nick; NICK: the new nick; else empty
  std::string text;         // the message, topic, reason or comment, UTF-8
};

// A point in a channel's history: a time, or a line found by its msgid.
// Lines are ordered by (timeMs, id); the bounds are exclusive, and a time
// alone (id 0) lies before every line of its millisecond.
struct Position {
  std::int64_t timeMs = 0;
  std::int64_t id = 0;  // 0: the time alone
};

// Which kinds of line a read returns.
enum class Lines { All, MessagesOnly };

struct StoreOptions {
  std::string path;                           // the database file
  int keepDays = 365;                         // rows older than this are deleted daily; 0 keeps all
  std::size_t queueRows = 16384;              // rows waiting for the writer at most
  std::chrono::milliseconds flushWait{5000};  // destruction's wait for the writer
  // Told, with a text for a person, of the first drop of an episode and of
  // write errors; on the appending thread or the writer's, so it must never
  // block.
  std::function<void(std::string_view)> report;
};

class Store {
 public:
  // Opens (creating when missing) the database and its schema and starts
  // the writer thread. nullptr and error set when it cannot. Main thread.
  [[nodiscard]] static std::unique_ptr<Store> Open(const StoreOptions& options, std::string& error);
  // Commits what is queued (waiting a bounded time), then stops the writer.
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Queues a row for the writer. Never blocks on I/O. false when the queue
  // is full and the row was dropped (counted). A row whose non-empty msgid
  // the target already holds is ignored when written, so importing twice
  // adds nothing. Any thread.
  bool Append(Row row);
  // Rows dropped so far. Any thread.
  [[nodiscard]] std::uint64_t Dropped() const;
  // Waits until every row queued before the call is committed (or the
  // writer gave up on it). For tests and the importer. Any thread.
  void Flush();
  // Flush for a reader about to read: waits at most `most` (a stuck store
  // must not hold the reader long). false when rows queued before the call
  // are not all committed by then. Any thread.
  bool Settle(std::chrono::milliseconds most);

  // Reads, each on the calling thread's own read connection; a failure
  // reads as no rows. Results are oldest first; limit caps the count.
  // target is the channel name as UTF-8, matched without regard to ASCII
  // letter case; lines chooses every kind or PRIVMSG and NOTICE only (for
  // a client that does not play events back), counted before the limit.
  // Any thread.
  [[nodiscard]] std::optional<Position> FindMsgid(std::string_view target, std::string_view msgid);
  [[nodiscard]] std::vector<Row> Latest(std::string_view target, std::optional<Position> after,
                                        std::size_t limit, Lines lines = Lines::All);
  [[nodiscard]] std::vector<Row> Before(std::string_view target, Position bound, std::size_t limit,
                                        Lines lines = Lines::All);
  [[nodiscard]] std::vector<Row> After(std::string_view target, Position bound, std::size_t limit,
                                       Lines lines = Lines::All);
  [[nodiscard]] std::vector<Row> Around(std::string_view target, Position centre, std::size_t limit,
                                        Lines lines = Lines::All);
  [[nodiscard]] std::vector<Row> Between(std::string_view target, Position from, Position to,
                                         std::size_t limit, Lines lines = Lines::All);
  // The channels among targets with a message (PRIVMSG or NOTICE) in
  // [fromMs, toMs], each with the time of its latest there, oldest first.
  [[nodiscard]] std::vector<std::pair<std::string, std::int64_t>> Targets(
      const std::vector<std::string>& targets, std::int64_t fromMs, std::int64_t toMs,
      std::size_t limit);

 private:
  struct State;
  Store() = default;
  std::shared_ptr<State> state_;
};

}  // namespace zelkord::history
