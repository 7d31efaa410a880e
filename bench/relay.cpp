// zelkord-relay: the yardstick of the comparison. The least an IRC-shaped
// relay can do on this kernel: one thread, one epoll set, no logging, no
// locks, no encodings. It answers registration with 001 and JOIN with 366
// (all it takes for the load generator), and forwards every PRIVMSG to the
// channel's other members at once: everything one read brought is sent to
// each member in one send, so a lone line costs one send per member and the
// kernel's loopback path is most of what is left. Output a member cannot take
// yet waits in its own buffer until the socket is writable again.
//
//   zelkord-relay [--port N]      (0 picks a free port; the port is printed)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kLineMax = 512;
// A member that lets this much pile up is dropped rather than buffered forever.
constexpr std::size_t kOutputMax = 16 * 1024 * 1024;
constexpr int kEpollBatch = 256;

struct Client {
  int fd = -1;
  std::string nick;
  bool user = false;
  bool registered = false;
  bool joined = false;
  std::string input;
  std::string output;
  bool waitingWritable = false;
};

class Relay {
 public:
  explicit Relay(int listener) : listener_(listener), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    Watch(listener_, EPOLLIN);
  }

  void Run() {
    epoll_event events[kEpollBatch];
    std::vector<char> buffer(kReadChunk);
    for (;;) {
      const int count = epoll_wait(epoll_, events, kEpollBatch, -1);
      if (count < 0 && errno != EINTR) return;
      for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listener_) {
          AcceptAll();
          continue;
        }
        auto found = clients_.find(fd);
        if (found == clients_.end()) continue;
        if (events[i].events & EPOLLOUT) Flush(found->second);
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Read(fd, buffer);
      }
      for (int fd : closing_) Drop(fd);
      closing_.clear();
    }
  }

 private:
  void Watch(int fd, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    (void)epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }

  void AcceptAll() {
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      const int one = 1;
      (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      clients_[fd].fd = fd;
      Watch(fd, EPOLLIN);
    }
  }

  void Read(int fd, std::vector<char>& buffer) {
    for (;;) {
      const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        closing_.push_back(fd);
        return;
      }
      if (got < 0) return;
      Client& client = clients_[fd];
      client.input.append(buffer.data(), static_cast<std::size_t>(got));
      HandleLines(client);
      if (static_cast<std::size_t>(got) < buffer.size()) return;
    }
  }

  void HandleLines(Client& client) {
    std::string_view rest = client.input;
    batch_.clear();
    for (auto end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      Handle(client, line);
    }
    if (rest.size() > kLineMax) rest = {};
    client.input.erase(0, client.input.size() - rest.size());
    if (batch_.empty()) return;
    for (int member : channel_) {
      if (member != client.fd) Send(clients_[member], batch_);
    }
  }

  void Handle(Client& client, std::string_view line) {
    const auto space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    const std::string_view args = space == std::string_view::npos ? "" : line.substr(space + 1);
    if (word == "PRIVMSG" && client.joined) {
      batch_ += ':';
      batch_ += client.nick;
      batch_ += " PRIVMSG ";
      batch_ += args;
      batch_ += "\r\n";
    } else if (word == "NICK") {
      client.nick = args;
    } else if (word == "USER") {
      client.user = true;
    } else if (word == "JOIN" && client.registered && !client.joined) {
      client.joined = true;
      channel_.push_back(client.fd);
      Send(client, ":relay 366 " + client.nick + " " + std::string(args) + " :End\r\n");
    } else if (word == "PING") {
      Send(client, ":relay PONG relay " + std::string(args) + "\r\n");
    } else if (word == "QUIT") {
      closing_.push_back(client.fd);
    }
    if (!client.registered && client.user && !client.nick.empty()) {
      client.registered = true;
      Send(client, ":relay 001 " + client.nick + " :Welcome\r\n");
    }
  }

  void Send(Client& client, std::string_view text) {
    if (client.output.empty()) {
      const ssize_t sent = send(client.fd, text.data(), text.size(), MSG_NOSIGNAL);
      if (sent == static_cast<ssize_t>(text.size())) return;
      if (sent < 0 && errno != EAGAIN) {
        closing_.push_back(client.fd);
        return;
      }
      text.remove_prefix(sent < 0 ? 0 : static_cast<std::size_t>(sent));
    }
    client.output.append(text);
    if (client.output.size() > kOutputMax) {
      closing_.push_back(client.fd);
      return;
    }
    if (!client.waitingWritable) SetWritableWait(client, true);
  }

  void Flush(Client& client) {
    while (!client.output.empty()) {
      const ssize_t sent =
          send(client.fd, client.output.data(), client.output.size(), MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno != EAGAIN) closing_.push_back(client.fd);
        return;
      }
      client.output.erase(0, static_cast<std::size_t>(sent));
    }
    SetWritableWait(client, false);
  }

  void SetWritableWait(Client& client, bool wait) {
    client.waitingWritable = wait;
    epoll_event event{};
    event.events = EPOLLIN | (wait ? EPOLLOUT : 0u);
    event.data.fd = client.fd;
    (void)epoll_ctl(epoll_, EPOLL_CTL_MOD, client.fd, &event);
  }

  void Drop(int fd) {
    auto found = clients_.find(fd);
    if (found == clients_.end()) return;
    for (std::size_t i = 0; i < channel_.size(); ++i) {
      if (channel_[i] == fd) {
        channel_.erase(channel_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    (void)epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    clients_.erase(found);
  }

  int listener_;
  int epoll_;
  std::unordered_map<int, Client> clients_;
  std::vector<int> channel_;
  std::vector<int> closing_;
  std::string batch_;
};

}  // namespace

int main(int argc, char** argv) {
  int port = 6667;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: zelkord-relay [--port N]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1024) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::fprintf(stderr, "zelkord-relay: cannot listen on port %d: %s\n", port,
                 std::strerror(errno));
    return 1;
  }
  std::printf("zelkord-relay: listening on port %d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  Relay(listener).Run();
  return 0;
}
