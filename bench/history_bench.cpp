// history_bench [FOLDER] [LINES]: fills a history store with LINES lines
// (1,000,000 by default) over four channels, one holding most, then times
// LATEST 100 and BEFORE 100 from the middle of the big channel, and prints
// the fill rate, the rate at which the idle writer then fills the
// full-text index, and the file size per million lines with the index's
// share of it.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "history/store.h"

namespace {

using zelkord::history::Position;
using zelkord::history::Row;
using zelkord::history::Store;
using zelkord::history::StoreOptions;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kStartMs = 1'700'000'000'000;
constexpr int kRequests = 1000;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

const char* Channel(std::size_t i) {
  // Of every twenty lines, seventeen go to the big channel.
  switch (i % 20) {
    case 0:
      return "#small-a";
    case 1:
      return "#small-b";
    case 2:
      return "#small-c";
    default:
      return "#big";
  }
}

std::unique_ptr<Store> OpenOrDie(const std::string& path) {
  StoreOptions options;
  options.path = path;
  options.keepDays = 0;
  options.queueRows = 65536;
  std::string error;
  std::unique_ptr<Store> store = Store::Open(options, error);
  if (!store) {
    std::fprintf(stderr, "history_bench: %s\n", error.c_str());
    std::exit(1);
  }
  return store;
}

template <class Query>
void Time(const char* what, Query query) {
  std::vector<double> ms;
  for (int i = 0; i < kRequests; ++i) {
    const auto start = Clock::now();
    const std::size_t rows = query(i);
    ms.push_back(Ms(Clock::now() - start));
    if (rows != 100) {
      std::fprintf(stderr, "history_bench: %s returned %zu rows\n", what, rows);
      std::exit(1);
    }
  }
  std::sort(ms.begin(), ms.end());
  std::printf("  %-22s median %.3f ms, p99 %.3f ms\n", what, ms[ms.size() / 2],
              ms[ms.size() * 99 / 100]);
}

// The first column of the first row of sql on a connection of our own; -1
// when there is none.
double One(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  double value = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 0) != SQLITE_NULL) {
    value = sqlite3_column_double(stmt, 0);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return value;
}

void Run(const std::string& path, std::size_t lines) {
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
  {
    std::unique_ptr<Store> store = OpenOrDie(path);
    store->Flush();
    const auto start = Clock::now();
    Row row;
    row.kind = "PRIVMSG";
    row.prefix = "someone!user@host.example";
    for (std::size_t i = 0; i < lines; ++i) {
      row.timeMs = kStartMs + static_cast<std::int64_t>(i) * 10;
      char msgid[24];
      std::snprintf(msgid, sizeof msgid, "m%zu", i);
      row.msgid = msgid;
      row.target = Channel(i);
      row.text = "今日の話題その" + std::to_string(i % 997) + "：チャンネルの履歴を読み返す line " +
                 std::to_string(i);
      while (!store->Append(row)) store->Flush();
    }
    store->Flush();
    const double fillMs = Ms(Clock::now() - start);
    std::printf("%zu lines filled in %.0f ms (%.0f lines/s)\n", lines, fillMs,
                lines / (fillMs / 1000));
    // The writer, idle now, indexes the lines for full-text search.
    const auto indexStart = Clock::now();
    while (One(path, "SELECT upto = (SELECT max(id) FROM messages) FROM messages_text_done") != 1) {
      usleep(10'000);
    }
    const double indexMs = Ms(Clock::now() - indexStart);
    std::printf("  full-text index caught up in %.0f ms (%.0f lines/s)\n", indexMs,
                lines / (indexMs / 1000));
  }
  const long long bytes = FileSize(path) + FileSize(path + "-wal");
  std::printf("  file size %.1f MB, %.1f MB per million lines, %.0f %% of it the full-text index\n",
              bytes / 1e6, bytes / 1e6 * 1e6 / static_cast<double>(lines),
              100 * One(path,
                        "SELECT sum(pgsize) * 1.0 / (SELECT sum(pgsize) FROM dbstat) FROM dbstat "
                        "WHERE name LIKE 'messages_text%'"));
  std::unique_ptr<Store> store = OpenOrDie(path);
  Time("LATEST 100", [&](int) { return store->Latest("#big", std::nullopt, 100).size(); });
  // From the middle, moving a little each time so the cache is not one page.
  Time("BEFORE 100 (middle)", [&](int i) {
    const std::int64_t middle = kStartMs + static_cast<std::int64_t>(lines / 2 + i * 20) * 10;
    return store->Before("#big", Position{middle, 0}, 100).size();
  });
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : ".";
  const std::size_t lines = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1'000'000;
  Run(folder + "/history_bench.sqlite", lines);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    unlink((folder + "/history_bench.sqlite" + suffix).c_str());
  }
  return 0;
}
