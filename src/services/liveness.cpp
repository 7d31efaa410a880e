// Liveness sweeps and the thread that runs them.
#include "services/liveness.h"

#include "irc/protocol.h"
#include "irc/replies.h"
#include "irc/send.h"

namespace zelkord::services {

void LivenessSweep(irc::ProtocolState& protocol) {
  irc::ProtocolLock lock(protocol);
  irc::UserTable& users = *protocol.users;
  const std::string ping = irc::FormatRelay(irc::kRelayPing, {protocol.settings.serverName});
  // Slot 0 is the operator client's, which never answers.
  for (int index = 1; index < users.Capacity(); ++index) {
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
