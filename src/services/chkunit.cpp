// Liveness sweeps and the thread that runs them.
#include "services/chkunit.h"

#include "frame/procunit.h"
#include "irc/srvunit.h"

namespace zelkord::services {

void LivenessSweep(frame::Server& server) {
  frame::ProtocolLock lock(server);
  irc::UserTable& users = *server.users;
  const std::string ping = "PING :" + server.settings.serverName;
  // Slot 0 is the operator client's, which never answers.
  for (int index = 1; index < users.Capacity(); ++index) {
    irc::UserSlot& slot = users.Slot(index);
    if (!slot.inUse) continue;
    if (!slot.registered) {
      if (++slot.sweepsUnregistered >= kUnregisteredSweepLimit && slot.connection) {
        slot.connection->Shutdown();  // silently: it never told us who it is
      }
      continue;
    }
    // Silent since the last sweep: its own thread cleans up once the
    // receive fails. It is pinged all the same; that send just fails.
    if (!slot.alive && slot.connection) slot.connection->Shutdown();
    slot.alive = false;
    irc::SendLine(server, slot.socket, ping);
  }
}

Sweeper::Sweeper(frame::Server& server, std::chrono::milliseconds interval)
    : server_(server), interval_(interval) {
  thread_ = std::thread([this] { Loop(); });
}

Sweeper::~Sweeper() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Sweeper::RequestSweep() {
  {
    std::lock_guard lock(mutex_);
    ++requested_;
  }
  wake_.notify_all();
}

void Sweeper::Loop() {
  std::unique_lock lock(mutex_);
  auto next = std::chrono::steady_clock::now() + interval_;
  for (;;) {
    auto ready = [this] { return stopping_ || requested_ > 0; };
    if (interval_.count() > 0) {
      if (!wake_.wait_until(lock, next, ready)) {
        next += interval_;
        ++requested_;
      }
    } else {
      wake_.wait(lock, ready);
    }
    if (stopping_) return;
    // Overlapping requests run one after the other, each a whole sweep.
    --requested_;
    lock.unlock();
    LivenessSweep(server_);
    lock.lock();
  }
}

}  // namespace zelkord::services
