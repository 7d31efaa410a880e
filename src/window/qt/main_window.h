// The main window: the irc::Desk the server core talks to, shown as the top
// band (user list, the five user detail panels, the web request view) over
// the page tabs (settings, communication log, one page per
// channel). Notifications from protocol threads go to the window's
// NotificationCoalescer, which posts at most one refresh to the GUI thread;
// the refresh, at most every kRefreshMs, reads the snapshots of
// window/desk_actions.h (and the log and web views' own) and changes the
// widgets where they differ. The window also
// owns the sweep timer (one liveness sweep a minute) and the two-step close:
// the first close request shuts the server down, and the window closes once
// every connection thread has ended.
#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QTabWidget>
#include <QTimer>
#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "irc/desk.h"
#include "server/server.h"
#include "window/notification_coalescer.h"
#include "window/qt/channel_page.h"
#include "window/qt/line_view.h"
#include "window/qt/log_page.h"
#include "window/qt/settings_pages.h"

namespace zelkord::window::qt {

class PopupMenus;

inline constexpr int kMinimumWidth = 546;
inline constexpr int kMinimumHeight = 386;
inline constexpr int kTopBandHeight = 106;
inline constexpr int kUserListWidth = 100;
inline constexpr int kSplitterWidth = 3;
inline constexpr int kDetailsWidth = 124;
inline constexpr int kDetailPanelWidth = 117;
inline constexpr int kDetailPanelHeight = 17;
inline constexpr int kPageFontPixels = 12;
// The sweep timer asks the server for a liveness sweep this often.
inline constexpr int kSweepIntervalMs = 60000;
// Repaints from the snapshots come at most this often.
inline constexpr int kRefreshMs = 100;
// How often a refused close is tried again while connections drain.
inline constexpr int kDrainRetryMs = 20;
// How far below the window's top edge the user list menu opens.
inline constexpr int kUserMenuDrop = 30;

// The user list: the left button selects and asks for the details, any
// other button asks for the pop-up menu and leaves the selection alone.
class UserListBox : public QListWidget {
  Q_OBJECT

 public:
  using QListWidget::QListWidget;

 signals:
  void leftPressed();
  void otherPressed(QPoint globalPos);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

// The window is the desk rather than owning one: the desk's main-thread
// calls (the settings page, the geometry, the caption, the quit button,
// errors) act on this window's own widgets and state, so a separate desk
// object would only forward each of them here and reach into the window for
// them. What needs no toolkit is kept out of the window instead: its
// notifications go straight to the NotificationCoalescer it owns, and what
// it asks of the core is window/desk_actions.h, both tested without Qt.
class MainWindow : public QMainWindow, public irc::Desk {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // The server this window fronts (nullptr: none). Set before Start and
  // cleared only after the server is destroyed. Main thread.
  void AttachServer(server::Server* server);
  [[nodiscard]] server::Server* AttachedServer() const { return server_; }
  // Start-up as the window's creation runs it: starts the server, adds the
  // communication log page and shows a failure in a message box (the
  // window stays open). Main thread.
  server::StartResult StartServer();

  // --- Desk, main thread.
  void ShowSettingsPage(const config::SettingsPage& page) override;
  [[nodiscard]] config::SettingsPage ReadSettingsPage() override;
  void SetWindowGeometry(const config::WindowGeometry& geometry) override;
  [[nodiscard]] config::WindowGeometry WindowGeometry() override;
  void SetWebViewColors(int back, int fore) override;
  [[nodiscard]] int WebViewBack() override { return webBack_; }
  [[nodiscard]] int WebViewFore() override { return webFore_; }
  void SetCaption(std::string_view caption) override;
  void DisableQuitButton() override;
  // A message box that does not block the caller; shown once the window is.
  void ShowError(std::string_view text) override;
  // Printed to standard output, as the console front end does.
  void ShowStatus(std::string_view text) override;
  void ShowWarning(std::string_view text) override;

  // --- Desk notifications. Any thread; never block, never call the core.
  void UserListChanged(std::string_view what, std::string_view nick) override;
  void ChannelAdded(std::string_view name) override;
  void ChannelRemoved(std::string_view name) override;
  void MembersChanged(std::string_view channel) override;
  void TopicChanged(std::string_view channel, std::string_view topicText) override;
  void ChannelLine(std::string_view channel, std::string_view line) override;
  void LogPageOpened(int slot, std::string_view address) override;
  void LogPageClosed(int slot) override;
  void LogPageCaption(int slot, std::string_view caption) override;
  void TrafficLogged(int slot, irc::Traffic direction, std::string_view text) override;
  void SentLogged(const std::vector<int>& pages, std::string_view text) override;
  void WebRequestLogged(std::string_view line) override;
  void BanListChanged() override;
  void AwayChanged(std::string_view nick, std::string_view awayText) override;

  // --- Window operations. Main thread.
  // Brings every widget up to the core's state now.
  void RefreshNow();
  // The selected user-list row, or -1; its text (Shift_JIS).
  [[nodiscard]] int SelectedUserRow() const;
  [[nodiscard]] std::string UserRowText(int row) const;
  [[nodiscard]] const std::vector<std::string>& UserRows() const { return userRows_; }
  // Selects a user-list row (-1: none), as a click does without the details.
  void SelectUserRow(int row);
  // The user list's left click: the selected user's details and the
  // channel captions with their marks.
  void ShowSelectedUserDetails();
  // The texts of PanelUser, PanelHost, PanelServ, PanelReal, PanelHostIP.
  [[nodiscard]] QString DetailText(int panel) const;

  [[nodiscard]] const std::vector<ChannelPage*>& ChannelPages() const { return channelPages_; }
  [[nodiscard]] ChannelPage* FindChannelPage(std::string_view name) const;
  // The page's tab caption as shown.
  [[nodiscard]] QString TabCaption(QWidget* page) const;
  [[nodiscard]] const std::vector<LogPage*>& LogPages() const { return logPages_; }
  [[nodiscard]] LogPage* FindLogPage(int slot) const;
  [[nodiscard]] QString LogTabCaption(LogPage* page) const;
  [[nodiscard]] LineView* WebView() const { return webView_; }
  [[nodiscard]] QTabWidget* PageTabs() const { return pageTabs_; }
  [[nodiscard]] SettingsPages* SettingsPane() const { return settingsPages_; }
  [[nodiscard]] PopupMenus& Menus() const { return *menus_; }
  [[nodiscard]] QListWidget* UserList() const { return userList_; }
  // The home-page address: the project's own documentation.
  [[nodiscard]] QString HomePageAddress() const { return homePage_; }

  // The errors shown (Shift_JIS), oldest first, at most kErrorsKept.
  [[nodiscard]] const std::vector<std::string>& Errors() const { return errors_; }

  // Refresh bookkeeping, for checks that nothing piles up. Any thread.
  using RefreshCounts = NotificationCoalescer::Counts;
  [[nodiscard]] RefreshCounts Counts() { return coalescer_.CurrentCounts(); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  static constexpr std::size_t kErrorsKept = 16;

  // Creates the top band: user list, detail panels, web request view.
  QWidget* BuildTopBand();
  void MarkLogSlot(int slot, unsigned char flags);
  void OnRefreshPosted();
  void Refresh();
  // Brings the widgets up to the core's state where the changes say so.
  void Apply(const NotificationCoalescer::Changes& changes);
  void SyncUserList();
  void SyncUserRows();
  // Greys the rows of away users and gives them their message as a tip.
  void MarkAwayRows();
  void SyncChannels(const std::set<std::string>& removed, bool rebuild);
  void SyncLogPages(const std::vector<unsigned char>& slotFlags, bool all);
  // The communication log page, which holds one LogPage per connection.
  void AddCommLogPage();
  void RemoveChannelPage(ChannelPage* page);
  ChannelPage* AddChannelPage(const std::string& name);
  void SaveSettingsPressed();
  void HomePagePressed();
  void ShowPendingErrors();

  server::Server* server_ = nullptr;
  UserListBox* userList_;
  std::vector<std::string> userRows_;
  std::array<QLabel*, 5> detailPanels_{};
  LineView* webView_;
  QTabWidget* pageTabs_;
  SettingsPages* settingsPages_;
  QWidget* commLogPage_ = nullptr;
  QTabWidget* logTabs_ = nullptr;
  QLabel* commLogWarning_ = nullptr;  // the newest warning, hidden until there is one
  std::vector<LogPage*> logPages_;
  std::vector<ChannelPage*> channelPages_;
  std::unique_ptr<PopupMenus> menus_;
  QString homePage_;
  int webBack_;
  int webFore_;
  std::vector<std::string> errors_;
  std::vector<std::string> pendingErrors_;  // waiting for the window to show

  QTimer sweepTimer_;
  QTimer refreshTimer_;
  QTimer drainTimer_;
  QElapsedTimer sinceRefresh_;
  // What changed since the last refresh, marked from any thread.
  NotificationCoalescer coalescer_;
};

}  // namespace zelkord::window::qt
