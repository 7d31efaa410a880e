// A plain TCP client for tests: raw CR LF lines out, lines in, every read
// with a deadline so a missing reply fails the test instead of hanging it.
#pragma once

#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace zelkord::testing {

inline constexpr int kReadTimeoutMs = 5000;
// How long a test waits to be sure nothing more arrives.
inline constexpr int kSilenceMs = 300;

// Fills fds with a connected pair of local sockets whose receives give up
// after kReadTimeoutMs (-1, EAGAIN) instead of blocking; false on failure.
[[nodiscard]] bool MakeSocketPair(int fds[2]);

class TestClient {
 public:
  // Connects to host (an IPv4 or IPv6 address) at port; Connected() tells
  // whether it worked.
  explicit TestClient(int port, const std::string& host = "127.0.0.1");
  // Takes over a connected socket; companion, when given, is a thread that
  // ends once the socket is closed (a TLS relay), joined at destruction.
  TestClient(int socket, std::thread companion);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  [[nodiscard]] bool Connected() const { return socket_ >= 0; }
  // Sends the text followed by CR LF (the text is sent as given: raw bytes).
  void Send(std::string_view line);
  // Sends bytes exactly as given.
  void SendRaw(std::string_view bytes);
  // The next line without CR LF, or "<timeout>" / "<closed>".
  [[nodiscard]] std::string ReadLine(int timeoutMs = kReadTimeoutMs);
  // Reads count lines.
  [[nodiscard]] std::vector<std::string> ReadLines(int count, int timeoutMs = kReadTimeoutMs);
  // What was received after the last whole line, taken out of the buffer:
  // the tail a peer sent without CR LF before it closed.
  [[nodiscard]] std::string TakeRest() { return std::exchange(buffer_, {}); }
  // Reads lines until one contains needle (returned), or "<timeout>"/"<closed>".
  [[nodiscard]] std::string ReadUntil(std::string_view needle, int timeoutMs = kReadTimeoutMs);
  // true when nothing arrives within ms (and the peer did not close).
  [[nodiscard]] bool Silent(int ms = kSilenceMs);
  // true when the server closes the connection within the time, having
  // sent nothing more.
  [[nodiscard]] bool ClosedWithoutData(int timeoutMs = kReadTimeoutMs);
  // Sends JOIN and reads through the names reply's end (366); false when
  // it does not arrive.
  [[nodiscard]] bool Join(std::string_view channel);
  // Registers with NICK and USER and reads the welcome burst through 422/376.
  // Returns false when the burst does not arrive.
  [[nodiscard]] bool Register(std::string_view nick, std::string_view user = "user");
  void Close();

 private:
  int socket_ = -1;
  std::thread companion_;
  std::string buffer_;
  bool closed_ = false;
};

}  // namespace zelkord::testing
