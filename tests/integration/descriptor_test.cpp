// The real program out of descriptors: an accept that fails for lack of
// them must neither end the chain of connection or web threads nor leave
// the server broken once descriptors come free again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/http_fetch.h"
#include "support/program.h"
#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

// Far fewer descriptors than the clients below; enough for start-up.
constexpr int kDescriptorLimit = 40;
constexpr int kIrcClients = 60;
constexpr int kWebClients = 8;

// How often needle occurs in text.
int Count(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

TEST(Program, AcceptsAgainAfterRunningOutOfDescriptors) {
  const char* binary = std::getenv("ZELKORD_BINARY");
  ASSERT_NE(binary, nullptr) << "run through ctest";
  TempDir dir;
  // The program runs through a shell that lowers its descriptor limit first.
  const std::string real = binary;
  const std::string wrapper =
      dir.Write("limited.sh", "#!/bin/sh\nulimit -n " + std::to_string(kDescriptorLimit) +
                                  " || exit 126\n" + "exec '" + real + "' \"$@\"\n");
  ASSERT_EQ(chmod(wrapper.c_str(), 0755), 0);
  const std::string config = dir.Write(
      "zelkord.INI", TestInstanceIni({{"Program.UserMax", "200"},
                                      {"Web.Send", "Enable"},
                                      {"Web.Port", "0"},
                                      {"Web.IndexForm", dir.Write("index.html", kIndexTemplate)}}));
  setenv("ZELKORD_BINARY", wrapper.c_str(), 1);
  Program program(config);
  setenv("ZELKORD_BINARY", real.c_str(), 1);
  ASSERT_TRUE(program.Started());
  const int port = program.WaitForPort();
  ASSERT_GT(port, 0) << program.Stderr();
  int webPort = -1;
  ASSERT_TRUE(WaitUntil([&] { return (webPort = program.WebPort()) > 0; })) << program.Stdout();

  // More clients than the server has descriptors for: the rest wait in the
  // backlog while the server has run dry. Web requests come only then, so
  // the web listener meets the same lack.
  std::vector<std::unique_ptr<TestClient>> crowd;
  for (int i = 0; i < kIrcClients; ++i) crowd.push_back(std::make_unique<TestClient>(port));
  ASSERT_TRUE(WaitUntil([&] { return Count(program.Stdout(), "cannot accept IRC") > 0; }))
      << program.Stdout();
  for (int i = 0; i < kWebClients; ++i) crowd.push_back(std::make_unique<TestClient>(webPort));
  for (const auto& client : crowd) ASSERT_TRUE(client->Connected());
  ASSERT_TRUE(WaitUntil([&] { return Count(program.Stdout(), "cannot accept web") > 0; }))
      << program.Stdout();
  crowd.clear();

  // Descriptors come free: a new client is served on both listeners.
  TestClient late(port);
  late.Send("NICK late");
  late.Send("USER u h s :r");
  EXPECT_NE(late.ReadUntil(" 001 ").find(" 001 late "), std::string::npos);
  EXPECT_NE(Get(webPort, "/"), "");
  // Reported once when it starts and once when it ends, not per retry.
  EXPECT_TRUE(WaitUntil([&] {
    const std::string out = program.Stdout();
    return Count(out, "cannot accept IRC") == Count(out, "accepting IRC connections again") &&
           Count(out, "cannot accept web") == Count(out, "accepting web requests again");
  })) << program.Stdout();

  // Stopped only now: a sanitizer's own checks need a free descriptor (its
  // memory probe opens a pipe) and report intact objects as invalid without.
  program.Signal(SIGTERM);
  ASSERT_TRUE(program.Exited(20000));
  EXPECT_TRUE(program.ExitedWith(0)) << program.Status() << program.Stderr();
}

}  // namespace
}  // namespace zelkord::testing
