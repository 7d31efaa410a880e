// Output queues and the writer thread.
#include "irc/connection.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace zelkord::irc {
namespace {

// Connections that this thread made non-empty and has yet to flush.
thread_local std::vector<std::shared_ptr<Connection>> tPending;

}  // namespace

void FlushPendingOutput() {
  if (tPending.empty()) return;
  std::vector<std::shared_ptr<Connection>> pending;
  pending.swap(tPending);
  for (auto& connection : pending) connection->Flush();
}

Connection::Connection(int socket, OutputWriter& writer, std::size_t capacity)
    : socket_(socket), capacity_(capacity), writer_(writer) {}

Connection::~Connection() {
  frame::MutexLock lock(mutex_);
  if (!closed_ && socket_ >= 0) close(socket_);
}

bool Connection::Enqueue(std::string_view wireLine) {
  bool firstInQueue = false;
  {
    frame::MutexLock lock(mutex_);
    if (dead_) return false;
    const std::size_t waiting = queue_.size() - sent_;
    if (waiting + wireLine.size() + 2 > capacity_) {
      // A peer that does not read must not make the server hold unbounded
      // output for it: drop the connection instead.
      dead_ = true;
      queue_.clear();
      sent_ = 0;
      shutdown(socket_, SHUT_RDWR);
      return false;
    }
    if (sent_ > 0 && sent_ == queue_.size()) {
      queue_.clear();
      sent_ = 0;
    }
    firstInQueue = waiting == 0 && !writerWaiting_;
    queue_.append(wireLine).append("\r\n");
  }
  if (firstInQueue) tPending.push_back(shared_from_this());
  return true;
}

bool Connection::SendQueued() {
  while (sent_ < queue_.size()) {
    ssize_t n =
        send(socket_, queue_.data() + sent_, queue_.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    // The peer is gone; its receive will fail and its thread cleans up.
    dead_ = true;
    break;
  }
  // Drained: give the buffer back, so a thousand idle connections do not
  // each keep the storage of their busiest moment.
  std::string().swap(queue_);
  sent_ = 0;
  return true;
}

bool Connection::Flush() {
  frame::MutexLock lock(mutex_);
  if (closed_ || dead_) return true;
  if (SendQueued()) return true;
  if (sent_ > capacity_ / 2) {
    queue_.erase(0, sent_);
    sent_ = 0;
  }
  if (!writerWaiting_) {
    writerWaiting_ = true;
    writer_.Watch(shared_from_this());
  }
  return false;
}

void Connection::Shutdown() {
  frame::MutexLock lock(mutex_);
  if (closed_) return;
  dead_ = true;
  queue_.clear();
  sent_ = 0;
  shutdown(socket_, SHUT_RDWR);
}

std::size_t Connection::QueuedBytes() {
  frame::MutexLock lock(mutex_);
  return queue_.size() - sent_;
}

void Connection::DrainAndClose(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      frame::MutexLock lock(mutex_);
      if (closed_) return;
      if (dead_ || SendQueued()) break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd waitFor{socket_, POLLOUT, 0};
    (void)poll(&waitFor, 1, static_cast<int>(left.count()));  // retried by the loop either way
  }
  bool watched = false;
  {
    frame::MutexLock lock(mutex_);
    dead_ = true;
    watched = writerWaiting_;
    writerWaiting_ = false;
  }
  if (watched) writer_.Forget(this);
  frame::MutexLock lock(mutex_);
  closed_ = true;
  close(socket_);
}

OutputWriter::OutputWriter() {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_ < 0 || wake_ < 0) {
    if (epoll_ >= 0) close(epoll_);
    if (wake_ >= 0) close(wake_);
    epoll_ = wake_ = -1;
    return;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
  thread_ = std::thread([this] { Loop(); });
}

OutputWriter::~OutputWriter() {
  if (epoll_ < 0) return;
  uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);  // the loop sees it and ends
  thread_.join();
  close(epoll_);
  close(wake_);
}

void OutputWriter::Watch(const std::shared_ptr<Connection>& connection) {
  if (epoll_ < 0) return;
  std::lock_guard lock(mutex_);
  if (!watched_.emplace(connection.get(), connection).second) return;
  epoll_event event{};
  event.events = EPOLLOUT | EPOLLONESHOT;
  event.data.ptr = connection.get();
  epoll_ctl(epoll_, EPOLL_CTL_ADD, connection->Socket(), &event);
}

void OutputWriter::Forget(Connection* connection) {
  std::lock_guard lock(mutex_);
  if (watched_.erase(connection) > 0) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, connection->Socket(), nullptr);
  }
}

void OutputWriter::Loop() {
  epoll_event events[64];
  for (;;) {
    int count = epoll_wait(epoll_, events, 64, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < count; ++i) {
      if (events[i].data.ptr == nullptr) return;
      std::shared_ptr<Connection> connection;
      {
        std::lock_guard lock(mutex_);
        auto found = watched_.find(static_cast<Connection*>(events[i].data.ptr));
        if (found == watched_.end()) continue;
        connection = found->second;
      }
      frame::MutexLock lock(connection->mutex_);
      if (connection->closed_ || connection->dead_ || connection->SendQueued()) {
        // Forgotten under the connection's lock, so a Flush that starts
        // waiting again cannot slip in between and be lost.
        connection->writerWaiting_ = false;
        std::lock_guard writerLock(mutex_);
        if (watched_.erase(connection.get()) > 0) {
          epoll_ctl(epoll_, EPOLL_CTL_DEL, connection->Socket(), nullptr);
        }
      } else {
        // Still full: wait for the next writable edge.
        epoll_event again{};
        again.events = EPOLLOUT | EPOLLONESHOT;
        again.data.ptr = connection.get();
        epoll_ctl(epoll_, EPOLL_CTL_MOD, connection->Socket(), &again);
      }
    }
  }
}

}  // namespace zelkord::irc
