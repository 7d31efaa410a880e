// A real server core behind a real main window, for the window tests: a
// temporary instance folder with its settings file (IRC port 0, so the
// kernel picks), the window as the server's desk, started as the program
// starts it, and closed the two-step way at the end. Waits poll the Qt
// event loop with a deadline; nothing sleeps to synchronise.
#pragma once

#include <QString>
#include <QTest>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "server/server.h"
#include "support/test_client.h"
#include "support/test_server.h"
#include "window/qt/main_window.h"
#include "window/qt/popup_menus.h"
#include "window/qt/qt_text.h"

namespace zelkord::testing {

inline constexpr int kWindowWaitMs = 5000;

// Polls the event loop until done() holds or the deadline passes.
[[nodiscard]] inline bool WaitFor(const std::function<bool()>& done, int ms = kWindowWaitMs) {
  return QTest::qWaitFor(done, ms);
}

class WindowFixture {
 public:
  // Writes zelkord.INI with Server.Port 0 and the given keys ("Section.Key"
  // -> value; an empty value is written as it is), starts the server behind
  // a shown window. withOperator logs the operator client in (slot 0).
  explicit WindowFixture(const SettingsMap& settings = {}, bool withOperator = false);
  ~WindowFixture();
  WindowFixture(const WindowFixture&) = delete;
  WindowFixture& operator=(const WindowFixture&) = delete;

  [[nodiscard]] bool Started() const { return started_.ok; }
  [[nodiscard]] const std::string& StartError() const { return started_.error; }
  [[nodiscard]] window::qt::MainWindow& Window() { return *window_; }
  [[nodiscard]] server::Server& Server() { return *server_; }
  [[nodiscard]] TempDir& Dir() { return dir_; }
  [[nodiscard]] std::string SettingsFile() const { return dir_.Path() + "zelkord.INI"; }
  [[nodiscard]] int Port() const { return server_->IrcPort(); }

  [[nodiscard]] std::unique_ptr<TestClient> Connect() const {
    return std::make_unique<TestClient>(Port());
  }
  // Connects and registers; nullptr when registration fails.
  [[nodiscard]] std::unique_ptr<TestClient> Registered(const std::string& nick);
  // Registers ann and then bob and waits until the user list shows both;
  // both are nullptr unless the server started and every step went through.
  [[nodiscard]] std::array<std::unique_ptr<TestClient>, 2> AnnAndBobListed();
  // Waits until the window's user list shows exactly rows.
  [[nodiscard]] bool WaitUserRows(const std::vector<std::string>& rows);
  // Sends client's JOIN of channel and waits for its page, as
  // WaitChannelPage does.
  [[nodiscard]] window::qt::ChannelPage* JoinedPage(TestClient& client, const std::string& channel);
  // The channel page named name once the window shows it, or nullptr.
  [[nodiscard]] window::qt::ChannelPage* WaitChannelPage(const std::string& name);
  // Closes the window the two-step way; true once it has closed.
  [[nodiscard]] bool Close();

 private:
  TempDir dir_;
  std::unique_ptr<window::qt::MainWindow> window_;
  std::unique_ptr<server::Server> server_;
  server::StartResult started_;
};

// The settings file's value of key in section, or "<missing>".
[[nodiscard]] std::string IniValue(const std::string& file, const std::string& section,
                                   const std::string& key);

// The Shift_JIS text a widget shows.
[[nodiscard]] inline std::string Shown(const QString& text) {
  return window::qt::FromQt(text);
}

}  // namespace zelkord::testing
