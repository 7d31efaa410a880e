// A day-log file whose writes block (a hung mount, here a FIFO without a
// reader) stops only the day-log writer: every connection is still served,
// and once the file takes writes the lines arrive in order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "base/clock.h"
#include "base/jp_text.h"
#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

TEST(StuckDisk, BlockedDayLogWritesStopNoConnection) {
  TempDir logs;
  ASSERT_EQ(mkdir(logs.File("#a").c_str(), 0755), 0);
  const std::string fifo = logs.File("#a/" + base::DayStamp(std::time(nullptr)) + ".TXT");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  TestServer server(SettingsMap{{"Log.Save", "Enable"}, {"Log.Path", logs.Path()}});
  auto [bob, ann] = RegisteredAll(server, {"bob", "ann"});
  ASSERT_TRUE(bob && ann);
  // The join's day-log line is the first write, and it blocks for good.
  ASSERT_TRUE(ann->Join("#a"));
  constexpr int kLines = 50;
  for (int i = 0; i < kLines; ++i) ann->Send("PRIVMSG #a :line " + std::to_string(i));
  bob->Send("PING :bystander");
  EXPECT_NE(bob->ReadUntil(" PONG ", 1000), "<timeout>");
  auto carol = server.Connect();
  EXPECT_TRUE(carol->Register("carol"));

  // A reader unblocks the writer; it must stay open until the server stops,
  // or the next write would block again.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::vector<std::string> expected{"*** ann" + std::string(base::jp::kEntered)};
  for (int i = 0; i < kLines; ++i) expected.push_back("ann> line " + std::to_string(i));
  std::string bytes;
  std::vector<std::string> lines;
  EXPECT_TRUE(WaitUntil([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = read(reader, buffer, sizeof buffer)) > 0)
      bytes.append(buffer, static_cast<std::size_t>(n));
    lines.clear();
    std::size_t start = 0;
    // Each line: "hh:nn " stamp, text, CR LF.
    for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(bytes.substr(start + 6, end - start - 6));
    }
    return lines.size() >= expected.size();
  }));
  EXPECT_EQ(lines, expected);
  server.Stop();
  close(reader);
}

}  // namespace
}  // namespace zelkord::testing
