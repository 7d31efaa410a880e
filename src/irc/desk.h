// The desk: everything the core needs of the window, as one abstract class.
// The core calls only this interface; the headless desk and the Qt window
// implement it. Notifications are called by protocol threads, often while
// they hold the protocol lock: they must never block and never call back
// into the core. The window reads state through the core's snapshots instead.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"

namespace zelkord::irc {

// Direction of a communication-log line.
enum class Traffic { Received = 0, Sent = 1 };

class Desk {
 public:
  virtual ~Desk() = default;

  // --- Window state used by start-up, shut-down and the settings file.
  // Called on the thread that runs start-up and shut-down.
  virtual void ShowSettingsPage(const config::SettingsPage& page) = 0;
  [[nodiscard]] virtual config::SettingsPage ReadSettingsPage() = 0;
  virtual void SetWindowGeometry(const config::WindowGeometry& geometry) = 0;
  [[nodiscard]] virtual config::WindowGeometry WindowGeometry() = 0;
  virtual void SetWebViewColors(int back, int fore) = 0;
  [[nodiscard]] virtual int WebViewBack() = 0;
  [[nodiscard]] virtual int WebViewFore() = 0;
  virtual void SetCaption(std::string_view caption) = 0;
  virtual void DisableQuitButton() = 0;
  // An error a person must act on: a message box, or stderr when headless.
  virtual void ShowError(std::string_view text) = 0;
  // A plain progress or status line (listening, draining, stopped).
  virtual void ShowStatus(std::string_view text) = 0;

  // --- Notifications. Any thread; never block; texts are Shift_JIS.
  virtual void UserListChanged(std::string_view what, std::string_view nick) = 0;
  virtual void ChannelAdded(std::string_view name) = 0;
  virtual void ChannelRemoved(std::string_view name) = 0;
  virtual void MembersChanged(std::string_view channel) = 0;
  virtual void TopicChanged(std::string_view channel, std::string_view topicText) = 0;
  virtual void ChannelLine(std::string_view channel, std::string_view line) = 0;
  virtual void LogPageOpened(int slot, std::string_view address) = 0;
  virtual void LogPageClosed(int slot) = 0;
  virtual void LogPageCaption(int slot, std::string_view caption) = 0;
  virtual void TrafficLogged(int slot, Traffic direction, std::string_view text) = 0;
  // One line sent to each of the pages: TrafficLogged for each, unless the desk
  // takes them at once (a channel line reaches every member's page).
  virtual void SentLogged(const std::vector<int>& pages, std::string_view text) {
    for (int slot : pages) TrafficLogged(slot, Traffic::Sent, text);
  }
  virtual void WebRequestLogged(std::string_view line) = 0;
  virtual void BanListChanged() = 0;
  // A condition the person should know of, found while serving (accepts
  // failing for lack of resources, day-log lines dropped): a status line
  // headless, and in the window also a line on the communication log page.
  virtual void ShowWarning(std::string_view text) = 0;
  // A connection's wire encoding changed (text says to what and why). The
  // window shows it on the connection's communication-log page, which the
  // core has already written; the headless desk prints it as a status line.
  virtual void EncodingChanged(int /*slot*/, std::string_view /*text*/) {}
  // A registered user went away (awayText is the message) or came back
  // (awayText is empty). The window marks the user-list row.
  virtual void AwayChanged(std::string_view /*nick*/, std::string_view /*awayText*/) {}
  // Whether the desk shows the lines of the communication-log pages. A desk
  // that never shows them spares the log keeping them; pages, captions and
  // TrafficLogged are told all the same. Asked once, when the log is made.
  [[nodiscard]] virtual bool ShowsTrafficLines() const { return true; }
};

}  // namespace zelkord::irc
