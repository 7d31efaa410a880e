// Test client over real loopback sockets.
#include "support/test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace zelkord::testing {

bool MakeSocketPair(int fds[2]) {
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  const timeval deadline{kReadTimeoutMs / 1000, (kReadTimeoutMs % 1000) * 1000};
  for (int i = 0; i < 2; ++i)
    (void)setsockopt(fds[i], SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
  return true;
}

TestClient::TestClient(int port, const std::string& host) {
  sockaddr_storage address{};
  socklen_t length = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(address);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
  if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof v4;
  } else if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof v6;
  } else {
    return;
  }
  socket_ = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_ >= 0 && connect(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(socket_);
    socket_ = -1;
  }
}

TestClient::TestClient(int socket, std::thread companion)
    : socket_(socket), companion_(std::move(companion)) {}

TestClient::~TestClient() {
  Close();
  if (companion_.joinable()) companion_.join();
}

void TestClient::Close() {
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}

void TestClient::SendRaw(std::string_view bytes) {
  while (socket_ >= 0 && !bytes.empty()) {
    ssize_t sent = send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

void TestClient::Send(std::string_view line) {
  std::string bytes(line);
  bytes.append("\r\n");
  SendRaw(bytes);
}

std::string TestClient::ReadLine(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t end = buffer_.find("\r\n");
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      return line;
    }
    if (closed_ || socket_ < 0) return "<closed>";
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd waitFor{socket_, POLLIN, 0};
    // Even with no time left the socket is looked at once, without waiting.
    const int ready = poll(&waitFor, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready <= 0) {
      if (left <= 0) return "<timeout>";
      continue;
    }
    char chunk[4096];
    const ssize_t got = recv(socket_, chunk, sizeof chunk, 0);
    if (got <= 0) {
      closed_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

std::vector<std::string> TestClient::ReadLines(int count, int timeoutMs) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) lines.push_back(ReadLine(timeoutMs));
  return lines;
}

std::string TestClient::ReadUntil(std::string_view needle, int timeoutMs) {
  for (;;) {
    std::string line = ReadLine(timeoutMs);
    if (line == "<timeout>" || line == "<closed>") return line;
    if (line.find(needle) != std::string::npos) return line;
  }
}

bool TestClient::Silent(int ms) {
  const std::string line = ReadLine(ms);
  return line == "<timeout>";
}

bool TestClient::ClosedWithoutData(int timeoutMs) {
  const std::string line = ReadLine(timeoutMs);
  return line == "<closed>" && buffer_.empty();
}

bool TestClient::Join(std::string_view channel) {
  Send("JOIN " + std::string(channel));
  return ReadUntil(" 366 ").find(" 366 ") != std::string::npos;
}

bool TestClient::Register(std::string_view nick, std::string_view user) {
  Send("NICK " + std::string(nick));
  Send("USER " + std::string(user) + " host server :Real Name");
  for (;;) {
    const std::string line = ReadLine();
    if (line == "<timeout>" || line == "<closed>") return false;
    if (line.find(" 422 ") != std::string::npos || line.find(" 376 ") != std::string::npos) {
      return true;
    }
  }
}

}  // namespace zelkord::testing
