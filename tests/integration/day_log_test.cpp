// Day log files: written under the log folder in Shift_JIS with CR LF when
// saving is on, never outside it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

#include "base/clock.h"
#include "base/jp_text.h"
#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

std::string Today() {
  return base::DayStamp(std::time(nullptr));
}

// The day log of a channel with the stamps cut off each line.
std::vector<std::string> LogLines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = content.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(content.substr(start + 6, end - start - 6));
  }
  return lines;
}

TEST(DayLog, ChannelLinesAreAppendedPerDay) {
  TempDir logs;
  TestServer server(SettingsMap{{"Log.Save", "Enable"}, {"Log.Path", logs.Path()}});
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("JOIN #a");
  ann->Send("PRIVMSG #a :\x1b$B$3$s\x1b(B");
  ann->Send("PART #a");
  (void)ann->ReadUntil(" PART ");
  // The writer appends on its own thread, soon after the lines are said.
  const std::string file = "#a/" + Today() + ".TXT";
  EXPECT_TRUE(WaitUntil([&] { return LogLines(logs.Read(file)).size() >= 3; }));
  EXPECT_EQ(LogLines(logs.Read(file)),
            (std::vector<std::string>{"*** ann" + std::string(base::jp::kEntered),
                                      "ann> \x82\xb1\x82\xf1",
                                      "*** ann" + std::string(base::jp::kLeft)}));
}

TEST(DayLog, OnlyExactlyDisableTurnsItOff) {
  TempDir logs;
  {
    TestServer server(SettingsMap{{"Log.Save", "Disable"}, {"Log.Path", logs.Path()}});
    auto ann = server.Registered("ann");
    ASSERT_TRUE(ann->Join("#off"));
  }
  EXPECT_EQ(logs.Read("#off/" + Today() + ".TXT"), "");
  {
    TestServer server(SettingsMap{{"Log.Save", "disable"}, {"Log.Path", logs.Path()}});
    auto ann = server.Registered("ann");
    ASSERT_TRUE(ann->Join("#on"));
  }
  EXPECT_NE(logs.Read("#on/" + Today() + ".TXT"), "");
}

TEST(DayLog, NamesThatCouldLeaveTheFolderAreNotLogged) {
  TempDir root;
  const std::string logPath = root.Path() + "logs/";
  mkdir(logPath.c_str(), 0755);
  TestServer server(SettingsMap{{"Log.Save", "Enable"}, {"Log.Path", logPath}});
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  for (const char* name : {"#/../../escape", "&/..", "#a\\b", "#/abs"}) {
    ASSERT_TRUE(ann->Join(name)) << name;
  }
  // They work as channels and keep their lines in the view.
  EXPECT_EQ(server.View("&/..").size(), 1u);
  struct stat info {};
  EXPECT_NE(stat((root.Path() + "escape").c_str(), &info), 0);
  EXPECT_EQ(root.Read(Today() + ".TXT"), "");
  EXPECT_EQ(EntriesIn(logPath), 0);
  EXPECT_EQ(EntriesIn(root.Path()), 1);  // the log folder itself
}

TEST(DayLog, KanjiWithABackslashTrailByteIsStillLogged) {
  TempDir logs;
  TestServer server(SettingsMap{{"Log.Save", "Enable"}, {"Log.Path", logs.Path()}});
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  // "#表" is 0x95 0x5C in Shift_JIS, sent as ESC $ B 0x49 0x3D ESC ( B.
  ASSERT_TRUE(ann->Join("#\x1b$BI=\x1b(B"));
  EXPECT_TRUE(WaitUntil([&] { return !logs.Read("#\x95\x5c/" + Today() + ".TXT").empty(); }));
}

}  // namespace
}  // namespace zelkord::testing
