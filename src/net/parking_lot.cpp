// The parking lot's one thread: epoll over the parked sockets.
#include "net/parking_lot.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace zelkord::net {
namespace {

constexpr int kMaxEvents = 64;
// How soon a wake that could not start a thread is tried again.
constexpr int kRetryMs = 100;

}  // namespace

ParkingLot::ParkingLot() {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = wake_;
  if (epoll_ < 0 || wake_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) {
    if (epoll_ >= 0) close(epoll_);
    if (wake_ >= 0) close(wake_);
    epoll_ = wake_ = -1;
    return;
  }
  thread_ = std::thread([this] { Loop(); });
}

ParkingLot::~ParkingLot() {
  if (epoll_ < 0) return;
  {
    base::MutexLock lock(mutex_);
    stopping_ = true;
  }
  std::uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);
  thread_.join();
  close(epoll_);
  close(wake_);
}

bool ParkingLot::Park(int socket, std::function<bool()> wake) {
  if (epoll_ < 0) return false;
  {
    base::MutexLock lock(mutex_);
    if (stopping_) return false;
    // In the table before epoll can report it, so the loop always finds it.
    parked_[socket] = std::move(wake);
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  event.data.fd = socket;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) == 0) return true;
  base::MutexLock lock(mutex_);
  parked_.erase(socket);
  return false;
}

std::size_t ParkingLot::Parked() {
  base::MutexLock lock(mutex_);
  return parked_.size();
}

void ParkingLot::Loop() {
  epoll_event events[kMaxEvents];
  std::vector<std::function<bool()>> retrying;  // woken, but no thread took them yet
  for (;;) {
    const int count = epoll_wait(epoll_, events, kMaxEvents, retrying.empty() ? -1 : kRetryMs);
    if (count < 0 && errno != EINTR) return;
    std::vector<std::function<bool()>> woken;
    woken.swap(retrying);
    {
      base::MutexLock lock(mutex_);
      if (stopping_) return;
      for (int i = 0; i < count; ++i) {
        const auto found = parked_.find(events[i].data.fd);
        if (found == parked_.end()) continue;  // the eventfd
        woken.push_back(std::move(found->second));
        parked_.erase(found);
      }
    }
    for (int i = 0; i < count; ++i) {
      // Before the connection is handed on: once it runs again it may close
      // the socket, and its number may come back parked.
      if (events[i].data.fd != wake_) epoll_ctl(epoll_, EPOLL_CTL_DEL, events[i].data.fd, nullptr);
    }
    for (auto& wake : woken) {
      if (!wake()) retrying.push_back(std::move(wake));
    }
  }
}

}  // namespace zelkord::net
