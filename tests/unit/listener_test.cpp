// The listener's chain of accepting threads over real sockets: how many
// wait, what a thread does when it cannot start a successor, and that
// closing ends every thread while reopening serves again.
#include "net/listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "base/threads.h"
#include "support/test_client.h"
#include "support/wait.h"

namespace zelkord::net {
namespace {

using testing::TestClient;
using testing::WaitUntil;

// A listener whose threads are counted, whose starts fail once `starts`
// have been allowed (-1: never), and which answers each connection with
// its number.
struct Chain {
  std::atomic<int> live{0};
  std::atomic<int> served{0};
  std::atomic<int> starts{-1};
  Listener listener{2, [](int) {},
                    [this](std::function<void()> body) {
                      if (starts.load() == 0) return false;
                      if (starts.load() > 0) --starts;
                      ++live;
                      const bool started =
                          base::StartDetachedThread([this, body = std::move(body)] {
                            body();
                            --live;
                          });
                      if (!started) --live;
                      return started;
                    },
                    [this](int socket, const std::string&) {
                      (void)TcpSendLine(socket, std::to_string(++served));
                      TcpClose(socket);
                    }};

  ~Chain() {
    listener.Close();
    EXPECT_TRUE(WaitUntil([&] { return live.load() == 0; }));
  }
  // Connects and reads the number the serving thread answers with.
  [[nodiscard]] std::string Ask() {
    TestClient client(listener.Port());
    return client.ReadLine();
  }
};

TEST(Listener, ChainKeepsItsWaitingThreadsAndEndsOnClose) {
  struct Case {
    const char* name;
    int starts;       // thread starts allowed (-1: all)
    int waitingLive;  // threads alive while idle after three connections
  };
  for (const Case& c : {Case{"every start succeeds", -1, 2},
                        Case{"no successor: the thread goes back to accepting", 1, 1}}) {
    SCOPED_TRACE(c.name);
    Chain chain;
    chain.starts = c.starts;
    ASSERT_TRUE(chain.listener.Open(0));
    ASSERT_EQ(chain.listener.StartThreads(), c.starts < 0);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(chain.Ask(), std::to_string(i));
    EXPECT_TRUE(WaitUntil([&] { return chain.live.load() == c.waitingLive; }));
    chain.listener.Close();
    EXPECT_FALSE(chain.listener.IsOpen());
    EXPECT_TRUE(WaitUntil([&] { return chain.live.load() == 0; }));
  }
}

TEST(Listener, ReopenedListenerServesOnItsNewSocket) {
  Chain chain;
  ASSERT_TRUE(chain.listener.Open(0));
  ASSERT_TRUE(chain.listener.StartThreads());
  EXPECT_EQ(chain.Ask(), "1");
  chain.listener.Close();
  ASSERT_TRUE(WaitUntil([&] { return chain.live.load() == 0; }));
  ASSERT_TRUE(chain.listener.Open(0));
  ASSERT_TRUE(chain.listener.StartThreads());
  EXPECT_EQ(chain.Ask(), "2");
}

}  // namespace
}  // namespace zelkord::net
