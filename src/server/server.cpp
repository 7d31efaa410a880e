// Start-up, shut-down and final clean-up of one server.
#include "server/server.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/clock.h"
#include "base/threads.h"
#include "base/version.h"
#include "net/tcp.h"
#include "net/tls.h"
#include "server/config_check.h"
#include "server/connection_thread.h"
#include "server/tls_session.h"
#include "server/web_request.h"
#include "text/encoding.h"

namespace zelkord::server {
namespace {

std::string WhyNot(std::string_view what, const std::string& path) {
  std::string text(what);
  text.append(" ").append(path).append(": ").append(std::strerror(errno));
  return text;
}

}  // namespace

Server::Server(irc::Desk& desk, config::InstancePaths pathsIn, const ServerOptions& options)
    : parkAfter(options.parkAfter),
      paths(std::move(pathsIn)),
      protocol(desk, config::DefaultSettings(paths)),
      webView(desk),
      writer(net::WriterOptions{options.batchedSends}),
      desk_(desk),
      shippedFolder_(options.shippedFolder),
      irc_(kWaitingAcceptors, ReportAcceptSpell("IRC connections"),
           CountedIn(liveConnectionThreads),
           [this](int socket, const std::string& address) {
             ServeConnection(*this, socket, address, net::TcpPeerPort(socket));
             net::FlushPendingOutput();
           }),
      // One thread waits on each of the others: a stalled handshake or
      // request holds up only the thread that took it.
      tls_(1, ReportAcceptSpell("TLS connections"), CountedIn(liveConnectionThreads),
           [this](int socket, const std::string& address) {
             ServeTlsConnection(*this, socket, address);
           }),
      web_(1, ReportAcceptSpell("web requests"), CountedIn(liveWebThreads),
           [this](int socket, const std::string& address) {
             ServeWebConnection(*this, socket, address);
           }) {}

Server::~Server() {
  ShutDown();
  WaitDrained();
  dayLogWriter_.reset();
  protocol.history = nullptr;
  history_.reset();
}

namespace {

irc::LiveSettings LiveFrom(const config::Settings& settings) {
  irc::LiveSettings live;
  live.motdLines = settings.motdLines;
  live.webPassWord = settings.webPassWord;
  live.webIndexForm = settings.webIndexForm;
  live.webLogForm = settings.webLogForm;
  live.metrics = settings.webMetrics == "Enable";
  live.metricsAddress = net::CanonicalAddressText(settings.webMetricsAddress);
  live.operators = settings.operators;
  return live;
}

bool IsEncoding(std::string_view name) {
  return text::ParseEncoding(name).has_value();
}

}  // namespace

StartResult Server::LoadAndShowSettings() {
  config::LoadedSettings loaded = config::LoadSettings(paths);  // throws SettingsNumberError
  if (loaded.cleanupWriteFailed) {
    return {false, WhyNot("cannot write the settings file", paths.settingsFile)};
  }
  config::Settings& settings = protocol.settings;
  settings = std::move(loaded.settings);
  for (const std::string& placed : config::PlaceShippedFiles(paths, settings, shippedFolder_)) {
    desk_.ShowStatus("placed the shipped " + placed);
    if (placed == settings.serverMotdPath) settings.motdLines = config::LoadMotd(placed);
  }
  protocol.banList.Assign(std::move(loaded.banList));
  desk_.SetWindowGeometry(loaded.geometry);
  desk_.SetWebViewColors(loaded.webLogBack, loaded.webLogFore);
  desk_.ShowSettingsPage(config::PageFromSettings(settings));
  desk_.BanListChanged();
  if (loaded.banListCut) {
    desk_.ShowStatus("the ban list holds more than 1024 patterns; only the first 1024 are used");
  }
  if (const int unusable = config::CountUnusableBanPatterns(protocol.banList.Snapshot())) {
    desk_.ShowStatus("the ban list holds " + std::to_string(unusable) +
                     " IPv6 patterns that are malformed or wider than /16; they are kept but"
                     " ignored");
  }
  if (!config::SaveSettings(paths.settingsFile, desk_.ReadSettingsPage(),
                            protocol.banList.Snapshot()) ||
      !config::SaveWindowPosition(paths.settingsFile, desk_.WindowGeometry()) || !SaveColorsNow() ||
      !config::SaveFileSettings(paths.settingsFile, settings)) {
    return {false, WhyNot("cannot write the settings file", paths.settingsFile)};
  }
  desk_.SetCaption("Zelkord Ver. " + settings.programVersion);
  settingsLoaded_ = true;
  return {true, {}};
}

StartResult Server::Start() {
  try {
    StartResult loaded = LoadAndShowSettings();
    if (!loaded.ok) return loaded;
    const config::Settings& settings = protocol.settings;
    // Every value the server runs on is checked here, once, so a bad one
    // stops start-up instead of failing later inside a connection.
    if (std::string problem = config::SettingsProblem(settings, IsEncoding); !problem.empty()) {
      return {false, std::move(problem)};
    }
    const int userMax = config::NumberOf(settings, &config::Settings::programUserMax);
    const int chanMax = config::NumberOf(settings, &config::Settings::programChanMax);
    const int logLines = config::NumberOf(settings, &config::Settings::logLines);
    protocol.addressMax = config::NumberOf(settings, &config::Settings::programAddressMax);
    protocol.registerTimeoutSeconds =
        config::NumberOf(settings, &config::Settings::programRegisterTimeout);
    protocol.floodBurst = config::NumberOf(settings, &config::Settings::programFloodBurst);
    protocol.floodRate = config::NumberOf(settings, &config::Settings::programFloodRate);
    // TLS comes up whole or stops start-up: a listener that failed every
    // handshake would look like a network fault to every client.
    const int tlsPort = config::NumberOf(settings, &config::Settings::serverTlsPort);
    if (tlsPort != -1) {
      tlsCertificateFile_ = config::BesideSettings(paths, settings.serverTlsCertificate);
      tlsKeyFile_ = config::BesideSettings(paths, settings.serverTlsKey);
      std::string error;
      std::shared_ptr<const net::TlsCredentials> credentials =
          net::TlsCredentials::Load(tlsCertificateFile_, tlsKeyFile_, error);
      if (credentials == nullptr) return {false, error};
      base::MutexLock lock(tlsMutex_);
      tlsCredentials_ = std::move(credentials);
    }
    protocol.defaultEncoding = *text::ParseEncoding(settings.serverCharset);
    protocol.commLog = std::make_unique<irc::CommLog>(userMax, desk_);
    irc::ChannelLogOptions logOptions;
    logOptions.lines = logLines > 0 ? static_cast<std::size_t>(logLines) : 0;
    logOptions.save = settings.logSave != "Disable";
    logOptions.path = settings.logPath;
    logOptions.operatorNick = settings.clientNick;
    for (char letter : irc::OfferedChannelModes(settings.serverChanMode)) {
      if (settings.serverChannelModes.find(letter) != std::string::npos) {
        logOptions.initialFlags.push_back(letter);
      }
    }
    if (logOptions.save) {
      base::FileWriterOptions writerOptions;
      // Once per episode of drops, on a protocol thread under the protocol
      // lock, which a warning never blocks.
      writerOptions.report = [this](std::string_view text) {
        desk_.ShowWarning("day log: " + std::string(text));
      };
      dayLogWriter_ = std::make_unique<base::FileWriter>(std::move(writerOptions));
      logOptions.writer = dayLogWriter_.get();
    }
    if (settings.historySave == "Enable") OpenHistory(settings);
    {
      irc::ProtocolLock lock(protocol);
      protocol.live = LiveFrom(settings);
      protocol.users = std::make_unique<irc::UserTable>(userMax, chanMax);
      protocol.channels = std::make_unique<irc::ChannelTable>(chanMax, logOptions, desk_);
    }
    net::TcpStartup();
    if (!writer.Ready()) return {false, "the sockets cannot start"};
    protocol.startTimeText = base::LongDateTime();
    const int port = config::NumberOf(settings, &config::Settings::serverPort);
    if (!irc_.Open(port)) {
      return {false,
              "cannot listen on IRC port " + std::to_string(port) + ": " + std::strerror(errno)};
    }
    if (!irc_.StartThreads()) return {false, "cannot start a connection thread"};
    if (tlsPort != -1) {
      StartResult tls = StartTlsService(tlsPort);
      if (!tls.ok) return tls;
    }
    sweeper_ = std::make_unique<services::Sweeper>(protocol, sweepInterval);
    if (startOperatorClient) operator_.Start(irc_.Port(), settings, protocol.operatorPort);
    // Only exactly "Enable" runs the web service.
    if (settings.webSend == "Enable") {
      StartResult web = StartWebService(settings.webPort);
      if (!web.ok) {
        // Not fatal: IRC is served; the person is told the pages are not.
        desk_.ShowError(web.error + "; the status pages are not served");
      }
    }
    ReportUnreadableTemplates(settings);
  } catch (const config::SettingsNumberError& error) {
    return {false, error.what()};
  }
  desk_.ShowStatus("listening for IRC on port " + std::to_string(irc_.Port()));
  return {true, {}};
}

bool Server::Reload() {
  const config::Settings& running = protocol.settings;
  config::LoadedSettings loaded;
  std::string error;
  try {
    // A file that lost its sections (replaced by junk, emptied, gone) would
    // reload as all defaults: it is refused instead.
    if (!config::HoldsSettingsSection(paths.settingsFile)) {
      throw config::SettingsNumberError(paths.settingsFile +
                                        " is missing or holds no settings section");
    }
    loaded = config::LoadSettings(paths);
    // Checked as Start checks, so a file that could not start the server
    // does not reload either.
    error = config::SettingsProblem(loaded.settings, IsEncoding);
  } catch (const config::SettingsNumberError& failure) {
    error = failure.what();
  }
  const config::Settings& next = loaded.settings;
  // What can fail is tried before anything changes: the new TLS pair and a
  // web listener switched on.
  std::shared_ptr<const net::TlsCredentials> credentials;
  const bool tlsRunning = tls_.IsOpen();
  if (error.empty() && tlsRunning) {
    credentials =
        net::TlsCredentials::Load(config::BesideSettings(paths, next.serverTlsCertificate),
                                  config::BesideSettings(paths, next.serverTlsKey), error);
  }
  const bool webRunning = web_.IsOpen();
  const bool webWanted = next.webSend == "Enable";
  if (error.empty() && webWanted && !webRunning) {
    StartResult web = StartWebService(next.webPort);
    if (!web.ok) error = web.error;
  }
  if (!error.empty()) {
    desk_.ShowError("the settings were not reloaded, nothing changed: " + error);
    return false;
  }

  if (!webWanted && webRunning) web_.Close();
  {
    irc::ProtocolLock lock(protocol);
    protocol.live = LiveFrom(next);
  }
  protocol.banList.Assign(loaded.banList);
  desk_.BanListChanged();
  if (credentials != nullptr) {
    tlsCertificateFile_ = config::BesideSettings(paths, next.serverTlsCertificate);
    tlsKeyFile_ = config::BesideSettings(paths, next.serverTlsKey);
    base::MutexLock lock(tlsMutex_);
    tlsCredentials_.swap(credentials);
  }

  // Everything else takes effect at the next start.
  std::string waiting;
  for (const config::SettingsKey& row : config::kSettingsTable) {
    using config::AppliedBy;
    const bool waits = row.applied == AppliedBy::NextStart ||
                       (row.applied == AppliedBy::TlsReload && !tlsRunning) ||
                       (row.applied == AppliedBy::WebReload && webWanted && webRunning);
    // The web service runs on the port it was started with, perhaps by a
    // reload, not the one the server started with.
    const std::string& was =
        row.applied == AppliedBy::WebReload ? webPortText_ : running.*row.value;
    if (waits && was != next.*row.value) {
      waiting.append(waiting.empty() ? "" : ", ").append(config::KeyName(row));
    }
  }
  desk_.ShowStatus(waiting.empty() ? "settings reloaded"
                                   : "settings reloaded; waiting for the next start: " + waiting);
  ReportUnreadableTemplates(next);
  return true;
}

void Server::ReportUnreadableTemplates(const config::Settings& settings) {
  for (const config::SettingsFault& fault : TemplateFaults(settings)) {
    desk_.ShowError("the status page template " + fault.section + "." + fault.key + " \"" +
                    fault.text + "\" " + fault.reason + "; its page answers with an error");
  }
}

StartResult Server::StartTlsService(int port) {
  if (!tls_.Open(port)) {
    return {false,
            "cannot listen on TLS port " + std::to_string(port) + ": " + std::strerror(errno)};
  }
  if (!tls_.StartThreads()) return {false, "cannot start a TLS thread"};
  desk_.ShowStatus("listening for IRC over TLS on port " + std::to_string(tls_.Port()));
  return {true, {}};
}

std::pair<int, int> Server::UserAndChannelCounts() {
  irc::ProtocolLock lock(protocol);
  if (!protocol.users || !protocol.channels) return {0, 0};
  return {protocol.users->RegisteredCount(), protocol.channels->Count()};
}

std::shared_ptr<const net::TlsCredentials> Server::TlsCredentials() const {
  base::MutexLock lock(tlsMutex_);
  return tlsCredentials_;
}

StartResult Server::StartWebService(const std::string& portText) {
  const int webPort = config::ToInt("Web.Port", portText);
  if (!web_.Open(webPort)) {
    return {false,
            "cannot listen on web port " + std::to_string(webPort) + ": " + std::strerror(errno)};
  }
  webPortText_ = portText;
  if (web_.StartThreads()) {
    desk_.ShowStatus("serving status pages on port " + std::to_string(web_.Port()));
  }
  return {true, {}};
}

void Server::RequestSweep() {
  if (sweeper_) sweeper_->RequestSweep();
}

bool Server::SaveSettingsNow() {
  return config::SaveSettings(paths.settingsFile, desk_.ReadSettingsPage(),
                              protocol.banList.Snapshot());
}

bool Server::SaveColorsNow() {
  return config::SaveColors(paths.settingsFile, desk_.WebViewBack(), desk_.WebViewFore(),
                            protocol.settings.colorLogBack, protocol.settings.colorLogFore);
}

bool Server::StartCounted(std::atomic<int>& counter, std::function<void()> body) {
  ++counter;
  const bool started = base::StartDetachedThread([this, &counter, body = std::move(body)] {
    body();
    ThreadEnded(counter);
  });
  if (!started) ThreadEnded(counter);
  return started;
}

net::Listener::StartThread Server::CountedIn(std::atomic<int>& counter) {
  return [this, &counter](std::function<void()> body) {
    return StartCounted(counter, std::move(body));
  };
}

void Server::OpenHistory(const config::Settings& settings) {
  history::StoreOptions options;
  options.path = config::BesideSettings(paths, settings.historyPath);
  options.keepDays = config::NumberOf(settings, &config::Settings::historyDays);
  // Drops are told once per episode on the appending thread, write
  // failures on the store's writer thread; a warning blocks neither.
  options.report = [this](std::string_view text) {
    desk_.ShowWarning("history: " + std::string(text));
  };
  std::string error;
  history_ = history::Store::Open(options, error);
  if (!history_) {
    desk_.ShowWarning(error + "; the server runs without history");
    return;
  }
  protocol.history = history_.get();
  protocol.historyMax =
      static_cast<std::size_t>(config::NumberOf(settings, &config::Settings::historyMax));
}

std::function<void(int error)> Server::ReportAcceptSpell(std::string_view what) {
  return [this, what](int error) {
    desk_.ShowWarning(error != 0 ? "cannot accept " + std::string(what) + " (" +
                                       std::string(std::strerror(error)) + "); retrying"
                                 : "accepting " + std::string(what) + " again");
  };
}

void Server::ThreadEnded(std::atomic<int>& counter) {
  // Notified under the mutex: once the waiter sees zero it may destroy this
  // object, so nothing of it may be touched after the unlock.
  base::MutexLock lock(drainMutex_);
  --counter;
  drained_.notify_all();
}

bool Server::Park(std::initializer_list<int> sockets, std::function<void()> resume,
                  std::function<bool()> absorb) {
  ++liveConnectionThreads;
  const bool parked = parking.Park(
      sockets,
      [this, resume] {
        return base::StartDetachedThread([this, resume] {
          resume();
          ThreadEnded(liveConnectionThreads);
        });
      },
      std::move(absorb));
  if (!parked) ThreadEnded(liveConnectionThreads);
  return parked;
}

bool Server::Drained() const {
  return liveConnectionThreads.load() == 0 && liveWebThreads.load() == 0;
}

void Server::WaitDrained() {
  base::MutexLock lock(drainMutex_);
  while (!Drained()) drained_.wait(drainMutex_);
}

void Server::ShutDown() {
  if (shutDownDone_.exchange(true)) return;
  desk_.DisableQuitButton();
  sweeper_.reset();
  operator_.Stop();
  web_.Close();
  tls_.Close();
  irc_.Close();
  {
    irc::ProtocolLock lock(protocol);
    protocol.shuttingDown = true;
    for (int i = 0; protocol.users && i < protocol.users->Capacity(); ++i) {
      irc::UserSlot& slot = protocol.users->Slot(i);
      if (slot.inUse && slot.output) slot.output->Shutdown();
    }
  }
  // Only a window state that came from the file goes back to it: after a
  // load that failed, the desk holds defaults that would overwrite the very
  // values the person has to correct.
  if (settingsLoaded_ && (!config::SaveWindowPosition(paths.settingsFile, desk_.WindowGeometry()) ||
                          !SaveColorsNow())) {
    desk_.ShowError(WhyNot("cannot write the settings file", paths.settingsFile));
  }
  desk_.ShowStatus("shutting down; waiting for connections to end");
}

}  // namespace zelkord::server
