// The liveness checker: once a minute one sweep over the connection table
// pings every registered connection and shuts down those that stayed
// silent since the previous sweep. Slot 0, the operator client's, is never
// looked at. A connection that is still unregistered at its second sweep is
// shut down too, so idle sockets cannot hold every slot for ever.
#pragma once

#include <chrono>
#include <thread>

#include "base/mutex.h"
#include "irc/protocol.h"

namespace zelkord::services {

inline constexpr std::chrono::seconds kSweepInterval{60};
// Sweeps a connection may stay unregistered through before it is dropped.
inline constexpr int kUnregisteredSweepLimit = 2;

// Slots one taking of the protocol lock sweeps.
inline constexpr int kSweepSlotsPerLock = 256;

// Runs one sweep. Takes the protocol lock, once a slice of slots. Any thread.
void LivenessSweep(irc::ProtocolState& protocol);

// The thread that runs the sweeps: on its own timer (headless) or when the
// window's timer asks (RequestSweep). Stops at destruction.
class Sweeper {
 public:
  // interval zero: no timer of its own, sweeps only on request.
  Sweeper(irc::ProtocolState& protocol, std::chrono::milliseconds interval);
  ~Sweeper();
  Sweeper(const Sweeper&) = delete;
  Sweeper& operator=(const Sweeper&) = delete;

  // Asks for one sweep soon; never blocks. Any thread.
  void RequestSweep();

 private:
  void Loop();

  irc::ProtocolState& protocol_;
  const std::chrono::milliseconds interval_;
  base::Mutex mutex_;
  base::CondVar wake_;
  int requested_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace zelkord::services
