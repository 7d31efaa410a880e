// Output queues: lines keep their order, a peer that does not read is cut
// off once its queue overflows, and a closing connection hands over what
// was queued first.
#include "net/output_queue.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "net/output_writer.h"
#include "support/test_client.h"

namespace zelkord::net {
namespace {

std::string ReadAll(int fd, std::size_t atLeast) {
  std::string data;
  char chunk[65536];
  while (data.size() < atLeast) {
    pollfd waitFor{fd, POLLIN, 0};
    if (poll(&waitFor, 1, 5000) <= 0) break;
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) break;
    data.append(chunk, static_cast<std::size_t>(got));
  }
  return data;
}

TEST(Connection, LinesArriveInOrderThroughTheWriter) {
  int fds[2];
  ASSERT_TRUE(testing::MakeSocketPair(fds));
  net::OutputWriter writer;
  auto connection = std::make_shared<net::OutputQueue>(fds[0], writer, 1 << 22);
  std::string expected;
  // Far more than the socket buffer holds: the writer has to finish it.
  for (int i = 0; i < 20000; ++i) {
    const std::string line = "line " + std::to_string(i);
    ASSERT_TRUE(connection->Enqueue(line));
    expected += line + "\r\n";
    if (i % 100 == 0) net::FlushPendingOutput();
  }
  net::FlushPendingOutput();
  EXPECT_EQ(ReadAll(fds[1], expected.size()), expected);
  connection->DrainAndClose();
  close(fds[1]);
}

TEST(Connection, OverflowShutsTheSocketDown) {
  int fds[2];
  ASSERT_TRUE(testing::MakeSocketPair(fds));
  net::OutputWriter writer;
  auto connection = std::make_shared<net::OutputQueue>(fds[0], writer, 4096);
  const std::string line(1000, 'x');
  int accepted = 0;
  // The peer never reads: once kernel buffer and queue are full, lines are refused.
  for (int i = 0; i < 10000 && connection->Enqueue(line); ++i) {
    ++accepted;
    net::FlushPendingOutput();
  }
  EXPECT_LT(accepted, 10000);
  EXPECT_FALSE(connection->Enqueue("more"));
  // Our side was shut down: a receive on it ends at once.
  char byte;
  EXPECT_EQ(recv(fds[0], &byte, 1, 0), 0);
  connection->DrainAndClose(0);
  close(fds[1]);
}

TEST(Connection, CloseHandsOverQueuedLinesFirst) {
  int fds[2];
  ASSERT_TRUE(testing::MakeSocketPair(fds));
  net::OutputWriter writer;
  auto connection = std::make_shared<net::OutputQueue>(fds[0], writer);
  ASSERT_TRUE(connection->Enqueue("last words"));
  // Not flushed by anyone: the close itself must deliver it.
  connection->DrainAndClose();
  EXPECT_EQ(ReadAll(fds[1], 12), "last words\r\n");
  char byte;
  EXPECT_EQ(recv(fds[1], &byte, 1, 0), 0);
  close(fds[1]);
}

TEST(Connection, BurstToASlowButReadingPeerIsPacedNotDropped) {
  int fds[2];
  ASSERT_TRUE(testing::MakeSocketPair(fds));
  net::OutputWriter writer;
  auto connection = std::make_shared<net::OutputQueue>(fds[0], writer);
  const std::string line(500, 'y');
  const int lines = 4000;  // 2 MB: eight times the queue bound
  std::string received;
  std::thread reader([&] {
    char chunk[4096];
    while (received.size() < lines * (line.size() + 2)) {
      const ssize_t got = recv(fds[1], chunk, sizeof chunk, 0);
      if (got <= 0) break;
      received.append(chunk, static_cast<std::size_t>(got));
      usleep(50);  // slower than the producer
    }
  });
  for (int i = 0; i < lines; ++i) {
    ASSERT_TRUE(connection->Enqueue(line)) << "dropped at line " << i;
    net::FlushPendingOutput();  // as a handler does after releasing the lock
  }
  reader.join();
  EXPECT_EQ(received.size(), lines * (line.size() + 2));
  connection->DrainAndClose();
  close(fds[1]);
}

}  // namespace
}  // namespace zelkord::net
