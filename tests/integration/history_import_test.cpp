// The history store from the outside: the server opens it by the settings,
// and the program imports day logs into it, once however often it is run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "history/store.h"
#include "support/test_server.h"

namespace zelkord::testing {
namespace {

TEST(HistoryStore, ServerOpensTheStoreOnlyWhenSaving) {
  for (const char* save : {"Enable", "Disable"}) {
    TestServer server(SettingsMap{{"History.Save", save}, {"History.Path", "h.sqlite"}});
    ASSERT_TRUE(server.Started()) << server.StartError();
    history::Store* store = server.Server().HistoryStore();
    EXPECT_EQ(store != nullptr, std::string(save) == "Enable") << save;
    EXPECT_EQ(server.Server().protocol.history, store) << save;
  }
  // A store that cannot open leaves the server running without history.
  TestServer server(SettingsMap{{"History.Path", "no/such/folder/h.sqlite"}});
  ASSERT_TRUE(server.Started()) << server.StartError();
  EXPECT_EQ(server.Server().HistoryStore(), nullptr);
  ASSERT_EQ(server.Desk().Warnings().size(), 1u);
  EXPECT_NE(server.Desk().Warnings()[0].find("without history"), std::string::npos);
}

// Runs the program on the arguments; its standard error and exit status.
std::pair<std::string, int> RunProgram(const std::string& arguments) {
  const char* binary = std::getenv("ZELKORD_BINARY");
  if (binary == nullptr) return {"no binary", -1};
  FILE* pipe = popen(("'" + std::string(binary) + "' " + arguments + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  const int status = pclose(pipe);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::int64_t LocalMs(int year, int month, int day, int hour, int minute) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&t)) * 1000;
}

TEST(HistoryStore, ImportsDayLogsOnceWithProgress) {
  TempDir dir;
  const std::string config =
      dir.Write("z.INI", IniText({"[History]", "Path=store.sqlite", "Days=0"}));
  for (const char* folder : {"logs/#Chan", "logs/#other", "logs/notes"}) {
    std::filesystem::create_directories(dir.File(folder));
  }
  // 日本語 in Shift_JIS; one join, and lines of no form that maps.
  dir.Write("logs/#Chan/20240105.TXT",
            "10:00 alice> hello\r\n10:01 bob> \x93\xFA\x96\x7B\x8C\xEA\r\n"
            "10:02 *** carol \x93\xFC\x8E\xBA\r\nnot a line\r\n25:00 alice> no such hour\r\n"
            "10:03 *** a topic line of some sort\r\n");
  dir.Write("logs/#Chan/20240104.TXT", "23:59 alice> the day before\r\n");
  dir.Write("logs/#other/20240106.TXT", "00:00 dave> elsewhere\r\n");
  dir.Write("logs/notes/20240106.TXT", "00:00 erin> not a channel\r\n");
  const std::string arguments =
      "--import-day-logs '" + dir.File("logs") + "' --config '" + config + "'";
  for (int run = 0; run < 2; ++run) {
    const auto [out, status] = RunProgram(arguments);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("] 3/3 files, 8 lines\nimported 5 of 8 lines from 3 day logs"),
              std::string::npos)
        << out;
  }
  std::string error;
  history::StoreOptions options;
  options.path = dir.File("store.sqlite");
  options.keepDays = 0;
  std::unique_ptr<history::Store> store = history::Store::Open(options, error);
  ASSERT_TRUE(store) << error;
  const std::vector<history::Row> rows = store->Latest("#chan", std::nullopt, 100);
  ASSERT_EQ(rows.size(), 4u);  // no doubles from the second run
  struct Want {
    std::int64_t timeMs;
    const char* kind;
    const char* prefix;
    const char* text;
  };
  const Want want[] = {
      {LocalMs(2024, 1, 4, 23, 59), "PRIVMSG", "alice", "the day before"},
      {LocalMs(2024, 1, 5, 10, 0), "PRIVMSG", "alice", "hello"},
      {LocalMs(2024, 1, 5, 10, 1), "PRIVMSG", "bob", "日本語"},
      {LocalMs(2024, 1, 5, 10, 2), "JOIN", "carol", ""},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].timeMs, want[i].timeMs) << i;
    EXPECT_EQ(rows[i].kind, want[i].kind) << i;
    EXPECT_EQ(rows[i].prefix, want[i].prefix) << i;
    EXPECT_EQ(rows[i].text, want[i].text) << i;
    EXPECT_EQ(rows[i].target, "#Chan") << i;
  }
  EXPECT_EQ(store->Latest("#OTHER", std::nullopt, 100).size(), 1u);

  const auto [out, status] =
      RunProgram("--import-day-logs '" + dir.File("none") + "' --config '" + config + "'");
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(out.starts_with("zelkord: cannot read the day-log folder")) << out;
}

}  // namespace
}  // namespace zelkord::testing
