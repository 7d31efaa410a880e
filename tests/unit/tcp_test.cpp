// Line framing over a real socket pair: a line ends only at CR LF, the
// limit counts the CR LF, and nothing of the next line is lost.
#include "net/tcp.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_client.h"
#include "support/wait.h"

namespace zelkord::net {
namespace {

class Pair {
 public:
  Pair() { EXPECT_TRUE(testing::MakeSocketPair(fds_)); }
  ~Pair() {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  int Reader() const { return fds_[0]; }
  void Write(std::string_view bytes) { ASSERT_TRUE(net::TcpSend(fds_[1], bytes)); }
  void CloseWriter() {
    close(fds_[1]);
    fds_[1] = -1;
  }
  // A receive expected to fail on what it read: well before the pair's
  // receive deadline, which would fail it as well.
  static int Refused(net::LineReader& reader, std::size_t limit) {
    std::string line;
    const auto start = std::chrono::steady_clock::now();
    const int got = reader.ReceiveLine(line, limit);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(testing::kReadTimeoutMs / 2));
    return got;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(LineReader, LineOfExactlyTheLimitIsWhole) {
  Pair pair;
  net::LineReader reader(pair.Reader());
  pair.Write(std::string(510, 'a') + "\r\n");
  std::string line;
  EXPECT_EQ(reader.ReceiveLine(line, 512), 510);
  EXPECT_EQ(line, std::string(510, 'a'));
}

TEST(LineReader, OneByteOverTheLimitFails) {
  Pair pair;
  net::LineReader reader(pair.Reader());
  pair.Write(std::string(511, 'a') + "\r\n");
  EXPECT_EQ(Pair::Refused(reader, 512), -1);
}

TEST(LineReader, LoneCrAndLfStayInTheLine) {
  Pair pair;
  net::LineReader reader(pair.Reader());
  pair.Write("a\nb\rc\r\r\n\r\nnext\r\n");
  std::string line;
  EXPECT_FALSE(reader.HasLine());  // nothing read yet
  EXPECT_EQ(reader.ReceiveLine(line, 512), 6);
  EXPECT_EQ(line, "a\nb\rc\r");
  EXPECT_TRUE(reader.HasLine());
  EXPECT_EQ(reader.ReceiveLine(line, 512), 0);
  EXPECT_EQ(line, "");
  EXPECT_TRUE(reader.HasLine());
  EXPECT_EQ(reader.ReceiveLine(line, 512), 4);
  EXPECT_EQ(line, "next");
  EXPECT_FALSE(reader.HasLine());
}

TEST(LineReader, LfOnlyLinesAreRejectedAtTheLimit) {
  Pair pair;
  net::LineReader reader(pair.Reader());
  std::string lfLines;
  while (lfLines.size() < 600) lfLines += "NICK a\n";
  pair.Write(lfLines);
  EXPECT_EQ(Pair::Refused(reader, 512), -1);
}

TEST(LineReader, CrLfSplitAcrossReadsAndManyLinesInOneRead) {
  Pair pair;
  net::LineReader reader(pair.Reader());
  std::string line;
  std::thread writer([&] {
    pair.Write("one\r");
    usleep(20 * 1000);  // the CR LF must arrive in two reads
    pair.Write("\ntwo\r\nthree\r\n");
  });
  EXPECT_EQ(reader.ReceiveLine(line, 512), 3);
  EXPECT_EQ(line, "one");
  EXPECT_EQ(reader.ReceiveLine(line, 512), 3);
  EXPECT_EQ(line, "two");
  EXPECT_EQ(reader.ReceiveLine(line, 512), 5);
  EXPECT_EQ(line, "three");
  writer.join();
}

TEST(LineReader, CloseMidLineLosesThePartialLine) {
  Pair pair;
  net::LineReader reader(pair.Reader());
  pair.Write("whole\r\nhalf a li");
  pair.CloseWriter();
  std::string line;
  EXPECT_EQ(reader.ReceiveLine(line, 512), 5);
  EXPECT_TRUE(reader.HasBuffered());
  EXPECT_FALSE(reader.HasLine());  // half a line is no line
  EXPECT_EQ(Pair::Refused(reader, 512), -1);
}

TEST(LineReader, TimeoutKeepsTheStartOfASlowLine) {
  Pair pair;
  net::LineReader reader(pair.Reader());
  pair.Write("GET / HTTP/1.0");
  std::string line;
  EXPECT_EQ(reader.ReceiveLine(line, 1024, 50), net::LineReader::kTimedOut);
  pair.Write("\r\n");
  EXPECT_EQ(reader.ReceiveLine(line, 1024, 50), 14);
  EXPECT_EQ(line, "GET / HTTP/1.0");
}

TEST(LineReader, LimitAboveTheBufferIsCapped) {
  Pair pair;
  net::LineReader reader(pair.Reader());
  pair.Write(std::string(4094, 'x') + "\r\n" + std::string(4095, 'y') + "\r\n");
  std::string line;
  EXPECT_EQ(reader.ReceiveLine(line, 100000), 4094);
  EXPECT_EQ(Pair::Refused(reader, 100000), -1);
}

TEST(TcpListen, PortZeroBindsAndReportsThePort) {
  const int listener = net::TcpListen(0);
  ASSERT_NE(listener, net::kNoSocket);
  const int port = net::TcpBoundPort(listener);
  EXPECT_GT(port, 0);
  // The port is taken now: a second listener on it fails.
  const int second = net::TcpListen(port);
  EXPECT_EQ(second, net::kNoSocket);
  const int client = net::TcpConnect("127.0.0.1", port);
  ASSERT_NE(client, net::kNoSocket);
  std::string address;
  const int accepted = net::TcpAccept(listener, address);
  EXPECT_NE(accepted, net::kNoSocket);
  EXPECT_EQ(address, "127.0.0.1");
  net::TcpClose(accepted);
  net::TcpClose(client);
  // Shutting the listener down fails a later accept instead of blocking.
  net::TcpShutdown(listener);
  EXPECT_EQ(net::TcpAccept(listener, address), net::kNoSocket);
  net::TcpClose(listener);
}

TEST(TcpConnect, BadAddressOrNoListenerGivesNoSocket) {
  EXPECT_EQ(net::TcpConnect("not an address", 1), net::kNoSocket);
  const int listener = net::TcpListen(0);
  const int port = net::TcpBoundPort(listener);
  net::TcpClose(listener);
  EXPECT_EQ(net::TcpConnect("127.0.0.1", port), net::kNoSocket);
}

// Two threads waiting on one listener run out of descriptors together; one
// of them takes the next connection and the other goes back to waiting.
// The spell is told once each way, not once per thread, or the last word
// would be that the listener cannot accept while it does.
TEST(TcpAcceptRetrying, ThreadsOfOneListenerShareTheSpell) {
  const int listener = net::TcpListen(0);
  ASSERT_NE(listener, net::kNoSocket);
  std::mutex mutex;
  std::vector<int> told;
  std::map<std::thread::id, int> tries;
  net::AcceptSpell spell([&](int error) {
    std::lock_guard lock(mutex);
    told.push_back(error);
  });
  // A thread's second try means its first one failed.
  const auto bothRetried = [&] {
    std::lock_guard lock(mutex);
    return tries.size() == 2 && std::all_of(tries.begin(), tries.end(),
                                            [](const auto& each) { return each.second >= 2; });
  };

  // Started before the limit is lowered (a sanitizer's checks of a new
  // thread need a descriptor), they try only once it is.
  std::atomic<bool> limited{false};
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {
      std::string address;
      const int socket = net::TcpAcceptRetrying(
          [&] {
            while (!limited.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::lock_guard lock(mutex);
            ++tries[std::this_thread::get_id()];
            return listener;
          },
          address, spell);
      if (socket != net::kNoSocket) ++accepted;
      net::TcpClose(socket);
    });
  }
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // The first free number as the limit: no new descriptor fits under it.
  const int firstFree = dup(listener);
  ASSERT_GE(firstFree, 0);
  close(firstFree);
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(firstFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  limited = true;
  const bool bothFailed = testing::WaitUntil(bothRetried);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_TRUE(bothFailed);

  const int client = net::TcpConnect("127.0.0.1", net::TcpBoundPort(listener));
  EXPECT_TRUE(testing::WaitUntil([&] { return accepted.load() == 1; }));
  net::TcpShutdown(listener);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(told, (std::vector<int>{EMFILE, 0}));
  net::TcpClose(client);
  net::TcpClose(listener);
}

}  // namespace
}  // namespace zelkord::net
