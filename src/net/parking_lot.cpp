// The parking lot's one thread: epoll over the parked sockets.
#include "net/parking_lot.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

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
  event.data.u64 = 0;
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

bool ParkingLot::Park(std::initializer_list<int> sockets, std::function<bool()> wake,
                      std::function<bool()> absorb) {
  if (epoll_ < 0) return false;
  std::uint64_t id = 0;
  {
    base::MutexLock lock(mutex_);
    if (stopping_) return false;
    id = nextId_++;
    // In the table before epoll can report it, so the loop always finds it.
    parked_[id] = Entry{std::vector<int>(sockets), std::move(wake), std::move(absorb)};
  }
  std::size_t watched = 0;
  for (const int socket : sockets) {
    // Edge-triggered: input reports once, and absorbed input needs no
    // re-arming; a report for an entry already woken is not found and let be.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.u64 = id;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) != 0) break;
    ++watched;
  }
  if (watched == sockets.size()) return true;
  Entry taken;
  {
    base::MutexLock lock(mutex_);
    const auto found = parked_.find(id);
    // Already woken by a socket watched before the failure: it is served.
    if (found == parked_.end()) return true;
    taken = std::move(found->second);
    parked_.erase(found);
  }
  taken.sockets.resize(watched);
  Unwatch(taken);
  return false;
}

std::size_t ParkingLot::Parked() {
  base::MutexLock lock(mutex_);
  return parked_.size();
}

void ParkingLot::Unwatch(const Entry& entry) {
  for (const int socket : entry.sockets) epoll_ctl(epoll_, EPOLL_CTL_DEL, socket, nullptr);
}

bool ParkingLot::TryAbsorb(std::uint64_t id, Entry& entry, std::uint32_t events) {
  const bool inputOnly = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0;
  if (!entry.absorb || entry.sockets.size() != 1 || !inputOnly || !entry.absorb()) return false;
  absorbed_.fetch_add(1, std::memory_order_relaxed);
  // Still in the set: input arriving from here on is a new edge.
  base::MutexLock lock(mutex_);
  if (stopping_) return false;
  parked_[id] = std::move(entry);
  return true;
}

void ParkingLot::Loop() {
  epoll_event events[kMaxEvents];
  std::vector<Entry> retrying;  // woken, but no thread took them yet
  for (;;) {
    const int count = epoll_wait(epoll_, events, kMaxEvents, retrying.empty() ? -1 : kRetryMs);
    if (count < 0 && errno != EINTR) return;
    std::vector<Entry> woken;
    woken.swap(retrying);
    const std::size_t fresh = woken.size();
    std::vector<std::pair<std::uint64_t, std::uint32_t>> ready;  // id, events
    {
      base::MutexLock lock(mutex_);
      if (stopping_) return;
      for (int i = 0; i < count; ++i) {
        // Not found: the eventfd, or another socket of an entry already woken.
        const auto found = parked_.find(events[i].data.u64);
        if (found == parked_.end()) continue;
        woken.push_back(std::move(found->second));
        const std::uint32_t flags = events[i].events;
        ready.emplace_back(found->first, flags);
        parked_.erase(found);
      }
    }
    // An entry whose input was absorbed is parked again; the rest are woken.
    std::size_t kept = fresh;
    for (std::size_t i = fresh; i < woken.size(); ++i) {
      const auto [id, flags] = ready[i - fresh];
      if (TryAbsorb(id, woken[i], flags)) continue;
      if (kept != i) woken[kept] = std::move(woken[i]);
      ++kept;
    }
    woken.resize(kept);
    // Before the connections are handed on: once one runs again it may
    // close its sockets, and their numbers may come back parked.
    for (std::size_t i = fresh; i < woken.size(); ++i) Unwatch(woken[i]);
    for (Entry& entry : woken) {
      if (!entry.wake()) retrying.push_back(std::move(entry));
    }
  }
}

}  // namespace zelkord::net
