// The file writer: each producer's records reach each file in order and
// whole, destruction flushes the queue, and a stuck file fills the bounded
// queue, whose drops are counted and reported once, without blocking the
// producer or, past its wait, the destruction.
#include "base/file_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::base {
namespace {

using testing::ReadFile;
using testing::TempDir;

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(bytes.substr(start, end - start));
  }
  EXPECT_EQ(start, bytes.size()) << "a record was cut";
  return lines;
}

TEST(FileWriter, KeepsEachProducersOrderPerFileAndFlushesAtDestruction) {
  TempDir dir;
  constexpr int kLines = 3000;
  {
    FileWriterOptions roomy;  // room for everything: order is checked here, not the bound
    roomy.maxLines = 4 * kLines;
    roomy.maxBytes = 64 * 4 * kLines;
    FileWriter writer(roomy);
    auto produce = [&](const std::string& who) {
      for (int i = 0; i < kLines; ++i) {
        const std::string line = who + " " + std::to_string(i) + "\r\n";
        // A folder of its own, created by the writer, and one shared file.
        ASSERT_TRUE(writer.Append(dir.File(who + "/own.TXT"), line));
        ASSERT_TRUE(writer.Append(dir.File("shared.TXT"), line));
      }
    };
    std::thread a(produce, "a");
    std::thread b(produce, "b");
    a.join();
    b.join();
    EXPECT_EQ(writer.Dropped(), 0u);
  }  // no wait but the destructor's
  for (const std::string who : {"a", "b"}) {
    const std::vector<std::string> own = Lines(ReadFile(dir.File(who + "/own.TXT")));
    ASSERT_EQ(own.size(), static_cast<std::size_t>(kLines)) << who;
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(own[i], who + " " + std::to_string(i));
  }
  int next[2] = {0, 0};
  for (const std::string& line : Lines(ReadFile(dir.File("shared.TXT")))) {
    const int who = line[0] == 'a' ? 0 : 1;
    ASSERT_EQ(line.substr(2), std::to_string(next[who]++)) << line;
  }
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
}

TEST(FileWriter, StuckFileDropsAndReportsOnceAndDestructionStillReturns) {
  TempDir dir;
  const std::string fifo = dir.File("stuck.TXT");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::mutex mutex;
  std::vector<std::string> reports;
  FileWriterOptions options;
  options.maxLines = 4;
  options.flushWait = std::chrono::milliseconds(200);
  options.report = [&](std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex);
    reports.emplace_back(text);
  };
  auto writer = std::make_unique<FileWriter>(options);
  // Opening a FIFO without a reader blocks the writer's thread for good.
  ASSERT_TRUE(writer->Append(fifo, "0\r\n"));
  int accepted = 1;
  for (int i = 1; i < 20; ++i) accepted += writer->Append(fifo, std::to_string(i) + "\r\n") ? 1 : 0;
  // Four wait, besides the batch the thread took before it stuck: none yet,
  // one line, or up to four when it started late (a sanitizer build).
  EXPECT_GE(accepted, 4);
  EXPECT_LE(accepted, 8);
  EXPECT_EQ(writer->Dropped(), static_cast<std::uint64_t>(20 - accepted));
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(reports.size(), 1u);  // once per episode, not per drop
  }
  writer.reset();  // gives up after its wait instead of hanging
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].find("not written"), std::string::npos) << reports[1];
  }
  // A reader lets the left-behind thread finish its one write and end.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::string got;
  EXPECT_TRUE(testing::WaitUntil([&] {
    char buffer[64];
    const ssize_t n = read(reader, buffer, sizeof buffer);
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    return got.find("\r\n") != std::string::npos && n == 0;
  }));
  close(reader);
  EXPECT_EQ(got.substr(0, 3), "0\r\n");
}

}  // namespace
}  // namespace zelkord::base
