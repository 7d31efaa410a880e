// zelkord-relay: the yardstick of the comparison. The least an IRC-shaped
// relay can do on this kernel: one thread, one epoll set, no logging, no
// locks, no encodings. It answers registration with 001 and JOIN with 366
// (all it takes for the load generator), and forwards every PRIVMSG to the
// channel's other members at once: everything one read brought is sent to
// each member in one send, so a lone line costs one send per member and the
// kernel's loopback path is most of what is left. Output a member cannot take
// yet waits in its own buffer until the socket is writable again.
//
// With --batched (built where liburing is found) a line's sends to the members
// with nothing buffered go to the kernel as one io_uring submission instead of
// one system call each: the same sends and segments, one kernel entry per line.
//
//   zelkord-relay [--port N] [--batched]   (0 picks a free port; it is printed)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(ZELKORD_RELAY_URING)
#include <liburing.h>
#endif

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
constexpr unsigned kRingEntries = 256;

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

  // false when this build or this kernel has no io_uring.
  bool UseBatchedSends() {
#if defined(ZELKORD_RELAY_URING)
    batched_ = io_uring_queue_init(kRingEntries, &ring_, 0) == 0;
#endif
    return batched_;
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
    if (batched_) {
      SendBatched(client.fd);
      return;
    }
    for (int member : channel_) {
      if (member != client.fd) Send(clients_[member], batch_);
    }
  }

  // The members with nothing buffered get the batch in one submission; what
  // a socket did not take is buffered as Send would.
  void SendBatched([[maybe_unused]] int from) {
#if defined(ZELKORD_RELAY_URING)
    unsigned queued = 0;
    for (int member : channel_) {
      if (member == from) continue;
      Client& target = clients_[member];
      io_uring_sqe* sqe = target.output.empty() ? io_uring_get_sqe(&ring_) : nullptr;
      if (sqe == nullptr) {
        Send(target, batch_);
        continue;
      }
      io_uring_prep_send(sqe, member, batch_.data(), batch_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      sqe->user_data = static_cast<std::uint64_t>(member);
      ++queued;
      if (queued == kRingEntries) CompleteBatch(queued);
    }
    CompleteBatch(queued);
#endif
  }

#if defined(ZELKORD_RELAY_URING)
  void CompleteBatch(unsigned& queued) {
    if (queued == 0) return;
    // An entry left unsubmitted would go out with a later line's batch
    // beneath it: stop instead.
    if (io_uring_submit_and_wait(&ring_, queued) != static_cast<int>(queued)) {
      std::fprintf(stderr, "zelkord-relay: io_uring submission failed\n");
      std::exit(1);
    }
    io_uring_cqe* cqe = nullptr;
    unsigned head = 0;
    unsigned seen = 0;
    io_uring_for_each_cqe(&ring_, head, cqe) {
      ++seen;
      const int fd = static_cast<int>(cqe->user_data);
      const int sent = cqe->res;
      if (sent == static_cast<int>(batch_.size())) continue;
      if (sent < 0 && sent != -EAGAIN) {
        closing_.push_back(fd);
        continue;
      }
      Send(clients_[fd], std::string_view(batch_).substr(sent < 0 ? 0 : sent));
    }
    io_uring_cq_advance(&ring_, seen);
    queued -= seen;
  }
#endif

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
  bool batched_ = false;
#if defined(ZELKORD_RELAY_URING)
  io_uring ring_{};
#endif
};

}  // namespace

int main(int argc, char** argv) {
  int port = 6667;
  bool batched = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--batched") == 0) {
      batched = true;
    } else {
      std::fprintf(stderr, "usage: zelkord-relay [--port N] [--batched]\n");
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
  Relay relay(listener);
  if (batched && !relay.UseBatchedSends()) {
    std::fprintf(stderr, "zelkord-relay: --batched needs io_uring (liburing at build time)\n");
    return 1;
  }
  relay.Run();
  return 0;
}
