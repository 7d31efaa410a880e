// Faults and hostile peers over real sockets: a client that never reads, a
// flood of connections beyond the table, peers that reset, web clients
// that trickle or flood, a log folder that cannot be written or a disk that
// fills, settings files that are garbage or cannot be read, a stop signal
// under load (the real program), and names made of every byte value that
// must neither leave the log folder nor put markup into the status pages.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "net/tcp.h"
#include "services/status_pages.h"
#include "support/http_fetch.h"
#include "support/program.h"
#include "support/test_server.h"
#include "support/tls_client.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int InUseSlots(TestServer& server) {
  irc::ProtocolLock lock(server.Server().protocol);
  int count = 0;
  for (int i = 0; i < server.Server().protocol.users->Capacity(); ++i) {
    if (server.Server().protocol.users->Slot(i).inUse) ++count;
  }
  return count;
}

bool IsUser(TestServer& server, const std::string& nick) {
  irc::ProtocolLock lock(server.Server().protocol);
  return server.Server().protocol.users->FindUserByNick(nick) != irc::kNotFound;
}

std::vector<std::string> MembersOf(TestServer& server, const std::string& channel) {
  irc::ProtocolLock lock(server.Server().protocol);
  const int index = server.Server().protocol.channels->FindChannel(channel);
  if (index < 0) return {};
  return server.Server().protocol.channels->Entry(index).members;
}

// Closes with a reset instead of an orderly end.
void ResetClose(int socket) {
  linger abort{1, 0};
  (void)setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(socket);
}

// A round trip through the server: every line sent before it was handled.
bool Barrier(TestClient& client, int timeoutMs = 10000) {
  client.Send("PING :barrier");
  return client.ReadUntil(" PONG ", timeoutMs).find(" PONG ") != std::string::npos;
}

// --- A client that never reads.

// The sink and the observer connect in clear text, or over TLS, where the
// relay must pass the same backpressure on.
class SlowReader : public ::testing::TestWithParam<bool> {};

TEST_P(SlowReader, IsDroppedOnOverflowWhileEveryoneElseIsServed) {
  const bool tls = GetParam();
  TempDir keys;
  SettingsMap settings = tls ? TlsPortSettings(keys) : SettingsMap{};
  settings["Log.Lines"] = "10";
  TestServer server(settings);
  ASSERT_TRUE(server.Started()) << server.StartError();
  const auto registered = [&](const std::string& nick) {
    return tls ? RegisteredTls(server.Server().TlsPort(), nick) : server.Registered(nick);
  };
  auto sink = registered("sink");
  auto sender = server.Registered("sender");
  auto observer = registered("observer");
  auto bystander = server.Registered("bystander");
  ASSERT_TRUE(sink && sender && observer && bystander);
  for (TestClient* client : {sink.get(), sender.get(), observer.get()}) {
    ASSERT_TRUE(client->Join("#flood"));
  }
  ASSERT_TRUE(Barrier(*observer));  // the later JOINs are read past

  // The observer reads everything on its own thread and checks the order.
  std::atomic<long> seen{0};
  std::atomic<bool> outOfOrder{false};
  std::atomic<bool> sinkParted{false};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      const std::string line = observer->ReadLine(200);
      if (line == "<closed>") return;
      if (line.find(":sink!") == 0 && line.find(" PART #flood") != std::string::npos) {
        sinkParted = true;
      }
      const std::size_t at = line.find(" PRIVMSG #flood :n");
      if (at == std::string::npos) continue;
      const long number = std::atol(line.c_str() + at + 18);
      if (number != seen.load()) outOfOrder = true;
      seen = number + 1;
    }
  });

  const std::string padding(400, 'z');
  long sent = 0;
  double worstPingMs = 0;
  // Until the server gives up on the sink (the bound is far beyond what the
  // kernel buffers and the 256 KiB queue can hold).
  while (IsUser(server, "sink") && sent < 200000) {
    std::string burst;
    for (int i = 0; i < 200; ++i) {
      burst += "PRIVMSG #flood :n" + std::to_string(sent++) + " " + padding + "\r\n";
    }
    sender->SendRaw(burst);
    // Someone outside the channel is answered at once throughout.
    const auto start = Clock::now();
    ASSERT_TRUE(Barrier(*bystander, 5000));
    worstPingMs = std::max(worstPingMs,
                           std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  ASSERT_FALSE(IsUser(server, "sink")) << "never dropped after " << sent << " lines";
  ASSERT_TRUE(Barrier(*sender, 30000));  // every line sent has been handled
  EXPECT_TRUE(
      WaitUntil([&] { return seen.load() == sent && sinkParted.load(); }, std::chrono::seconds(30)))
      << seen.load() << " of " << sent;
  stop = true;
  reader.join();
  EXPECT_FALSE(outOfOrder.load());
  EXPECT_LT(worstPingMs, 2000.0);
  // The sink gets what was sent before the overflow, then the close.
  std::string line;
  do {
    line = sink->ReadLine(5000);
  } while (line != "<closed>" && line != "<timeout>");
  EXPECT_EQ(line, "<closed>");
  EXPECT_EQ(MembersOf(server, "#flood"), (std::vector<std::string>{"sender", "observer"}));
  EXPECT_TRUE(WaitUntil([&] { return InUseSlots(server) == 3; }));
  const std::size_t lineBytes =
      std::string(":sender!user@127.0.0.1 PRIVMSG #flood :n10000 \r\n").size() + padding.size();
  std::printf("slow reader%s: dropped after %ld lines of about %zu bytes; worst ping %.1f ms\n",
              tls ? " over TLS" : "", sent, lineBytes, worstPingMs);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, SlowReader, ::testing::Bool());

// --- Connections beyond the table.

TEST(ConnectionFlood, ExtraConnectionsAreClosedAndNoSlotLeaks) {
  constexpr int kUserMax = 10;
  constexpr int kFlood = 120;
  TestServer server(SettingsMap{{"Program.UserMax", std::to_string(kUserMax)}});
  ASSERT_TRUE(server.Started());
  std::vector<int> sockets;
  for (int i = 0; i < kFlood; ++i) {
    const int socket = net::TcpConnect("127.0.0.1", server.Port());
    ASSERT_GE(socket, 0);
    sockets.push_back(socket);
  }
  // Once every connection was handled (the admitted ones keep their threads,
  // plus those waiting in accept), exactly the table's worth stay open and
  // silent; the rest are closed unanswered.
  ASSERT_TRUE(WaitUntil([&] {
    return InUseSlots(server) == kUserMax &&
           server.Server().liveConnectionThreads.load() == kUserMax + server::kWaitingAcceptors;
  }));
  int open = 0;
  int closedEmpty = 0;
  for (int socket : sockets) {
    pollfd waitFor{socket, POLLIN, 0};
    if (poll(&waitFor, 1, 200) <= 0) {
      ++open;
      continue;
    }
    char byte;
    if (recv(socket, &byte, 1, 0) <= 0) ++closedEmpty;
  }
  EXPECT_EQ(open, kUserMax);
  EXPECT_EQ(closedEmpty, kFlood - kUserMax);
  EXPECT_EQ(InUseSlots(server), kUserMax);
  // Half of them go with a reset, half with an orderly close.
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    if (i % 2 == 0) {
      ResetClose(sockets[i]);
    } else {
      close(sockets[i]);
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return InUseSlots(server) == 0; }));
  EXPECT_TRUE(WaitUntil(
      [&] { return server.Server().liveConnectionThreads.load() == server::kWaitingAcceptors; }));
  // Every slot can be had again.
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < kUserMax; ++i) {
    clients.push_back(server.Registered("u" + std::to_string(i)));
    ASSERT_NE(clients.back(), nullptr) << i;
  }
  EXPECT_TRUE(server.Connect()->ClosedWithoutData());
}

// --- Peers that reset.

// A client on a raw socket, so that it can leave with a reset.
class RawPeer {
 public:
  explicit RawPeer(int port) : socket_(net::TcpConnect("127.0.0.1", port)), reader_(socket_) {}
  ~RawPeer() {
    if (socket_ >= 0) close(socket_);
  }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  [[nodiscard]] bool Connected() const { return socket_ >= 0; }
  void Send(const std::string& bytes) { (void)net::TcpSend(socket_, bytes); }
  // Reads lines until one holds needle; false at a timeout or close.
  bool ReadUntil(const std::string& needle) {
    std::string line;
    while (reader_.ReceiveLine(line, net::kMaxLineLimit, 5000) >= 0) {
      if (line.find(needle) != std::string::npos) return true;
    }
    return false;
  }
  void Reset() {
    ResetClose(socket_);
    socket_ = -1;
  }

 private:
  int socket_;
  net::LineReader reader_;
};

TEST(ResetPeers, RegisteredMembersThatResetArePartedAndFreed) {
  TestServer server(SettingsMap{{"Program.ChanMax", "30"}});
  ASSERT_TRUE(server.Started());
  auto watcher = server.Registered("watcher");
  ASSERT_TRUE(watcher->Join("#r"));
  constexpr int kPeers = 20;
  std::vector<std::unique_ptr<RawPeer>> peers;
  for (int i = 0; i < kPeers; ++i) {
    const std::string nick = "p" + std::to_string(i);
    peers.push_back(std::make_unique<RawPeer>(server.Port()));
    ASSERT_TRUE(peers.back()->Connected());
    peers.back()->Send("NICK " + nick + "\r\nUSER u h s :r\r\nJOIN #r\r\nJOIN #" + nick + "\r\n");
    ASSERT_TRUE(peers.back()->ReadUntil(" 366 " + nick + " #" + nick));
  }
  ASSERT_TRUE(Barrier(*watcher));
  // Each resets mid-line; some leave a pile of unread replies queued.
  for (int i = 0; i < kPeers; ++i) {
    RawPeer& peer = *peers[static_cast<std::size_t>(i)];
    if (i % 4 == 0) {
      std::string many;
      for (int n = 0; n < 500; ++n) many += "NAMES #r\r\n";
      peer.Send(many);
    }
    peer.Send("PRIVMSG #r :cut sho");
    peer.Reset();
  }
  std::set<std::string> parted;
  while (parted.size() < static_cast<std::size_t>(kPeers)) {
    const std::string line = watcher->ReadUntil(" PART #r");
    if (line == "<timeout>" || line == "<closed>") break;
    parted.insert(line.substr(1, line.find('!') - 1));
  }
  EXPECT_EQ(parted.size(), static_cast<std::size_t>(kPeers));
  EXPECT_EQ(MembersOf(server, "#r"), std::vector<std::string>{"watcher"});
  EXPECT_EQ(server.Channels(), std::vector<std::string>{"#r"});
  EXPECT_TRUE(WaitUntil([&] { return InUseSlots(server) == 1; }));
  auto after = server.Registered("after");
  EXPECT_NE(after, nullptr);
}

TEST(ResetPeers, ResetsBeforeAcceptKeepTheChainAccepting) {
  TestServer server(SettingsMap{{"Program.UserMax", "4"}});
  ASSERT_TRUE(server.Started());
  for (int i = 0; i < 200; ++i) {
    const int socket = net::TcpConnect("127.0.0.1", server.Port());
    ASSERT_GE(socket, 0);
    ResetClose(socket);
  }
  ASSERT_TRUE(WaitUntil([&] { return InUseSlots(server) == 0; }));
  EXPECT_TRUE(WaitUntil(
      [&] { return server.Server().liveConnectionThreads.load() == server::kWaitingAcceptors; }));
  auto ann = server.Registered("ann");
  EXPECT_NE(ann, nullptr);
}

// --- The web service against slow and many clients.

TEST(WebFaults, TrickledRequestIsServedWithinTheDeadline) {
  WebServer web;
  ASSERT_TRUE(web.server->Started());
  TestClient client(web.Port());
  for (char byte : std::string("GET / HTTP/1.0\r\nHost: x\r\n\r\n")) {
    client.SendRaw(std::string(1, byte));
    usleep(30 * 1000);  // the trickle itself: one byte at a time, spaced out
  }
  const std::string all = ReadToClose(client);
  EXPECT_EQ(all.rfind(kPageHeader + "<html>\r\n", 0), 0u) << all;
}

TEST(WebFaults, EndlessTrickleIsCutOffWhileOthersAreServed) {
  WebServer web;
  ASSERT_TRUE(web.server->Started());
  TestClient trickler(web.Port());
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    trickler.SendRaw("GET / HTTP/1.0\r\nX-Long: ");
    for (int i = 0; i < 150 && !stop.load(); ++i) {
      trickler.SendRaw("a");
      usleep(100 * 1000);  // slow enough to stay under every per-read timeout
    }
  });
  const auto start = Clock::now();
  for (int i = 0; i < 5; ++i) {
    const auto before = Clock::now();
    EXPECT_EQ(Fetch(web.Port(), "GET / HTTP/1.0\r\n\r\n").rfind(kPageHeader, 0), 0u);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
  }
  // Cut off at the whole-request deadline, although bytes kept coming.
  EXPECT_TRUE(trickler.ClosedWithoutData(services::kWebRequestTimeoutMs + 5000));
  const auto took = Clock::now() - start;
  stop = true;
  feeder.join();
  EXPECT_GE(took, milliseconds(services::kWebRequestTimeoutMs - 1000));
  EXPECT_LE(took, milliseconds(services::kWebRequestTimeoutMs + 4000));
}

// Sends one request on each of count sockets at once and reads every reply.
std::vector<std::string> FloodRequests(int port, int count, const std::string& request) {
  std::vector<int> sockets;
  for (int i = 0; i < count; ++i) sockets.push_back(net::TcpConnect("127.0.0.1", port));
  for (int socket : sockets) {
    if (socket >= 0) (void)net::TcpSend(socket, request);
  }
  std::vector<std::string> replies(sockets.size());
  std::vector<bool> done(sockets.size(), false);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::size_t left = sockets.size();
  while (left > 0 && Clock::now() < deadline) {
    std::vector<pollfd> fds;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      if (done[i] || sockets[i] < 0) continue;
      fds.push_back({sockets[i], POLLIN, 0});
      which.push_back(i);
    }
    if (fds.empty()) break;
    if (poll(fds.data(), fds.size(), 200) <= 0) continue;
    for (std::size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      char chunk[8192];
      const ssize_t got = recv(fds[k].fd, chunk, sizeof chunk, 0);
      if (got > 0) {
        replies[which[k]].append(chunk, static_cast<std::size_t>(got));
      } else {
        done[which[k]] = true;
        --left;
      }
    }
  }
  for (int socket : sockets) net::TcpClose(socket);
  return replies;
}

TEST(WebFaults, FloodBeyondTheCapGetsWholePagesOrNothing) {
  WebServer web;
  ASSERT_TRUE(web.server->Started());
  server::Server& server = web.server->Server();
  auto ann = web.server->Registered("ann");
  ASSERT_TRUE(ann->Join("#a"));
  const std::string whole = Fetch(web.Port(), "GET / HTTP/1.0\r\n\r\n");
  ASSERT_EQ(whole.rfind(kPageHeader, 0), 0u);

  // The cap is held by clients that never finish their request.
  std::vector<std::unique_ptr<TestClient>> holders;
  for (int i = 0; i < services::kMaxWebRequests; ++i) {
    holders.push_back(std::make_unique<TestClient>(web.Port()));
    holders.back()->SendRaw("GET / HT");
  }
  ASSERT_TRUE(
      WaitUntil([&] { return server.servingWebRequests.load() == services::kMaxWebRequests; }));
  // Everything beyond it is closed at once, unanswered, and IRC goes on.
  const auto start = Clock::now();
  const auto refused = FloodRequests(web.Port(), 300, "GET / HTTP/1.0\r\n\r\n");
  for (const std::string& reply : refused) EXPECT_EQ(reply, "");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(Barrier(*ann, 2000));
  holders.clear();
  ASSERT_TRUE(WaitUntil([&] { return server.servingWebRequests.load() == 0; }));

  // A flood of complete requests: every reply is the whole page or nothing.
  const auto replies = FloodRequests(web.Port(), 300, "GET / HTTP/1.0\r\n\r\n");
  int served = 0;
  for (const std::string& reply : replies) {
    EXPECT_TRUE(reply.empty() || reply == whole) << reply.size() << " bytes";
    if (reply == whole) ++served;
  }
  EXPECT_GT(served, 0);
  EXPECT_TRUE(WaitUntil(
      [&] { return server.servingWebRequests.load() == 0 && server.liveWebThreads.load() == 1; }));
  EXPECT_EQ(Fetch(web.Port(), "GET / HTTP/1.0\r\n\r\n"), whole);
  std::printf("web flood: 300 beyond the cap refused, then %d of 300 served whole\n", served);
}

// --- Log files that cannot be written.

TEST(LogFaults, LogFolderInsideAFileKeepsTheLinesInTheView) {
  TempDir dir;
  const std::string blocker = dir.Write("not-a-folder", "keep me");
  TestServer server(
      SettingsMap{{"Log.Save", "Enable"}, {"Log.Path", blocker + "/"}, {"Log.Lines", "500"}});
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  ann->Send("JOIN #a");
  for (int i = 0; i < 300; ++i) ann->Send("PRIVMSG #a :line " + std::to_string(i));
  ASSERT_TRUE(Barrier(*ann));
  const auto view = server.View("#a");
  ASSERT_EQ(view.size(), 301u);
  EXPECT_EQ(view.back(), "ann> line 299");
  EXPECT_EQ(dir.Read("not-a-folder"), "keep me");
}

TEST(LogFaults, FullDiskLeavesTheServerServing) {
  ASSERT_NE(std::getenv("ZELKORD_BINARY"), nullptr) << "run through ctest";
  TempDir dir;
  mkdir((dir.Path() + "logs").c_str(), 0755);
  const std::string config = dir.Write(
      "zelkord.INI", TestInstanceIni({{"Log.Save", "Enable"},
                                      {"Log.Path", dir.Path() + "logs/"},
                                      {"Web.Send", "Enable"},
                                      {"Web.Port", "0"},
                                      {"Web.IndexForm", dir.Write("i.html", kIndexTemplate)},
                                      {"Web.LogForm", dir.Write("l.html", kLogTemplate)}}));
  constexpr rlim_t kDiskBytes = 64 * 1024;
  Program program(config, kDiskBytes);
  ASSERT_TRUE(program.Started());
  const int port = program.WaitForPort();
  ASSERT_GT(port, 0) << program.Stderr();
  TestClient ann(port);
  ASSERT_TRUE(ann.Register("ann"));
  ann.Send("JOIN #a");
  const std::string text(300, 'q');
  for (int i = 0; i < 600; ++i) ann.Send("PRIVMSG #a :" + std::to_string(i) + " " + text);
  ASSERT_TRUE(Barrier(ann)) << "the server stopped answering once the disk was full";
  const std::string file = dir.Path() + "logs/#a/" + base::DayStamp(std::time(nullptr)) + ".TXT";
  struct stat info {};
  // It did fill up, once the writer has caught up.
  EXPECT_TRUE(WaitUntil([&] {
    return stat(file.c_str(), &info) == 0 && static_cast<rlim_t>(info.st_size) == kDiskBytes;
  })) << info.st_size;
  // The view still took every line: the log page ends with the last one.
  const int webPort = program.WebPort();
  ASSERT_GT(webPort, 0);
  const std::string page = Fetch(webPort, "GET /a HTTP/1.0\r\n\r\n");
  EXPECT_NE(page.find("ann&gt 599 " + text + "\r\n</pre>"), std::string::npos) << page.size();
  program.Signal(SIGTERM);
  ASSERT_TRUE(program.Exited(20000));
  EXPECT_TRUE(program.ExitedWith(0)) << program.Status();
  EXPECT_NE(dir.Read("zelkord.INI").find("[Color]\r\nWebLogBack=clGray"), std::string::npos);
}

TEST(SettingsFaults, DiskTooFullForTheSettingsFileLeavesItWhole) {
  ASSERT_NE(std::getenv("ZELKORD_BINARY"), nullptr) << "run through ctest";
  TempDir dir;
  const std::string original =
      IniText({"; hand-written", "[Server]", "Port=0", "Name=" + std::string(300, 'n')});
  const std::string config = dir.Write("zelkord.INI", original);
  Program program(config, 256);  // less than the whole file takes
  ASSERT_TRUE(program.Started());
  ASSERT_TRUE(program.Exited(20000));
  EXPECT_TRUE(program.ExitedWith(1)) << program.Status();
  EXPECT_NE(program.Stderr().find("cannot write the settings file"), std::string::npos)
      << program.Stderr();
  EXPECT_EQ(dir.Read("zelkord.INI"), original);
}

// --- Settings files that are garbage or cannot be read.

struct BadSettings {
  const char* what;
  std::string content;
  const char* errorNames;  // what the start-up error must name
};

TEST(SettingsFaults, GarbageIsReportedAndTheFileIsNotTouched) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 131 + 7) % 256));
  const std::vector<BadSettings> cases = {
      {"binary junk in a number", "[Position]\r\nTop=\xff\xfe\x00\x01" + binary + "\r\n",
       "Position.Top"},
      {"a count beyond any int", "[BanList]\r\nCount=99999999999999999999\r\n", "BanList.Count"},
      {"not a colour", "[Color]\r\nWebLogBack=" + binary.substr(0, 100) + "\r\n",
       "Color.WebLogBack"},
      {"junk lines around a bad number",
       binary + "\n[Position]\nWidth=-\n" + std::string(100000, '[') + "\n", "Position.Width"},
  };
  for (const BadSettings& bad : cases) {
    TempDir dir;
    const std::string file = dir.Write("zelkord.INI", bad.content);
    {
      RecordingDesk desk;
      server::Server server(desk, config::PathsForConfig(file));
      server.startOperatorClient = false;
      const server::StartResult result = server.Start();
      EXPECT_FALSE(result.ok) << bad.what;
      EXPECT_NE(result.error.find(bad.errorNames), std::string::npos) << bad.what << result.error;
      EXPECT_EQ(dir.Read("zelkord.INI"), bad.content) << bad.what;
    }
    // Nor by the shut-down that follows the failed start.
    EXPECT_EQ(dir.Read("zelkord.INI"), bad.content) << bad.what << ", after shut-down";
  }
}

// Starts a server from the settings file, without the operator client, for
// a start that is meant to fail; the start's result.
server::StartResult StartFrom(const std::string& file) {
  RecordingDesk desk;
  server::Server server(desk, config::PathsForConfig(file));
  server.startOperatorClient = false;
  return server.Start();
}

TEST(SettingsFaults, BadTableSizeKeepsTheValueForThePersonToFix) {
  TempDir dir;
  const std::string file = dir.Write("zelkord.INI", IniText({"[Program]", "UserMax=\x01junk"}));
  const server::StartResult result = StartFrom(file);
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("Program.UserMax"), std::string::npos) << result.error;
  EXPECT_NE(dir.Read("zelkord.INI").find("UserMax=\x01junk\r\n"), std::string::npos);
}

TEST(SettingsFaults, UnreadableSettingsStopStartUpWithoutReplacingThem) {
  // A folder where the file should be; a link that points at itself cannot
  // be opened (root reads anything else, so permissions cannot make a file
  // unreadable here).
  const struct {
    const char* what;
    int (*make)(const char* path);
    mode_t kind;  // what stands at the path afterwards
  } cases[] = {
      {"folder", [](const char* path) { return mkdir(path, 0755); }, S_IFDIR},
      {"self link", [](const char* path) { return symlink(path, path); }, S_IFLNK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir.File("zelkord.INI");
    ASSERT_EQ(c.make(path.c_str()), 0);
    const server::StartResult result = StartFrom(path);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("cannot write the settings file"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IFMT, c.kind);
  }
}

TEST(SettingsFaults, ProgramReportsGarbageAndExitsWithOne) {
  ASSERT_NE(std::getenv("ZELKORD_BINARY"), nullptr) << "run through ctest";
  TempDir dir;
  const std::string content = "[Server]\r\nPort=0\r\n[Position]\r\nHeight=\x80\x80\r\n";
  const std::string config = dir.Write("zelkord.INI", content);
  Program program(config);
  ASSERT_TRUE(program.Started());
  ASSERT_TRUE(program.Exited(20000));
  EXPECT_TRUE(program.ExitedWith(1)) << program.Status();
  EXPECT_NE(program.Stderr().find("zelkord: "), std::string::npos);
  EXPECT_NE(program.Stderr().find("Position.Height"), std::string::npos) << program.Stderr();
  EXPECT_EQ(dir.Read("zelkord.INI"), content);
}

// --- A stop signal while the server is busy.

// Counts the settings file's replacements (each save renames a new file
// over it) in a folder from now on.
class SettingsWrites {
 public:
  explicit SettingsWrites(const std::string& folder) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) (void)inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO);
  }
  ~SettingsWrites() {
    if (fd_ >= 0) close(fd_);
  }
  SettingsWrites(const SettingsWrites&) = delete;
  SettingsWrites& operator=(const SettingsWrites&) = delete;

  int Count() {
    alignas(inotify_event) char buffer[8192];
    for (ssize_t got; (got = read(fd_, buffer, sizeof buffer)) > 0;) {
      for (char* at = buffer; at < buffer + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0 && std::string(event->name) == "zelkord.INI") ++count_;
        at += sizeof(inotify_event) + event->len;
      }
    }
    return count_;
  }

 private:
  int fd_ = -1;
  int count_ = 0;
};

// Starts the program, optionally loads it, stops it with SIGTERM (twice)
// and returns how often shut-down replaced the settings file.
int SettingsWritesAtStop(bool underLoad, double& stopSeconds) {
  TempDir dir;
  const std::string config =
      dir.Write("zelkord.INI", TestInstanceIni({{"Program.UserMax", "200"}}));
  Program program(config);
  EXPECT_TRUE(program.Started());
  const int port = program.WaitForPort();
  EXPECT_GT(port, 0) << program.Stderr();
  if (port <= 0) return -1;
  const std::string afterStart = dir.Read("zelkord.INI");

  constexpr int kClients = 60;
  std::vector<int> sockets;
  std::atomic<bool> stop{false};
  std::vector<std::thread> load;
  if (underLoad) {
    for (int i = 0; i < kClients; ++i) {
      const int socket = net::TcpConnect("127.0.0.1", port);
      EXPECT_GE(socket, 0);
      const std::string nick = "load" + std::to_string(i);
      (void)net::TcpSend(socket, "NICK " + nick + "\r\nUSER u h s :r\r\nJOIN #busy\r\nJOIN #" +
                                     std::to_string(i % 5) + "\r\n");
      sockets.push_back(socket);
    }
    // Half the clients talk as fast as they can; every client reads.
    load.emplace_back([&] {
      const std::string line = "PRIVMSG #busy :" + std::string(200, 'w') + "\r\n";
      std::string burst;
      for (int i = 0; i < 20; ++i) burst += line;
      while (!stop.load()) {
        for (int i = 0; i < kClients; i += 2) {
          (void)send(sockets[static_cast<std::size_t>(i)], burst.data(), burst.size(),
                     MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        usleep(1000);  // a busy talker, not a spinning one
      }
    });
    load.emplace_back([&] {
      char sink[65536];
      while (!stop.load()) {
        for (int socket : sockets) (void)recv(socket, sink, sizeof sink, MSG_DONTWAIT);
        usleep(500);  // reads in rounds, like a client between polls
      }
    });
    usleep(1500 * 1000);  // let the load build up
  }
  SettingsWrites writes(dir.Path());
  const auto start = Clock::now();
  program.Signal(SIGTERM);
  usleep(50 * 1000);        // the second signal lands while the first is being handled
  program.Signal(SIGTERM);  // a second request while draining changes nothing
  const bool exited = program.Exited(30000);
  stopSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  for (std::thread& thread : load) thread.join();
  for (int socket : sockets) close(socket);
  EXPECT_TRUE(exited);
  EXPECT_TRUE(program.ExitedWith(0)) << program.Status() << program.Stderr();
  EXPECT_EQ(dir.Read("zelkord.INI"), afterStart);
  return writes.Count();
}

TEST(StopSignal, HeavyLoadDrainsCleanlyAndWritesTheSettingsOnce) {
  ASSERT_NE(std::getenv("ZELKORD_BINARY"), nullptr) << "run through ctest";
  double idleSeconds = 0;
  double busySeconds = 0;
  const int idle = SettingsWritesAtStop(false, idleSeconds);
  const int busy = SettingsWritesAtStop(true, busySeconds);
  EXPECT_GT(idle, 0);
  EXPECT_EQ(busy, idle);
  EXPECT_LT(busySeconds, 10.0);
  std::printf("stop signal: idle %.2f s, under load %.2f s, %d settings writes each\n", idleSeconds,
              busySeconds, busy);
}

// --- Hostile names.

// Every entry below folder, as paths relative to it.
void ListTree(const std::string& folder, const std::string& prefix, std::vector<std::string>& out) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    out.push_back(prefix + name);
    struct stat info {};
    if (lstat((folder + "/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      ListTree(folder + "/" + name, prefix + name + "/", out);
    }
  }
  closedir(dir);
}

std::string UnescapeHtml(std::string text) {
  const std::pair<std::string, std::string> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [entity, plain] : entities) {
      if (text.compare(i, entity.size(), entity) == 0) {
        out += plain;
        i += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// Takes text up to the next "<", which must open the given tag sequence;
// false when the text holds a markup character of its own.
bool TakeCell(std::string_view& rest, std::string_view closing, std::string& cell) {
  const std::size_t end = rest.find('<');
  if (end == std::string_view::npos || rest.substr(end, closing.size()) != closing) return false;
  cell = std::string(rest.substr(0, end));
  rest.remove_prefix(end + closing.size());
  return cell.find_first_of(">\"") == std::string::npos;
}

TEST(HostileNames, EveryByteValueStaysInTheLogFolderAndOutOfThePageMarkup) {
  TempDir root;
  const std::string area = root.Path() + "area/";
  const std::string logs = area + "logs/";
  mkdir(area.c_str(), 0755);
  mkdir(logs.c_str(), 0755);
  const std::string escapeMark = "zkescape" + std::to_string(getpid());
  WebServer web(SettingsMap{{"Log.Save", "Enable"},
                            {"Log.Path", logs},
                            {"Program.ChanMax", "1100"},
                            {"Log.Lines", "400"}});
  ASSERT_TRUE(web.server->Started());
  TestServer& server = *web.server;

  std::vector<std::string> names = {"..",
                                    ".",
                                    "../" + escapeMark,
                                    "../../" + escapeMark,
                                    "/tmp/" + escapeMark,
                                    "#a/../../" + escapeMark,
                                    "#..",
                                    "..\\..\\" + escapeMark,
                                    "#<script>alert(1)</script>",
                                    "#\"onmouseover='x'",
                                    "#&amp;",
                                    "#\x95\x5c",
                                    "\x81/"};
  // Names the name rule refuses, and as many more it lets through.
  for (int byte = 1; byte < 256; ++byte) {
    const std::string b(1, static_cast<char>(byte));
    for (const std::string& name : {b + "x", b, b + b, "." + b + "."}) {
      if (name != "0") names.push_back(name);  // "JOIN 0" would leave them all
      names.push_back("#" + name);
    }
  }
  auto ann = server.Registered("ann");
  ASSERT_NE(ann, nullptr);
  std::string allBytes;
  for (int byte = 1; byte < 256; ++byte) {
    if (byte != '\r' && byte != '\n') allBytes.push_back(static_cast<char>(byte));
  }
  // In batches, reading the replies in between, so the client never falls
  // far enough behind to be dropped.
  for (std::size_t i = 0; i < names.size(); ++i) {
    ann->Send("JOIN " + names[i]);
    ann->Send("TOPIC " + names[i] + " :" + allBytes);
    ann->Send("PRIVMSG " + names[i] + " :" + allBytes);
    if (i % 50 == 49) {
      ASSERT_TRUE(Barrier(*ann, 30000));
    }
  }
  ASSERT_TRUE(Barrier(*ann, 30000));

  // Nicknames made of every byte value talk in one channel.
  // Most of them are refused by the nick rule; the rest must be harmless.
  auto eve = server.Registered("eve");
  ASSERT_NE(eve, nullptr);
  eve->Send("JOIN #nicks");
  eve->Send("TOPIC #nicks :set by a hostile nick");
  for (int byte = 1; byte < 256; ++byte) {
    const std::string b(1, static_cast<char>(byte));
    eve->Send("NICK <" + b + "\"'&>" + std::to_string(byte));
    eve->Send("PRIVMSG #nicks :" + allBytes);
    if (byte % 50 == 0) {
      ASSERT_TRUE(Barrier(*eve, 30000));
    }
  }
  ASSERT_TRUE(Barrier(*eve, 30000));
  const std::vector<std::string> channels = server.Channels();
  ASSERT_GT(channels.size(), 500u);
  // The writer creates the channels' folders on its own thread.
  EXPECT_TRUE(WaitUntil([&] { return EntriesIn(area + "logs") > 500; }, std::chrono::seconds(30)));

  // Nothing was written outside the log folder, and inside it only one
  // level of channel folders holding day files.
  std::vector<std::string> inArea;
  ListTree(area.substr(0, area.size() - 1), "", inArea);
  std::vector<std::string> inRoot;
  ListTree(root.Path().substr(0, root.Path().size() - 1), "", inRoot);
  for (const std::string& entry : inRoot) {
    EXPECT_TRUE(entry == "area" || entry.rfind("area/", 0) == 0) << entry;
  }
  struct stat info {};
  EXPECT_NE(stat(("/tmp/" + escapeMark).c_str(), &info), 0);
  EXPECT_NE(stat((root.Path() + escapeMark).c_str(), &info), 0);
  const std::set<std::string> channelSet(channels.begin(), channels.end());
  int folders = 0;
  for (const std::string& entry : inArea) {
    if (entry == "logs") continue;
    ASSERT_EQ(entry.rfind("logs/", 0), 0u) << entry;
    const std::string below = entry.substr(5);
    const std::size_t slash = below.find('/');
    const bool dayFile = below.size() == 12 && below.substr(8) == ".TXT" &&
                         below.find_first_not_of("0123456789") == 8;
    if (slash == std::string::npos && dayFile) {
      // The channel named "" logs straight into the folder.
      EXPECT_EQ(channelSet.count(""), 1u) << entry;
    } else if (slash == std::string::npos) {
      EXPECT_EQ(channelSet.count(below), 1u) << "a folder for no channel: " << below;
      ++folders;
    } else {
      // Only day files ("yyyymmdd.TXT") below a channel's folder.
      const std::string file = below.substr(slash + 1);
      EXPECT_TRUE(file.size() == 12 && file.substr(8) == ".TXT" &&
                  file.find_first_not_of("0123456789") == 8)
          << entry;
    }
  }
  EXPECT_GT(folders, 500);

  // The index page: rows of exactly the expected markup, each cell free of
  // markup characters, and the names unescaping to the channels themselves.
  const std::string index = Fetch(web.Port(), "GET / HTTP/1.0\r\n\r\n", 20000);
  const std::string head = kPageHeader + "<html>\r\n<TABLE BORDER=\"2\">\r\n<TR>" +
                           std::string(services::kIndexHeaderRow) + "</TR>\r\n";
  const std::string tail = "</TABLE>\r\n</html>\r\n";
  ASSERT_EQ(index.rfind(head, 0), 0u);
  ASSERT_GE(index.size(), head.size() + tail.size());
  ASSERT_EQ(index.substr(index.size() - tail.size()), tail);
  std::string_view rows(index);
  rows = rows.substr(head.size(), index.size() - head.size() - tail.size());
  std::set<std::string> listed;
  int rowCount = 0;
  while (!rows.empty()) {
    const std::string_view start = "<TR><TD><A HREF=\"";
    ASSERT_EQ(rows.substr(0, start.size()), start) << "row " << rowCount;
    rows.remove_prefix(start.size());
    const std::size_t linkEnd = rows.find('"');
    ASSERT_NE(linkEnd, std::string_view::npos);
    const std::string_view link = rows.substr(0, linkEnd);
    EXPECT_EQ(link.find_first_of("<>"), std::string_view::npos) << "row " << rowCount;
    ASSERT_EQ(rows.substr(linkEnd, 2), "\">");
    rows.remove_prefix(linkEnd + 2);
    std::string name, members, topic;
    ASSERT_TRUE(TakeCell(rows, "</A></TD><TD>", name)) << "row " << rowCount;
    ASSERT_TRUE(TakeCell(rows, "</TD><TD>", members)) << "row " << rowCount;
    ASSERT_TRUE(TakeCell(rows, "</TD></TR>\r\n", topic)) << "row " << rowCount;
    listed.insert(UnescapeHtml(name));
    ++rowCount;
  }
  EXPECT_EQ(listed, channelSet);

  // Every log page that can be asked for holds no markup of its own.
  int pages = 0;
  for (const std::string& channel : channels) {
    if (channel.size() < 2 || channel[0] != '#') continue;
    const std::string document = channel.substr(1);
    if (document.find_first_of(" \r\n") != std::string::npos) continue;
    const std::string page = Fetch(web.Port(), "GET /" + document + " HTTP/1.0\r\n\r\n");
    const std::string open = kPageHeader + "<pre>\r\n";
    ASSERT_EQ(page.rfind(open, 0), 0u) << channel;
    const std::string body = page.substr(open.size(), page.size() - open.size() - 8);
    EXPECT_EQ(body.find_first_of("<>"), std::string::npos) << channel;
    EXPECT_EQ(page.substr(page.size() - 8), "</pre>\r\n") << channel;
    ++pages;
  }
  EXPECT_GT(pages, 200);
  ASSERT_TRUE(Barrier(*ann));  // still serving
  std::printf("hostile names: %zu channel names tried, %zu channels, %d folders, %d log pages\n",
              names.size(), channels.size(), folders, pages);
}

TEST(HostileNames, RefusedNickDoesNotCaptureTheHoldersMessages) {
  TestServer server;
  auto [first, victim, sender] = RegisteredAll(server, {"first", "victim", "sender"});
  ASSERT_TRUE(first && victim && sender);
  // The lowest slot comes free; a newcomer takes it and asks for the
  // victim's nick, which is refused.
  first->Send("QUIT");
  ASSERT_EQ(first->ReadLine(), "<closed>");
  ASSERT_TRUE(WaitUntil([&] { return InUseSlots(server) == 2; }));
  auto intruder = server.Connect();
  intruder->Send("NICK victim");
  EXPECT_EQ(intruder->ReadLine(), kServerPrefix + "433 * victim :Nickname is already in use");
  ASSERT_TRUE(victim->Join("#c"));
  sender->Send("JOIN #c");
  sender->Send("PRIVMSG #c :to the channel");
  sender->Send("PRIVMSG victim :to the victim");
  ASSERT_TRUE(Barrier(*sender));
  EXPECT_EQ(victim->ReadLine(1000), ":sender!user@127.0.0.1 JOIN :#c");
  EXPECT_EQ(victim->ReadLine(1000), ":sender!user@127.0.0.1 PRIVMSG #c :to the channel");
  EXPECT_EQ(victim->ReadLine(1000), ":sender!user@127.0.0.1 PRIVMSG victim :to the victim");
  EXPECT_TRUE(intruder->Silent());
}

}  // namespace
}  // namespace zelkord::testing
