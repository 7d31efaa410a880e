// The protocol state: what every protocol step works on (the settings, the
// connection and channel tables, the ban list, the communication log, the
// desk) and the one lock that serialises all protocol work: admission,
// every registration step, every command handler, every disconnect
// clean-up, every liveness sweep and every window action. The root object
// owns one and hands it to the steps and services, which need nothing else
// of it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "base/counters.h"
#include "base/mutex.h"
#include "config/ban_list.h"
#include "config/settings.h"
#include "history/store.h"
#include "irc/channel_table.h"
#include "irc/comm_log.h"
#include "irc/desk.h"
#include "irc/user_table.h"
#include "irc/whowas.h"
#include "net/output_queue.h"
#include "text/encoding.h"

namespace zelkord::irc {

// The value every protocol step returns: the connection's next state.
enum class ConnState { Closing = 0, AwaitingPass = 1, AwaitingLogin = 2, Serving = 3 };

// The protocol lock. It can be taken only through ProtocolLock, so the
// output queued under it is always handed to the writer once it is released.
class CAPABILITY("mutex") ProtocolMutex {
 private:
  friend class ProtocolLock;
  friend class ProtocolRun;
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  std::mutex mutex_;
};

// The settings a reload may change while everybody stays connected.
struct LiveSettings {
  std::vector<std::string> motdLines;
  std::string webPassWord;
  std::string webIndexForm;
  std::string webLogForm;
  // Whether /metrics is served, and the local address a request must have
  // reached (as net::AddressText shows it; empty: any).
  bool metrics = false;
  std::string metricsAddress;
  // The operators' names and password hashes, [Operators] of the file.
  std::vector<std::pair<std::string, std::string>> operators;
};

// Lines and bytes (CR LF included) the connection threads received.
enum class ReceivedCount { Lines, Bytes, Count };

// What protocol work counts under the protocol lock, for metrics.
struct ProtocolCounts {
  std::uint64_t sentLines = 0;     // queued to clients' connections
  std::uint64_t sentBytes = 0;     // of those lines, CR LF included
  std::uint64_t relayedLines = 0;  // one for each recipient of a relay
  std::uint64_t floodDisconnects = 0;
  std::uint64_t pingTimeouts = 0;       // registered, silent through a liveness sweep
  std::uint64_t unregisteredDrops = 0;  // not registered after the sweeps allowed
};

struct ProtocolState {
  ProtocolState(Desk& deskIn, config::Settings settingsIn)
      : desk(deskIn), settings(std::move(settingsIn)) {}
  ProtocolState(const ProtocolState&) = delete;
  ProtocolState& operator=(const ProtocolState&) = delete;

  Desk& desk;
  // Filled by start-up before the first connection thread; protocol threads
  // only read it. The window changes the two channel-view colours (main
  // thread), which no protocol step reads. A reload leaves it as it is and
  // changes only live.
  config::Settings settings;
  config::BanList banList;  // own lock
  ProtocolMutex mutex;
  // Created by start-up; they live as long as the state.
  std::unique_ptr<UserTable> users PT_GUARDED_BY(mutex);
  std::unique_ptr<ChannelTable> channels PT_GUARDED_BY(mutex);
  std::unique_ptr<CommLog> commLog;  // own lock
  // Set by shut-down: a connection accepted just before the listener closed
  // is refused at admission instead of outliving the shut-down sweep.
  bool shuttingDown GUARDED_BY(mutex) = false;
  // Set by start-up from settings, replaced by a reload.
  LiveSettings live GUARDED_BY(mutex);
  // The nicks registered users gave up, for WHOWAS.
  WhowasRecord whowas GUARDED_BY(mutex);
  std::string startTimeText;  // set by start-up before any connection
  // The most connections one address may hold (0: no limit), and the
  // time a connection has to register (0: only the liveness sweeps
  // decide); set by start-up.
  int addressMax = 0;
  int registerTimeoutSeconds = 0;
  // Flood control, set by start-up: floodBurst lines of a registered
  // client are handled at once, later ones at floodRate a second (0: no
  // flood control).
  int floodBurst = 0;
  int floodRate = 1;
  // The encoding a new connection starts in; set by start-up.
  text::Encoding defaultEncoding = text::Encoding::Iso2022Jp;
  // The local port of the operator client's connection, known before it
  // connects, so admission pins that connection to ISO-2022-JP; -1: none.
  std::atomic<int> operatorPort{-1};
  // The history store, owned by the server; nullptr when history is off.
  // Set by start-up before the first connection; the store has its own lock.
  history::Store* history = nullptr;
  // The most lines one history request returns; set by start-up.
  std::size_t historyMax = 100;
  // Counted by the connection threads without the lock.
  base::Counters<ReceivedCount> received;
  ProtocolCounts counts GUARDED_BY(mutex);
};

// Takes the protocol lock for one step of protocol work and, once it is
// released, hands the output this thread queued meanwhile to the writer
// (and waits, outside the lock, for a reader it pushed past the
// backpressure mark). Inside a ProtocolRun of this thread it takes nothing:
// the run holds the lock and hands the output over at its end.
class SCOPED_CAPABILITY ProtocolLock {
 public:
  // Whether the lock is held is decided at run time, which the analysis
  // cannot follow; what it checks is that every step takes a ProtocolLock.
  explicit ProtocolLock(ProtocolState& state) ACQUIRE(state.mutex) NO_THREAD_SAFETY_ANALYSIS
      : mutex_(state.mutex),
        inRun_(tInRun) {
    if (!inRun_) mutex_.Lock();
  }
  ~ProtocolLock() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    if (inRun_) return;
    mutex_.Unlock();
    net::FlushPendingOutput();
  }
  ProtocolLock(const ProtocolLock&) = delete;
  ProtocolLock& operator=(const ProtocolLock&) = delete;

 private:
  friend class ProtocolRun;
  static inline thread_local bool tInRun = false;
  ProtocolMutex& mutex_;
  const bool inRun_;
};

// Holds the protocol lock across several steps in a row: a connection
// thread that has already received more lines takes the lock once for them
// instead of once a line, so the threads of a busy channel hand the lock
// (and the writer its work) over a few times less often. Only while nothing
// is waited for: the thread ends the run before it reads from its socket
// again. One per thread at a time.
class ProtocolRun {
 public:
  explicit ProtocolRun(ProtocolState& state) : mutex_(state.mutex) {}
  ~ProtocolRun() { End(); }
  ProtocolRun(const ProtocolRun&) = delete;
  ProtocolRun& operator=(const ProtocolRun&) = delete;

  // One more step in the run; the first takes the lock.
  void Step() NO_THREAD_SAFETY_ANALYSIS {
    if (steps_++ > 0) return;
    mutex_.Lock();
    ProtocolLock::tInRun = true;
  }
  // Lets the lock go and hands the run's output over; nothing if not held.
  void End() NO_THREAD_SAFETY_ANALYSIS {
    if (steps_ == 0) return;
    steps_ = 0;
    ProtocolLock::tInRun = false;
    mutex_.Unlock();
    net::FlushPendingOutput();
  }
  // The steps taken since the lock was taken; 0 when it is not held.
  [[nodiscard]] int Steps() const { return steps_; }

 private:
  ProtocolMutex& mutex_;
  int steps_ = 0;
};

}  // namespace zelkord::irc
