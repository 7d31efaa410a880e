// Start-up, shut-down and final clean-up of one server.
#include "frame/procunit.h"

#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "frame/clock.h"
#include "frame/tcpunit.h"
#include "irc/srvunit.h"

namespace zelkord::frame {
namespace {

void* ThreadTrampoline(void* arg) {
  std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
  (*fn)();
  return nullptr;
}

std::string WhyNot(std::string_view what, const std::string& path) {
  std::string text(what);
  text.append(" ").append(path).append(": ").append(std::strerror(errno));
  return text;
}

}  // namespace

bool StartDetachedThread(std::function<void()> fn) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto* heapFn = new std::function<void()>(std::move(fn));
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, ThreadTrampoline, heapFn);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete heapFn;
    return false;
  }
  return true;
}

Server::Server(window::Desk& deskIn, InstancePaths pathsIn)
    : desk(deskIn), paths(std::move(pathsIn)), settings(DefaultSettings(paths)), webView(deskIn) {}

Server::~Server() {
  ShutDown();
  WaitDrained();
  if (operatorReader_.joinable()) operatorReader_.join();
  // Listeners stay open (shut down) until no thread can be inside accept on
  // them, so their numbers cannot be reused under a waiting thread.
  TcpClose(closedIrcListener_);
  TcpClose(closedWebListener_);
}

StartResult Server::LoadAndShowSettings() {
  LoadedSettings loaded = LoadSettings(paths);  // throws SettingsNumberError
  if (loaded.cleanupWriteFailed) {
    return {false, WhyNot("cannot write the settings file", paths.settingsFile)};
  }
  settings = std::move(loaded.settings);
  banList.Assign(std::move(loaded.banList));
  desk.SetWindowGeometry(loaded.geometry);
  desk.SetWebViewColors(loaded.webLogBack, loaded.webLogFore);
  desk.ShowSettingsPage(PageFromSettings(settings));
  desk.BanListChanged();
  if (loaded.banListCut) {
    desk.ShowStatus("the ban list holds more than 1024 patterns; only the first 1024 are used");
  }
  if (!SaveSettings(paths.settingsFile, desk.ReadSettingsPage(), banList.Snapshot()) ||
      !SaveWindowPosition(paths.settingsFile, desk.WindowGeometry()) ||
      !SaveColors(paths.settingsFile, desk.WebViewBack(), desk.WebViewFore(), settings.colorLogBack,
                  settings.colorLogFore)) {
    return {false, WhyNot("cannot write the settings file", paths.settingsFile)};
  }
  desk.SetCaption("Zelkord Ver. " + settings.programVersion);
  settingsLoaded_ = true;
  return {true, {}};
}

StartResult Server::Start() {
  try {
    StartResult loaded = LoadAndShowSettings();
    if (!loaded.ok) return loaded;
    // Every number the server runs on is converted here, once, so a bad
    // value stops start-up instead of failing later inside a connection.
    const int userMax = ToInt("Program.UserMax", settings.programUserMax);
    const int chanMax = ToInt("Program.ChanMax", settings.programChanMax);
    const int logLines = ToInt("Log.Lines", settings.logLines);
    const int port = ToInt("Server.Port", settings.serverPort);
    commLog = std::make_unique<services::CommLog>(userMax, desk);
    channels::ChannelLogOptions logOptions;
    logOptions.lines = logLines > 0 ? static_cast<std::size_t>(logLines) : 0;
    logOptions.save = settings.logSave != "Disable";
    logOptions.path = settings.logPath;
    logOptions.operatorNick = settings.clientNick;
    {
      MutexLock lock(connectionLock);
      users = std::make_unique<irc::UserTable>(userMax, chanMax);
      channels = std::make_unique<channels::ChannelTable>(chanMax, logOptions, desk);
    }
    if (TcpStartup(ownAddress) != 0 || !writer.Ready()) {
      return {false, "the sockets cannot start"};
    }
    startTimeText = LongDateTime();
    const int listener = TcpListen(port);
    if (listener == kNoSocket) {
      return {false,
              "cannot listen on IRC port " + std::to_string(port) + ": " + std::strerror(errno)};
    }
    ircListener_ = listener;
    ircPort_ = TcpBoundPort(listener);
    if (!StartConnectionThread()) return {false, "cannot start a connection thread"};
    sweeper_ = std::make_unique<services::Sweeper>(*this, sweepInterval);
    if (startOperatorClient) StartOperatorClient();
    // Only exactly "Enable" runs the web service.
    if (settings.webSend == "Enable") {
      const int webPort = ToInt("Web.Port", settings.webPort);
      const int webListener = TcpListen(webPort);
      if (webListener == kNoSocket) {
        // Not fatal: IRC is served; the person is told the pages are not.
        desk.ShowError("cannot listen on web port " + std::to_string(webPort) + ": " +
                       std::strerror(errno) + "; the status pages are not served");
      } else {
        webListener_ = webListener;
        webPort_ = TcpBoundPort(webListener);
        if (StartWebThread()) {
          desk.ShowStatus("serving status pages on port " + std::to_string(webPort_));
        }
      }
    }
  } catch (const SettingsNumberError& error) {
    return {false, error.what()};
  }
  desk.ShowStatus("listening for IRC on port " + std::to_string(ircPort_));
  return {true, {}};
}

void Server::StartOperatorClient() {
  operatorSocket_ = TcpConnect("127.0.0.1", ircPort_);
  const int socket = operatorSocket_;
  // The reader only drains: the server's sends to the operator must never
  // back up, whatever their length.
  operatorReader_ = std::thread([socket] {
    char sink[4096];
    while (socket >= 0 && recv(socket, sink, sizeof sink, 0) > 0) {
    }
  });
  // With a server password the operator must give it too, or the desk
  // could never talk.
  if (!settings.serverPassWord.empty()) {
    irc::SendClientLine(socket, "pass " + settings.serverPassWord);
  }
  irc::SendClientLine(socket, "nick " + settings.clientNick);
  irc::SendClientLine(
      socket, "user Administrator " + settings.serverName + " 127.0.0.1 :" + settings.clientReal);
}

bool Server::StartWebThread() {
  ++liveWebThreads;
  if (StartDetachedThread([this] { services::RunWebThread(*this); })) return true;
  ThreadEnded(liveWebThreads);
  return false;
}

void Server::OperatorSend(std::string_view line) {
  irc::SendClientLine(operatorSocket_, line);
}

void Server::RequestSweep() {
  if (sweeper_) sweeper_->RequestSweep();
}

bool Server::SaveSettingsNow() {
  return SaveSettings(paths.settingsFile, desk.ReadSettingsPage(), banList.Snapshot());
}

bool Server::SaveColorsNow() {
  return SaveColors(paths.settingsFile, desk.WebViewBack(), desk.WebViewFore(),
                    settings.colorLogBack, settings.colorLogFore);
}

bool Server::StartConnectionThread() {
  ++liveConnectionThreads;
  if (StartDetachedThread([this] { irc::RunConnectionThread(*this); })) return true;
  ThreadEnded(liveConnectionThreads);
  return false;
}

void Server::ThreadEnded(std::atomic<int>& counter) {
  // Notified under the mutex: once the waiter sees zero it may destroy this
  // object, so nothing of it may be touched after the unlock.
  std::lock_guard lock(drainMutex_);
  --counter;
  drained_.notify_all();
}

bool Server::Drained() const {
  return liveConnectionThreads.load() == 0 && liveWebThreads.load() == 0;
}

void Server::WaitDrained() {
  std::unique_lock lock(drainMutex_);
  drained_.wait(lock, [this] { return Drained(); });
}

void Server::ShutDown() {
  if (shutDownDone_.exchange(true)) return;
  desk.DisableQuitButton();
  sweeper_.reset();
  if (operatorSocket_ != kNoSocket) {
    TcpShutdown(operatorSocket_);
    if (operatorReader_.joinable()) operatorReader_.join();
    operatorSocket_ = TcpClose(operatorSocket_);
  }
  const int webListener = webListener_.exchange(kNoSocket);
  if (webListener != kNoSocket) {
    TcpShutdown(webListener);  // fails the waiting web thread's accept
    closedWebListener_ = webListener;
  }
  const int listener = ircListener_.exchange(kNoSocket);
  if (listener != kNoSocket) {
    // Shutting the listener down fails the pending accept, so the waiting
    // thread ends without a successor.
    TcpShutdown(listener);
    closedIrcListener_ = listener;
  }
  {
    ProtocolLock lock(*this);
    shuttingDown = true;
    for (int i = 0; users && i < users->Capacity(); ++i) {
      irc::UserSlot& slot = users->Slot(i);
      if (slot.inUse && slot.connection) slot.connection->Shutdown();
    }
  }
  // Only a window state that came from the file goes back to it: after a
  // load that failed, the desk holds defaults that would overwrite the very
  // values the person has to correct.
  if (settingsLoaded_ &&
      (!SaveWindowPosition(paths.settingsFile, desk.WindowGeometry()) || !SaveColorsNow())) {
    desk.ShowError(WhyNot("cannot write the settings file", paths.settingsFile));
  }
  desk.ShowStatus("shutting down; waiting for connections to end");
}

}  // namespace zelkord::frame
