// SIGHUP on the real program: what can change applies at once while
// clients stay connected, the rest waits for the next start, and a file
// that no longer loads changes nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include <string>

#include "support/http_fetch.h"
#include "support/program.h"
#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

// A service manager's notification socket, as the program sees it in
// NOTIFY_SOCKET: like the real one it reads at once (a datagram queue holds
// only a few messages, and a full one holds the sender up).
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    (void)bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    reader_ = std::thread([this] {
      char message[4096];
      ssize_t got;
      while ((got = recv(socket_, message, sizeof message, 0)) > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        told_.append(message, static_cast<std::size_t>(got)).append("\n");
      }
    });
  }
  ~NotifySocket() {
    shutdown(socket_, SHUT_RDWR);
    reader_.join();
    close(socket_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // Everything told so far, the messages one after the other.
  std::string Told() {
    std::lock_guard<std::mutex> lock(mutex_);
    return told_;
  }
  // Waits until needle has been told after from; its position, or npos.
  std::size_t Await(const std::string& needle, std::size_t from = 0) {
    (void)WaitUntil([&] { return Told().find(needle, from) != std::string::npos; });
    return Told().find(needle, from);
  }

 private:
  int socket_ = -1;
  std::mutex mutex_;
  std::string told_;  // guarded by mutex_
  std::thread reader_;
};

// The first line of the message of the day a new client is sent, or what
// ended the connection instead ("<closed>").
std::string MotdOfANewClient(int port) {
  TestClient client(port);
  client.Send("NICK probe");
  client.Send("USER u h s :r");
  const std::string line = client.ReadUntil(" 372 ");
  return line.substr(line.find(":- ") == std::string::npos ? 0 : line.find(":- ") + 3);
}

TEST(Program, SighupAppliesWhatItCanAndNothingFromABrokenFile) {
  TempDir dir;
  (void)dir.Write("zelkord.MTD", "first words\r\n");
  const std::string config = dir.Write("zelkord.INI", TestInstanceIni({}));
  NotifySocket manager(dir.File("notify"));
  setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
  Program program(config);
  unsetenv("NOTIFY_SOCKET");
  const int port = program.WaitForPort();
  ASSERT_GT(port, 0) << program.Stderr();
  EXPECT_NE(manager.Await("READY=1\nSTATUS="), std::string::npos);
  EXPECT_EQ(MotdOfANewClient(port), "first words");
  TestClient ann(port);
  ASSERT_TRUE(ann.Register("ann"));
  const auto reloaded = [&](const std::string& needle) {
    program.Signal(SIGHUP);
    return WaitUntil([&] { return program.Stdout().find(needle) != std::string::npos; });
  };

  // A new message of the day and the status pages switched on apply; a new
  // table size waits.
  (void)dir.Write("zelkord.MTD", "second words\r\n");
  WriteFile(config,
            TestInstanceIni({{"Program.UserMax", "5"}, {"Web.Send", "Enable"}, {"Web.Port", "0"}}));
  EXPECT_TRUE(reloaded("settings reloaded; waiting for the next start: Program.UserMax"));
  const std::size_t reloading = manager.Await("RELOADING=1\nMONOTONIC_USEC=");
  EXPECT_NE(manager.Await("READY=1\nSTATUS=", reloading), std::string::npos);
  EXPECT_EQ(MotdOfANewClient(port), "second words");
  ASSERT_GT(program.WebPort(), 0);
  EXPECT_EQ(Fetch(program.WebPort(), "GET / HTTP/1.0\r\n\r\n").rfind(kPageHeader, 0), 0u);

  // A new ban refuses the next client from the address, not the one there.
  WriteFile(config, TestInstanceIni({{"BanList.Count", "1"}, {"BanList.Ip0", "127.0.0.1"}}));
  EXPECT_TRUE(reloaded("settings reloaded\n"));
  EXPECT_EQ(MotdOfANewClient(port), "<closed>");

  // Garbage in the file, or a bad number: reported, nothing changes; a
  // storm of signals costs nothing more.
  for (const std::string& broken : {std::string("\x7f"
                                                "ELF\x02\x01 not a settings file\n"),
                                    TestInstanceIni({{"Program.UserMax", "many"}})}) {
    const std::size_t reportedBefore = program.Stderr().size();
    WriteFile(config, broken);
    for (int i = 0; i < 100; ++i) program.Signal(SIGHUP);
    EXPECT_TRUE(WaitUntil([&] {
      return program.Stderr().find("the settings were not reloaded, nothing changed",
                                   reportedBefore) != std::string::npos;
    }));
    EXPECT_EQ(MotdOfANewClient(port), "<closed>");  // the ban holds
  }
  ann.Send("PING :still");
  EXPECT_NE(ann.ReadUntil(" PONG "), "<timeout>");
  program.Signal(SIGTERM);
  ASSERT_TRUE(program.Exited(20000));
  EXPECT_TRUE(program.ExitedWith(0)) << program.Status();
  EXPECT_NE(manager.Await("STOPPING=1"), std::string::npos);
  EXPECT_NE(manager.Told().find(" users, 0 channels"), std::string::npos) << manager.Told();
}

}  // namespace
}  // namespace zelkord::testing
