// The server spine over real sockets: start-up writes the settings file,
// admission refuses banned peers and a full table in silence, shut-down
// drains and writes the window state, and the program reports a start-up
// that cannot listen.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <tuple>

#include "base/version.h"
#include "net/tcp.h"
#include "support/program.h"
#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

TEST(ServerStart, FirstStartWritesEveryDefaultInOrder) {
  TempDir dir;
  // Only the port is given (0: the kernel picks); every other key is new.
  const std::string file = dir.Write("zelkord.INI", IniText({"[Program]", "[Server]", "Port=0"}));
  RecordingDesk desk;
  server::Server server(desk, config::PathsForConfig(file));
  server.startOperatorClient = false;
  ASSERT_TRUE(server.Start().ok);
  EXPECT_EQ(dir.Read("zelkord.INI"), FirstStartIni(file, {{"Server.Port", "0"}}));
}

TEST(ServerStart, AcceptsAndFramesLines) {
  TestServer server;
  ASSERT_TRUE(server.Started()) << server.StartError();
  auto client = server.Connect();
  // A line split over several sends, then two lines in one send.
  client->SendRaw("NI");
  client->SendRaw("CK ann\r");
  client->SendRaw("\nUSER a b c :d\r\nLUSERS\r\n");
  EXPECT_EQ(client->ReadLine(),
            kServerPrefix + "001 ann :Welcome to the Internet Relay Network ann");
  EXPECT_NE(client->ReadUntil(" 255 ann "), "<timeout>");
}

TEST(ServerStart, OverlongLineEndsTheConnection) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto client = server.Connect();
  // 511 bytes and no CR LF among the first 512: the connection ends, unanswered.
  client->SendRaw(std::string(511, 'x') + "\r\n");
  EXPECT_TRUE(client->ClosedWithoutData());
  // A line of exactly 510 characters plus CR LF is accepted.
  auto other = server.Connect();
  other->Send("NICK n");
  other->Send("USER u h s :" + std::string(498, 'r'));
  EXPECT_NE(other->ReadLine().find(" 001 "), std::string::npos);
}

TEST(ServerStart, LineEndedByLfAloneIsNotALine) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto client = server.Connect();
  client->SendRaw("NICK ann\nUSER a b c :d\n");
  EXPECT_TRUE(client->Silent());
}

TEST(ServerStart, FullTableClosesTheExtraConnectionWithoutData) {
  TestServer server(SettingsMap{{"Program.UserMax", "1"}});
  auto [first] = RegisteredAll(server, {"ann"});
  ASSERT_TRUE(first);
  auto extra = server.Connect();
  EXPECT_TRUE(extra->ClosedWithoutData());
  // The slot comes back once its holder leaves.
  first->Send("QUIT");
  EXPECT_EQ(first->ReadLine(), "<closed>");
  // The freed slot is released just after the close: a refused attempt is retried.
  std::unique_ptr<TestClient> next;
  EXPECT_TRUE(WaitUntil([&] { return (next = server.Registered("bob")) != nullptr; }));
}

TEST(ServerStart, AddressMaxClosesTheExtraConnectionButNotTheOperators) {
  TestServer server(SettingsMap{{"Program.AddressMax", "3"}}, true);
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.WaitRegistered(1));  // the operator client, from the same address
  std::vector<std::unique_ptr<TestClient>> clients;
  for (const char* nick : {"ann", "bob", "cid"}) clients.push_back(server.Registered(nick));
  for (const auto& client : clients) ASSERT_NE(client, nullptr);
  EXPECT_TRUE(server.Connect()->ClosedWithoutData());
  clients[2]->Send("QUIT");
  EXPECT_EQ(clients[2]->ReadLine(), "<closed>");
  std::unique_ptr<TestClient> next;
  EXPECT_TRUE(WaitUntil([&] { return (next = server.Registered("dan")) != nullptr; }));
}

TEST(ServerStart, RegisterTimeoutClosesOnlyTheSilentConnection) {
  TestServer server(SettingsMap{{"Program.RegisterTimeout", "1"}});
  auto [ann] = RegisteredAll(server, {"ann"});
  ASSERT_TRUE(ann);
  auto silent = server.Connect();
  silent->Send("NICK bob");  // a nick alone does not register
  EXPECT_TRUE(silent->ClosedWithoutData());
  ann->Send("PING x");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "PONG " + std::string(kServerName) + " :x");
}

TEST(ServerStart, BannedAddressIsClosedAndTakesNoSlot) {
  TestServer server(SettingsMap{{"Program.UserMax", "1"},
                                {"BanList.Count", "2"},
                                {"BanList.Ip0", "10.*.*.*"},
                                {"BanList.Ip1", "127.0.0.*"}});
  ASSERT_TRUE(server.Started());
  auto banned = server.Connect();
  EXPECT_TRUE(banned->ClosedWithoutData());
  // Lifting the ban admits the next client into the one slot: the banned
  // connection never held it.
  ASSERT_TRUE(server.Server().protocol.banList.EraseAt(1));
  auto admitted = server.Registered("ann");
  EXPECT_NE(admitted, nullptr);
}

TEST(ServerStart, ShutDownDrainsAndWritesWindowState) {
  TestServer server;
  ASSERT_TRUE(server.Started());
  auto ann = server.Registered("ann");
  auto bob = server.Connect();  // not registered
  ASSERT_NE(ann, nullptr);
  server.Desk().SetWindowGeometry({11, 22, 400, 600});
  server.Desk().SetWebViewColors(0x0000FF, 0x123456);
  server.Stop();
  EXPECT_EQ(ann->ReadLine(), "<closed>");
  EXPECT_EQ(bob->ReadLine(), "<closed>");
  const std::string file = server.Dir().Read("zelkord.INI");
  EXPECT_NE(file.find("[Position]\r\nTop=11\r\nLeft=22\r\nHeight=400\r\nWidth=600\r\n"),
            std::string::npos);
  EXPECT_NE(file.find("WebLogBack=clRed\r\nWebLogFore=$00123456\r\n"), std::string::npos);
}

TEST(ServerStart, BadNumberOrCharsetStopsStartUp) {
  for (const auto& [key, value, other] :
       {std::tuple{"Program.UserMax", "many", "Program.ChanMax"},
        std::tuple{"Program.AddressMax", "3x", "Program.ChanMax"},
        std::tuple{"Program.FloodBurst", "10001", "Program.FloodRate"},
        std::tuple{"Program.FloodRate", "0", "Program.FloodBurst"},
        std::tuple{"Server.Charset", "EBCDIC", "Program.ChanMax"}}) {
    // other is a sound value that makes value bad.
    TestServer server(SettingsMap{{key, value}, {other, "5"}});
    EXPECT_FALSE(server.Started());
    EXPECT_NE(server.StartError().find(std::string(key) + " \"" + value + "\""), std::string::npos)
        << server.StartError();
  }
}

TEST(Program, PortInUseExitsWithStatusOne) {
  ASSERT_NE(std::getenv("ZELKORD_BINARY"), nullptr) << "run through ctest";
  const int holder = net::TcpListen(0);
  ASSERT_GE(holder, 0);
  TempDir dir;
  const std::string file = dir.Write(
      "zelkord.INI", IniText({"[Server]", "Port=" + std::to_string(net::TcpBoundPort(holder))}));
  Program program(file);
  ASSERT_TRUE(program.Started());
  EXPECT_TRUE(program.Exited(20000));
  EXPECT_TRUE(program.ExitedWith(1)) << program.Status();
  net::TcpClose(holder);
}

TEST(Program, SigtermStopsCleanly) {
  ASSERT_NE(std::getenv("ZELKORD_BINARY"), nullptr) << "run through ctest";
  TempDir dir;
  const std::string file = dir.Write("zelkord.INI", TestInstanceIni({}));
  Program program(file);
  ASSERT_TRUE(program.Started());
  // Wait until start-up has rewritten the settings file, then ask it to stop.
  EXPECT_TRUE(
      WaitUntil([&] { return dir.Read("zelkord.INI").find("[Color]") != std::string::npos; }));
  program.Signal(SIGTERM);
  ASSERT_TRUE(program.Exited(20000));
  EXPECT_TRUE(program.ExitedWith(0)) << program.Status();
}

}  // namespace
}  // namespace zelkord::testing
