// The liveness checker: once a minute one sweep over the connection table
// pings every registered connection and shuts down those that stayed
// silent since the previous sweep. Slot 0, the operator client's, is never
// looked at. A connection that is still unregistered at its second sweep is
// shut down too, so idle sockets cannot hold every slot for ever.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace zelkord::frame {
class Server;
}

namespace zelkord::services {

inline constexpr std::chrono::seconds kSweepInterval{60};
// Sweeps a connection may stay unregistered through before it is dropped.
inline constexpr int kUnregisteredSweepLimit = 2;

// Runs one sweep. Takes the protocol lock. Any thread.
void LivenessSweep(frame::Server& server);

// The thread that runs the sweeps: on its own timer (headless) or when the
// window's timer asks (RequestSweep). Stops at destruction.
class Sweeper {
 public:
  // interval zero: no timer of its own, sweeps only on request.
  Sweeper(frame::Server& server, std::chrono::milliseconds interval);
  ~Sweeper();
  Sweeper(const Sweeper&) = delete;
  Sweeper& operator=(const Sweeper&) = delete;

  // Asks for one sweep soon; never blocks. Any thread.
  void RequestSweep();

 private:
  void Loop();

  frame::Server& server_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int requested_ = 0;      // guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace zelkord::services
