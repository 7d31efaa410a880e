// The root of one running server: start-up, shut-down and final clean-up,
// and every piece of process-wide state (settings, tables, locks, listeners,
// counters) hanging off one object, so a process (or a test) can start and
// stop servers without loose globals.
//
// Threads: one detached connection thread per IRC connection (a chain: each
// accepts one connection and starts its successor), the output writer, the
// operator client's reader, and whatever the services add. The protocol
// lock (connectionLock) serialises all protocol work: admission, every
// registration step, every command handler, every disconnect clean-up.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "channels/chanunit.h"
#include "frame/annotations.h"
#include "frame/ban_list.h"
#include "frame/settings.h"
#include "irc/connection.h"
#include "irc/userunit.h"
#include "services/chkunit.h"
#include "services/debunit.h"
#include "services/webunit.h"
#include "window/desk.h"

namespace zelkord::frame {

// Thread stacks are small so a thousand connections stay cheap.
inline constexpr std::size_t kThreadStackBytes = 256 * 1024;

// Starts fn on a detached thread with a small stack. false when the thread
// could not be created. Any thread.
[[nodiscard]] bool StartDetachedThread(std::function<void()> fn);

struct StartResult {
  bool ok = false;
  std::string error;  // what a person must act on, when !ok
};

class Server {
 public:
  Server(window::Desk& desk, InstancePaths paths);
  // Final clean-up. Shuts down and waits for the threads if that was not done.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads the settings, creates the tables, opens the IRC listener, starts
  // the first connection thread and logs the operator client in. Stops at
  // the first failure and says why. Main thread, once.
  [[nodiscard]] StartResult Start();

  // The close request: closes the listeners and the operator client, shuts
  // every connection down and writes the window position and colours. Runs
  // once; later calls do nothing. Main thread.
  void ShutDown();

  // true when no connection or web thread is left. Any thread.
  [[nodiscard]] bool Drained() const;
  // Waits until Drained(). Main thread, after ShutDown.
  void WaitDrained();

  // The bound IRC port (useful when the settings ask for port 0), or -1.
  [[nodiscard]] int IrcPort() const { return ircPort_; }

  // --- Connection threads.
  // Starts one more connection thread waiting in accept. Any thread.
  [[nodiscard]] bool StartConnectionThread();
  // The IRC listener socket; kNoSocket once shut down. Any thread.
  [[nodiscard]] int IrcListener() const { return ircListener_.load(); }

  // --- Web threads.
  [[nodiscard]] bool StartWebThread();
  [[nodiscard]] int WebListener() const { return webListener_.load(); }
  // The bound web port, or -1 when the web service does not run.
  [[nodiscard]] int WebPort() const { return webPort_; }

  // --- Desk actions. Main thread.
  // Sends one line from the operator client (converted to the wire; a
  // failure goes unnoticed, as the client shows nothing it receives).
  void OperatorSend(std::string_view line);
  // Asks for one liveness sweep on the sweeper thread; never blocks.
  void RequestSweep();
  // Writes the settings page and the ban list ("save settings"). false when
  // the file cannot be written.
  [[nodiscard]] bool SaveSettingsNow();
  // Writes the colour section from the desk's web view and the channel
  // colour settings. false when the file cannot be written.
  [[nodiscard]] bool SaveColorsNow();
  void ThreadEnded(std::atomic<int>& counter);

  // Whether Start logs the operator client in; tests may turn it off.
  bool startOperatorClient = true;
  // The liveness sweeper's own timer; zero when the window's timer asks
  // for the sweeps instead (RequestSweep).
  std::chrono::milliseconds sweepInterval{services::kSweepInterval};

  // --- State shared by protocol work. Start() creates what is behind the
  // pointers; they live until the Server is destroyed.
  window::Desk& desk;
  const InstancePaths paths;
  Settings settings;     // filled by Start, read-only afterwards
  BanList banList;       // own lock
  Mutex connectionLock;  // the protocol lock
  std::unique_ptr<irc::UserTable> users PT_GUARDED_BY(connectionLock);
  std::unique_ptr<channels::ChannelTable> channels PT_GUARDED_BY(connectionLock);
  std::unique_ptr<services::CommLog> commLog;  // own lock
  services::WebRequestView webView;            // own lock
  std::atomic<int> servingWebRequests{0};
  // Set by ShutDown: a connection accepted just before the listener closed
  // is refused at admission instead of outliving the shut-down sweep.
  bool shuttingDown GUARDED_BY(connectionLock) = false;
  irc::OutputWriter writer;
  std::string ownAddress;     // set by Start, read-only afterwards
  std::string startTimeText;  // set by Start, read-only afterwards
  std::atomic<int> liveConnectionThreads{0};
  std::atomic<int> liveWebThreads{0};

 private:
  [[nodiscard]] StartResult LoadAndShowSettings();
  void StartOperatorClient();

  std::unique_ptr<services::Sweeper> sweeper_;  // main thread creates and ends it
  std::atomic<int> webListener_{-1};
  int closedWebListener_ = -1;
  int webPort_ = -1;
  std::atomic<int> ircListener_{-1};
  int closedIrcListener_ = -1;  // shut down, closed at final clean-up
  int ircPort_ = -1;
  int operatorSocket_ = -1;      // written by Start and ShutDown (main thread)
  std::thread operatorReader_;   // drains the operator client's socket
  bool settingsLoaded_ = false;  // main thread: the window state came from the file
  std::atomic<bool> shutDownDone_{false};
  mutable std::mutex drainMutex_;
  std::condition_variable drained_;  // signalled as thread counters reach zero
};

// Takes the protocol lock for one step of protocol work and, once it is
// released, flushes the output this thread queued meanwhile.
class SCOPED_CAPABILITY ProtocolLock {
 public:
  explicit ProtocolLock(Server& server) ACQUIRE(server.connectionLock)
      : mutex_(server.connectionLock) {
    mutex_.lock();
  }
  ~ProtocolLock() RELEASE() {
    mutex_.unlock();
    irc::FlushPendingOutput();
  }
  ProtocolLock(const ProtocolLock&) = delete;
  ProtocolLock& operator=(const ProtocolLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace zelkord::frame
