// Socket layer over POSIX sockets. See the header for the framing rules.
#include "net/tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/tls.h"

namespace zelkord::net {
namespace {

// Ciphertext is received a record at a time at most; the session keeps
// what it cannot open yet.
constexpr std::size_t kTlsReceiveBytes = kTlsRecordBytes;

void SetNoDelay(int socket) {
  int on = 1;
  // Lines are coalesced by the output queues already; a small line must not
  // wait for the peer's delayed acknowledgement. A failure only costs latency.
  (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::string DottedAddress(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) return {};
  return text;
}

// The port of a socket address of either family, or -1.
int PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return -1;
}

// A listener on the IPv6 wildcard that also takes IPv4 (as mapped
// addresses), or kNoSocket where the machine has no IPv6.
int DualStackListener(int port) {
  const int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return kNoSocket;
  int off = 0;
  int on = 1;
  (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // restart binds at once
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  address.sin6_port = htons(static_cast<uint16_t>(port));
  if (setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, kListenBacklog) != 0) {
    close(listener);
    return kNoSocket;
  }
  return listener;
}

}  // namespace

void TcpStartup() {
  signal(SIGPIPE, SIG_IGN);
}

std::string AddressText(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return DottedAddress(reinterpret_cast<const sockaddr_in&>(address));
  }
  if (address.ss_family != AF_INET6) return {};
  const in6_addr& bytes = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&bytes)) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    std::memcpy(&v4.sin_addr, bytes.s6_addr + 12, 4);
    return DottedAddress(v4);
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET6, &bytes, text, sizeof text) == nullptr) return {};
  // A field starting with ':' would be read as the trailing parameter.
  std::string shown = text[0] == ':' ? "0" : "";
  return shown.append(text);
}

int TcpListen(int port) {
  if (port < 0 || port > 65535) return kNoSocket;
  const int dual = DualStackListener(port);
  if (dual != kNoSocket) return dual;
  // No IPv6 here (or the port is free only for IPv4): IPv4 alone.
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return kNoSocket;
  int on = 1;
  (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // restart binds at once
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (port < 0 || port > 65535 ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, kListenBacklog) != 0) {
    close(listener);
    return kNoSocket;
  }
  return listener;
}

int TcpBoundPort(int socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return PortOf(address);
}

int TcpConnect(std::string_view address, int port, const std::function<void(int)>& beforeConnect) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, std::string(address).c_str(), &peer.sin_addr) != 1) return kNoSocket;
  int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return kNoSocket;
  if (beforeConnect) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(socket);
      return kNoSocket;
    }
    beforeConnect(TcpBoundPort(socket));
  }
  if (connect(socket, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    close(socket);
    return kNoSocket;
  }
  SetNoDelay(socket);
  return socket;
}

int TcpPeerPort(int socket) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return -1;
  return PortOf(peer);
}

std::string LocalAddressText(int socket) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return {};
  return AddressText(local);
}

std::string CanonicalAddressText(const std::string& text) {
  sockaddr_storage address{};
  if (inet_pton(AF_INET, text.c_str(), &reinterpret_cast<sockaddr_in&>(address).sin_addr) == 1) {
    address.ss_family = AF_INET;
  } else if (inet_pton(AF_INET6, text.c_str(),
                       &reinterpret_cast<sockaddr_in6&>(address).sin6_addr) == 1) {
    address.ss_family = AF_INET6;
  } else {
    return {};
  }
  return AddressText(address);
}

int TcpAccept(int listener, std::string& address) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int socket = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (socket >= 0) {
      SetNoDelay(socket);
      address = AddressText(peer);
      return socket;
    }
    // A peer that reset before we accepted it, or a signal, is no reason to
    // end the chain of waiting threads; a closed listener is.
    if (errno != EINTR && errno != ECONNABORTED && errno != EPROTO) return kNoSocket;
  }
}

void AcceptSpell::Failed(int error, std::uint64_t beforeTry) {
  backoffs_.fetch_add(1, std::memory_order_relaxed);
  base::MutexLock lock(mutex_);
  if (accepted_.load() != beforeTry || failing_) return;
  failing_ = true;
  report_(error);
}

void AcceptSpell::Accepted() {
  base::MutexLock lock(mutex_);
  accepted_.fetch_add(1);
  if (!failing_) return;
  failing_ = false;
  report_(0);
}

int TcpAcceptRetrying(const std::function<int()>& listener, std::string& address,
                      AcceptSpell& spell) {
  // This thread's own pause; the spell itself is the listener's, since
  // another thread may end it while this one still waits.
  std::chrono::milliseconds pause{0};
  for (;;) {
    const int open = listener();
    const std::uint64_t beforeTry = spell.BeforeTry();
    const int socket = TcpAccept(open, address);
    const int error = errno;
    if (socket != kNoSocket) {
      spell.Accepted();
      return socket;
    }
    if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) {
      return kNoSocket;
    }
    spell.Failed(error, beforeTry);
    pause = pause.count() == 0 ? kAcceptBackoffFirst : std::min(pause * 2, kAcceptBackoffMax);
    // Asking for no events still reports the hang-up of a shut-down
    // listener, but not the connections waiting in its backlog, which
    // are exactly what cannot be accepted now.
    pollfd shutDown{open, 0, 0};
    (void)poll(&shutDown, 1, static_cast<int>(pause.count()));
  }
}

int TcpClose(int socket) {
  if (socket >= 0) close(socket);
  return kNoSocket;
}

void TcpShutdown(int socket) {
  if (socket >= 0) shutdown(socket, SHUT_RDWR);
}

bool TcpSetReceiveTimeout(int socket, int ms) {
  timeval timeout{ms / 1000, (ms % 1000) * 1000};
  return setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

bool TcpSend(int socket, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

bool TcpSendLine(int socket, std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text).append("\r\n");
  return TcpSend(socket, line);
}

LineReader::LineReader(int socket, std::size_t capacity)
    : socket_(socket),
      capacity_(capacity < 2 ? 2 : (capacity > kMaxLineLimit ? kMaxLineLimit : capacity)),
      owned_(new char[capacity_]),
      buffer_(owned_.get()),
      home_(buffer_),
      homeCapacity_(capacity_) {}

LineReader::LineReader(int socket, std::span<char> storage)
    : socket_(socket),
      capacity_(storage.size() > kMaxLineLimit ? kMaxLineLimit : storage.size()),
      buffer_(storage.data()),
      home_(buffer_),
      homeCapacity_(capacity_) {}

LineReader::LineReader(int socket, std::span<char> storage, TlsStream& tls,
                       std::function<void()> wantsToSend)
    : LineReader(socket, storage) {
  tls_ = &tls;
  wantsToSend_ = std::move(wantsToSend);
}

void LineReader::Grow() {
  grown_.reset(new char[kMaxTaggedLineLimit]);
  std::memcpy(grown_.get(), buffer_ + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  buffer_ = grown_.get();
  capacity_ = kMaxTaggedLineLimit;
}

void LineReader::Shrink() {
  if (!grown_ || end_ - begin_ > homeCapacity_) return;
  std::memcpy(home_, buffer_ + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  buffer_ = home_;
  capacity_ = homeCapacity_;
  grown_.reset();
}

LineReader::FillResult LineReader::Fill(int timeoutMs) {
  if (begin_ > 0) {
    std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (tls_ != nullptr) return FillTls(timeoutMs);
  const ssize_t got = Receive(buffer_ + end_, capacity_ - end_, timeoutMs);
  if (got < 0) return FillResult::TimedOut;
  if (got == 0) return FillResult::Ended;
  end_ += static_cast<std::size_t>(got);
  return FillResult::Filled;
}

ssize_t LineReader::Receive(char* to, std::size_t size, int timeoutMs) {
  for (;;) {
    if (timeoutMs >= 0) {
      pollfd waitFor{socket_, POLLIN, 0};
      int ready = poll(&waitFor, 1, timeoutMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return -1;
      if (ready < 0) return 0;
    }
    ssize_t got = recv(socket_, to, size, 0);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    return 0;
  }
}

LineReader::FillResult LineReader::FillTls(int timeoutMs) {
  std::array<char, kTlsReceiveBytes> received;
  std::size_t got = 0;
  // What the session can open already comes before the socket is read.
  if (!tlsMore_ && !tlsEnded_) {
    const ssize_t count = Receive(received.data(), received.size(), timeoutMs);
    if (count < 0) return FillResult::TimedOut;
    if (count == 0) tlsEnded_ = true;
    got = static_cast<std::size_t>(count);
  }
  const TlsStream::Opened opened =
      tls_->Open({received.data(), got}, buffer_ + end_, capacity_ - end_);
  end_ += opened.bytes;
  if (opened.ended) tlsEnded_ = true;
  tlsHeld_ = opened.held && !tlsEnded_;
  tlsMore_ = opened.more && !tlsEnded_;
  if (opened.toSend && wantsToSend_) wantsToSend_();
  // A part of a record opens nothing yet: Filled all the same, so the
  // caller looks at its deadline before receiving again.
  if (opened.bytes > 0 || got > 0 || !tlsEnded_) return FillResult::Filled;
  return FillResult::Ended;
}

bool LineReader::HasLine() const {
  if (skipping_) return false;  // not known without looking further; never wrongly true
  // A full buffer is an overlong line, unless a tagged one may grow it.
  if (end_ - begin_ >= capacity_) return capacity_ >= kMaxTaggedLineLimit || buffer_[begin_] != '@';
  const char* at = buffer_ + begin_;
  const char* const end = buffer_ + end_;
  while (at != end) {
    const char* const lf = static_cast<const char*>(std::memchr(at, '\n', end - at));
    if (lf == nullptr) return false;
    if (lf != buffer_ + begin_ && lf[-1] == '\r') return true;
    at = lf + 1;
  }
  return false;
}

int LineReader::ReceiveLine(std::string& line, std::size_t limit, int timeoutMs) {
  if (limit > capacity_) limit = capacity_;
  if (limit < 2) limit = 2;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  std::size_t scanned = 0;  // bytes of the current line already searched for CR LF
  for (;;) {
    const std::size_t held = end_ - begin_;
    const std::size_t window = held < limit ? held : limit;
    for (std::size_t i = scanned < 1 ? 1 : scanned; i < window; ++i) {
      if (buffer_[begin_ + i] == '\n' && buffer_[begin_ + i - 1] == '\r') {
        line.assign(buffer_ + begin_, i - 1);
        begin_ += i + 1;
        return static_cast<int>(i - 1);
      }
    }
    scanned = window;
    if (window >= limit) {
      // Overlong: the line and whatever followed it in the buffer are dropped,
      // as the connection ends here anyway.
      begin_ = end_ = 0;
      return -1;
    }
    if (const int filled = FillUntil(deadline, timeoutMs); filled != 0) return filled;
  }
}

int LineReader::FillUntil(std::chrono::steady_clock::time_point deadline, int timeoutMs) {
  int waitMs = -1;
  if (timeoutMs >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    if (waitMs == 0) return kTimedOut;
  }
  switch (Fill(waitMs)) {
    case FillResult::Filled:
      return 0;
    case FillResult::TimedOut:
      return kTimedOut;
    case FillResult::Ended:
      break;
  }
  begin_ = end_ = 0;
  return -1;
}

int LineReader::ReceiveTaggedLine(std::string& line, std::size_t tagLimit, std::size_t limit,
                                  int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  std::size_t scanned = 0;  // bytes of the current line already searched for CR LF
  Shrink();
  for (;;) {
    const std::size_t held = end_ - begin_;
    const char* const start = buffer_ + begin_;
    if (skipping_) {
      // Up to the CR LF that ends the dropped line; a CR last is kept, as
      // its LF may come next.
      std::size_t i = 1;
      while (i < held && !(start[i] == '\n' && start[i - 1] == '\r')) ++i;
      if (i < held) {
        begin_ += i + 1;
        skipping_ = false;
        Shrink();
        continue;
      }
      begin_ = held > 0 && start[held - 1] == '\r' ? end_ - 1 : end_;
    } else {
      // Where the line may end: after the rest's limit past the tag part,
      // or, while its space is not in sight, at the tag part's limit.
      std::size_t lineLimit = limit;
      bool tagsOpen = false;
      if (held > 0 && start[0] == '@') {
        const std::size_t look = held < tagLimit ? held : tagLimit;
        const void* space = std::memchr(start, ' ', look);
        tagsOpen = space == nullptr;
        lineLimit = tagsOpen ? tagLimit : static_cast<const char*>(space) - start + 1 + limit;
      }
      lineLimit = std::min(std::max<std::size_t>(lineLimit, 2), kMaxTaggedLineLimit);
      const std::size_t window = held < lineLimit ? held : lineLimit;
      for (std::size_t i = scanned < 1 ? 1 : scanned; i < window; ++i) {
        if (start[i] == '\n' && start[i - 1] == '\r') {
          line.assign(start, i - 1);
          begin_ += i + 1;
          return static_cast<int>(i - 1);
        }
      }
      scanned = window;
      if (window >= lineLimit) {
        if (tagsOpen) {
          skipping_ = true;
          return kTagsTooLong;
        }
        begin_ = end_ = 0;  // overlong: as ReceiveLine
        return -1;
      }
      if (held == capacity_) {
        Grow();  // the line alone fills the buffer and may go on
        continue;
      }
    }
    if (const int filled = FillUntil(deadline, timeoutMs); filled != 0) return filled;
  }
}

}  // namespace zelkord::net
