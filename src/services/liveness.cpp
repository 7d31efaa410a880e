// Liveness sweeps and the thread that runs them.
#include "services/liveness.h"

#include <algorithm>
#include <string>

#include "irc/protocol.h"
#include "irc/replies.h"
#include "irc/send.h"

namespace zelkord::services {

void LivenessSweep(irc::ProtocolState& protocol) {
  int capacity = 0;
  std::string ping;
  {
    irc::ProtocolLock lock(protocol);
    capacity = protocol.users->Capacity();
    ping = irc::FormatRelay(irc::kRelayPing, {protocol.settings.serverName});
  }
  // Slot 0 is the operator client's, which never answers.
  for (int first = 1; first < capacity; first += kSweepSlotsPerLock) {
    // A slice at a time: the pings queued under one taking are sent when it
    // ends, so a sweep of many clients neither keeps everybody else waiting
    // for the lock nor holds a queue buffer for every client at once.
    irc::ProtocolLock lock(protocol);
    irc::UserTable& users = *protocol.users;
    const int end = std::min(first + kSweepSlotsPerLock, users.Capacity());
    for (int index = first; index < end; ++index) {
      irc::UserSlot& slot = users.Slot(index);
      if (!slot.inUse) continue;
      if (!slot.Registered()) {
        if (++slot.sweepsUnregistered >= kUnregisteredSweepLimit && slot.output) {
          slot.output->Shutdown();  // silently: it never told us who it is
          ++protocol.counts.unregisteredDrops;
        }
        continue;
      }
      // Silent since the last sweep: its own thread cleans up once the
      // receive fails. It is pinged all the same; that send just fails.
      if (!slot.alive && slot.output) {
        slot.output->Shutdown();
        ++protocol.counts.pingTimeouts;
      }
      slot.alive = false;
      irc::SendLine(protocol, slot.socket, ping);
    }
  }
}

Sweeper::Sweeper(irc::ProtocolState& protocol, std::chrono::milliseconds interval)
    : protocol_(protocol), interval_(interval) {
  thread_ = std::thread([this] { Loop(); });
}

Sweeper::~Sweeper() {
  {
    base::MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Sweeper::RequestSweep() {
  {
    base::MutexLock lock(mutex_);
    ++requested_;
  }
  wake_.notify_all();
}

void Sweeper::Loop() {
  auto next = std::chrono::steady_clock::now() + interval_;
  for (;;) {
    {
      base::MutexLock lock(mutex_);
      while (!stopping_ && requested_ == 0) {
        if (interval_.count() == 0) {
          wake_.wait(mutex_);
        } else if (wake_.wait_until(mutex_, next) == std::cv_status::timeout && !stopping_ &&
                   requested_ == 0) {
          next += interval_;
          ++requested_;
        }
      }
      if (stopping_) return;
      // Overlapping requests run one after the other, each a whole sweep.
      --requested_;
    }
    LivenessSweep(protocol_);
  }
}

}  // namespace zelkord::services
