// The root of one running server: start-up, shut-down and final clean-up,
// and every piece of process-wide state (the protocol state, listeners,
// threads, counters) hanging off one object, so a process (or a test) can
// start and stop servers without loose globals.
//
// Threads: one detached connection thread per IRC connection and one per
// web request (each listener's chain: a thread accepts one connection and
// starts its successor; the TLS listener's thread completes the handshake
// first and then serves its connection the same way), the output writer,
// the day-log writer (when saving), the liveness sweeper and the operator
// client's reader. All protocol work runs under the protocol lock of
// irc::ProtocolState.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file_writer.h"
#include "base/mutex.h"
#include "config/settings.h"
#include "history/store.h"
#include "irc/desk.h"
#include "irc/protocol.h"
#include "net/listener.h"
#include "net/output_queue.h"
#include "net/output_writer.h"
#include "net/parking_lot.h"
#include "net/tcp.h"
#include "net/tls.h"
#include "services/liveness.h"
#include "services/operator_client.h"
#include "services/status_pages.h"

namespace zelkord::server {

// Threads waiting in accept on the IRC port at any time: with more than one,
// a burst of connections does not queue behind the start of each one's
// successor.
inline constexpr int kWaitingAcceptors = 2;
// How long a registered client may say nothing before its connection gives
// its thread back and waits in the parking lot. Long enough that a client
// in a conversation keeps its thread; a thread is started again for the
// first line after a silence.
inline constexpr std::chrono::milliseconds kParkIdleAfter{2000};

// What the process sets once, at start, from outside the settings file.
struct ServerOptions {
  // How long a registered client is silent before its connection is
  // parked; zero keeps a thread on every connection.
  std::chrono::milliseconds parkAfter{kParkIdleAfter};
  // Whether a line to many connections goes to the kernel as one batch.
  bool batchedSends = true;
  // Where the shipped message of the day and templates are copied from
  // into an instance that lacks them (config::ShippedFolder); empty: none.
  std::string shippedFolder;
};

struct StartResult {
  bool ok = false;
  std::string error;  // what a person must act on, when !ok
};

class Server {
 public:
  Server(irc::Desk& desk, config::InstancePaths paths, const ServerOptions& options = {});
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
  [[nodiscard]] int IrcPort() const { return irc_.Port(); }

  // --- TLS (when [Server] TlsPort is set).
  // Whether the TLS listener is open. Any thread.
  [[nodiscard]] bool TlsOpen() const { return tls_.IsOpen(); }
  // The bound TLS port, or -1 when there is no TLS listener.
  [[nodiscard]] int TlsPort() const { return tls_.Port(); }
  // The certificate and key a new TLS connection gets. Any thread.
  [[nodiscard]] std::shared_ptr<const net::TlsCredentials> TlsCredentials() const
      EXCLUDES(tlsMutex_);

  // The bound web port, or -1 when the web service does not run.
  [[nodiscard]] int WebPort() const { return web_.IsOpen() ? web_.Port() : -1; }

  // Starts body on a detached thread counted in counter, which it uncounts
  // as its very last step. false when no thread could start. Any thread.
  [[nodiscard]] bool StartCounted(std::atomic<int>& counter, std::function<void()> body);

  // Parks a silent connection on its sockets: when one has input or hangs
  // up, resume runs on a new thread. The parked connection counts as a
  // connection thread until then, so a drain waits for it. false when the
  // lot cannot take it: the caller goes on serving it. absorb as for
  // ParkingLot::Park. Any thread.
  [[nodiscard]] bool Park(std::initializer_list<int> sockets, std::function<void()> resume,
                          std::function<bool()> absorb = {});

  // Registered users and channels now, for a status line. Any thread.
  [[nodiscard]] std::pair<int, int> UserAndChannelCounts();

  // The metrics in the text exposition format (version 0.0.4): counters
  // summed now, gauges read under the protocol lock, taken only briefly.
  // Any thread.
  [[nodiscard]] std::string MetricsText();

  // Reads the settings file again and applies at once what can change
  // without dropping anybody: the message of the day, the ban list, the web
  // switch, password and templates, and the TLS certificate and key. Every
  // other changed setting is reported as waiting for the next start. A file
  // that no longer loads (or whose new TLS pair or web port fails) is
  // reported and changes nothing. false in that case. Main thread (the
  // headless SIGHUP).
  bool Reload() EXCLUDES(tlsMutex_);

  // --- Desk actions. Main thread.
  // The operator client, for the desk's join, part and input lines.
  [[nodiscard]] services::OperatorClient& Operator() { return operator_; }
  // Asks for one liveness sweep on the sweeper thread; never blocks.
  void RequestSweep();
  // Writes the settings page and the ban list ("save settings"). false when
  // the file cannot be written.
  [[nodiscard]] bool SaveSettingsNow();
  // Writes the colour section from the desk's web view and the channel
  // colour settings. false when the file cannot be written.
  [[nodiscard]] bool SaveColorsNow();

  // The history store, or nullptr when History.Save is off or the store
  // could not open. Any thread, once Start has run.
  [[nodiscard]] history::Store* HistoryStore() const { return history_.get(); }

  // Whether Start logs the operator client in; tests may turn it off.
  bool startOperatorClient = true;
  // The liveness sweeper's own timer; zero when the window's timer asks
  // for the sweeps instead (RequestSweep).
  std::chrono::milliseconds sweepInterval{services::kSweepInterval};
  // See ServerOptions.
  const std::chrono::milliseconds parkAfter;

  const config::InstancePaths paths;
  irc::ProtocolState protocol;
  services::WebRequestView webView;  // own lock
  net::OutputWriter writer;
  // Silent connections, between their threads. After the writer, so that it
  // ends first.
  net::ParkingLot parking;
  std::atomic<int> servingWebRequests{0};
  std::atomic<int> liveConnectionThreads{0};
  std::atomic<int> liveWebThreads{0};

 private:
  [[nodiscard]] StartResult LoadAndShowSettings();
  [[nodiscard]] StartResult StartWebService(const std::string& portText);
  [[nodiscard]] StartResult StartTlsService(int port);
  // Opens the history store; a failure is told and the server runs on
  // without history.
  void OpenHistory(const config::Settings& settings);
  // Tells the desk of each status-page template that cannot be read while
  // the pages are served.
  void ReportUnreadableTemplates(const config::Settings& settings);
  // What tells the desk of a listener's failing accepts: what is, for
  // example, "IRC connections".
  [[nodiscard]] std::function<void(int error)> ReportAcceptSpell(std::string_view what);
  // What starts a thread of a listener's chain, counted in counter.
  [[nodiscard]] net::Listener::StartThread CountedIn(std::atomic<int>& counter);
  // A thread counted in counter ends; its very last step. Any thread.
  void ThreadEnded(std::atomic<int>& counter);

  irc::Desk& desk_;
  const std::string shippedFolder_;
  services::OperatorClient operator_;
  // Created by Start when saving day logs; the channel table appends to it
  // under the protocol lock. Ended at final clean-up, once no thread is left
  // to append, which flushes what is queued.
  std::unique_ptr<base::FileWriter> dayLogWriter_;
  // Opened by Start when History.Save is on; ended at final clean-up like
  // the day-log writer, which commits what is queued.
  std::unique_ptr<history::Store> history_;
  std::unique_ptr<services::Sweeper> sweeper_;  // main thread creates and ends it
  std::string webPortText_;                     // the Web.Port the listener was opened with
  // The files of the TLS pair, resolved at start; the pair itself is
  // replaced whole by a reload (a leaf lock).
  std::string tlsCertificateFile_;
  std::string tlsKeyFile_;
  mutable base::Mutex tlsMutex_;
  std::shared_ptr<const net::TlsCredentials> tlsCredentials_ GUARDED_BY(tlsMutex_);
  // The three listeners; each closes its sockets only at final clean-up,
  // once no thread is left to be inside accept on them.
  net::Listener irc_;
  net::Listener tls_;
  net::Listener web_;            // opened and closed again as the web switch changes
  bool settingsLoaded_ = false;  // main thread: the window state came from the file
  std::atomic<bool> shutDownDone_{false};
  // Nothing is guarded by it: it only orders the counters' last decrement
  // before the drained signal, so a waiter cannot miss it.
  mutable base::Mutex drainMutex_;
  base::CondVar drained_;  // signalled as thread counters reach zero
};

}  // namespace zelkord::server
