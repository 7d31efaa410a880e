// The server spine over real sockets: start-up writes the settings file,
// admission refuses banned peers and a full table in silence, shut-down
// drains and writes the window state, and the program reports a start-up
// that cannot listen.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "net/tcp.h"
#include "support/test_server.h"

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
  const std::string folder = dir.Path();
  const std::string expected = IniText({"[Program]",
                                        "Version=1.07",
                                        "UserMax=64",
                                        "ChanMax=10",
                                        "",
                                        "[Server]",
                                        "Port=0",
                                        "PassWord=",
                                        "Name=Zel.Server(^^",
                                        "Information=Harbor City",
                                        "UserMode=oirw",
                                        "ChanMode=abiklmnopqstv",
                                        "MotdPath=" + folder + "zelkord.MTD",
                                        "",
                                        "[Client]",
                                        "Nick=ZELKNIK",
                                        "Real=Zelkord Admin",
                                        "",
                                        "[Log]",
                                        "Lines=200",
                                        "Save=Disable",
                                        "Path=" + folder,
                                        "",
                                        "[Web]",
                                        "Port=80",
                                        "PassWord=",
                                        "Send=Disable",
                                        "IndexForm=" + folder + "IndexForm.html",
                                        "LogForm=" + folder + "LogForm.html",
                                        "",
                                        "[BanList]",
                                        "Count=0",
                                        "",
                                        "[Position]",
                                        "Top=100",
                                        "Left=100",
                                        "Height=386",
                                        "Width=546",
                                        "",
                                        "[Color]",
                                        "WebLogBack=clGray",
                                        "WebLogFore=clWindowText",
                                        "LogBack=clWindow",
                                        "LogFore=clWindowText",
                                        ""});
  EXPECT_EQ(dir.Read("zelkord.INI"), expected);
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
            ":Zel.Server(^^ 001 ann :Welcome to the Internet Relay Network ann");
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
  other->Send("NICK " + std::string(505, 'n'));
  other->Send("USER u h s :r");
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
  ASSERT_TRUE(server.Started());
  auto first = server.Registered("ann");
  ASSERT_NE(first, nullptr);
  auto extra = server.Connect();
  EXPECT_TRUE(extra->ClosedWithoutData());
  // The slot comes back once its holder leaves.
  first->Send("QUIT");
  EXPECT_EQ(first->ReadLine(), "<closed>");
  std::unique_ptr<TestClient> next;
  for (int attempt = 0; attempt < 50 && next == nullptr; ++attempt) {
    next = server.Registered("bob");
    if (next == nullptr) usleep(20 * 1000);  // the freed slot is released just after the close
  }
  EXPECT_NE(next, nullptr);
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

TEST(ServerStart, BadNumberStopsStartUp) {
  TestServer server(SettingsMap{{"Program.UserMax", "many"}});
  EXPECT_FALSE(server.Started());
  EXPECT_NE(server.StartError().find("Program.UserMax"), std::string::npos);
}

// Runs the real program in a folder and returns its exit status.
int RunProgram(const std::string& config, const std::string& extraEnvironment = "") {
  const char* binary = std::getenv("ZELKORD_BINARY");
  if (binary == nullptr) return -1;
  const std::string command = extraEnvironment + " timeout -s TERM 20 '" + std::string(binary) +
                              "' --headless --config '" + config + "' >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Program, PortInUseExitsWithStatusOne) {
  ASSERT_NE(std::getenv("ZELKORD_BINARY"), nullptr) << "run through ctest";
  const int holder = net::TcpListen(0);
  ASSERT_GE(holder, 0);
  TempDir dir;
  const std::string file = dir.Write(
      "zelkord.INI", IniText({"[Server]", "Port=" + std::to_string(net::TcpBoundPort(holder))}));
  EXPECT_EQ(RunProgram(file), 1);
  net::TcpClose(holder);
}

TEST(Program, SigtermStopsCleanly) {
  ASSERT_NE(std::getenv("ZELKORD_BINARY"), nullptr) << "run through ctest";
  TempDir dir;
  const std::string file = dir.Write("zelkord.INI", IniText({"[Server]", "Port=0"}));
  const char* binary = std::getenv("ZELKORD_BINARY");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    freopen("/dev/null", "w", stdout);
    execl(binary, binary, "--headless", "--config", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until start-up has rewritten the settings file, then ask it to stop.
  for (int i = 0; i < 500 && dir.Read("zelkord.INI").find("[Color]") == std::string::npos; ++i) {
    usleep(10 * 1000);
  }
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace zelkord::testing
