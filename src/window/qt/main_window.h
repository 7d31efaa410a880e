// The main window: the irc::Desk the server core talks to, shown as the top
// band (user list, the five user detail panels, the web request view) over
// the page tabs (settings, communication log, one page per
// channel). Notifications from protocol threads only mark what changed and
// post at most one refresh to the GUI thread; the refresh, at most every
// kRefreshMs, reads the snapshots of window/desk_actions.h (and the log and
// web views' own) and changes the widgets where they differ. Nothing is
// queued per line, so memory stays bounded under any load. The window also
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
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "irc/desk.h"
#include "server/server.h"
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
// Channel names remembered as removed between two refreshes; beyond this
// every channel page is rebuilt instead.
inline constexpr std::size_t kRemovedChannelsKept = 64;
// Log slots tracked one by one; a higher slot makes every page refresh.
inline constexpr int kTrackedLogSlots = 65536;
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
  void ChannelRemoved(std::string_view name) override EXCLUDES(pendingMutex_);
  void MembersChanged(std::string_view channel) override;
  void TopicChanged(std::string_view channel, std::string_view topicText) override;
  void ChannelLine(std::string_view channel, std::string_view line) override;
  void LogPageOpened(int slot, std::string_view address) override;
  void LogPageClosed(int slot) override;
  void LogPageCaption(int slot, std::string_view caption) override;
  void TrafficLogged(int slot, irc::Traffic direction, std::string_view text) override;
  void SentLogged(const std::vector<int>& pages, std::string_view text) override
      EXCLUDES(pendingMutex_);
  void WebRequestLogged(std::string_view line) override;
  void BanListChanged() override;

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
  struct RefreshCounts {
    std::uint64_t notifications = 0;  // notifications received
    std::uint64_t posts = 0;          // refreshes posted to the GUI thread
    std::uint64_t refreshes = 0;      // refreshes run
    bool posted = false;              // one refresh is on its way now
    std::size_t removedChannels = 0;  // removals remembered for the next refresh
  };
  [[nodiscard]] RefreshCounts Counts() EXCLUDES(pendingMutex_);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  enum DirtyBit : unsigned {
    kUsersDirty = 1,
    kChannelsDirty = 2,
    kLogPagesDirty = 4,
    kAllLogPagesDirty = 8,
    kWebViewDirty = 16,
    kBanListDirty = 32,
    kWarningsDirty = 64,
    kEverythingDirty = 127,
  };
  enum SlotFlag : unsigned char { kSlotChanged = 1, kSlotReopened = 2 };
  static constexpr std::size_t kErrorsKept = 16;
  static constexpr std::size_t kWarningsKept = 16;  // the newest, between two refreshes

  // Creates the top band: user list, detail panels, web request view.
  QWidget* BuildTopBand();
  void MarkDirty(unsigned bits);
  void MarkLogSlot(int slot, unsigned char flags) EXCLUDES(pendingMutex_);
  // Marks the pages' slots changed under one taking of the lock and one MarkDirty.
  void MarkLogSlots(std::span<const int> pages, unsigned char flags) EXCLUDES(pendingMutex_);
  void OnRefreshPosted();
  void Refresh() EXCLUDES(pendingMutex_);
  void SyncUserList();
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

  // What changed since the last refresh, set from any thread.
  std::atomic<unsigned> dirty_{0};
  std::atomic<bool> refreshPosted_{false};
  std::atomic<std::uint64_t> notifications_{0};
  std::atomic<std::uint64_t> posts_{0};
  std::uint64_t refreshes_ = 0;  // main thread
  // The pending-event lock (see base/mutex.h for its place in the lock
  // order): notifications take it, often under the protocol lock, only to
  // add to the fields below, and the refresh only to swap them out;
  // no other lock is taken and nothing waits while it is held.
  base::Mutex pendingMutex_;
  std::set<std::string> removedChannels_ GUARDED_BY(pendingMutex_);
  bool rebuildChannels_ GUARDED_BY(pendingMutex_) = false;
  std::vector<unsigned char> logSlots_ GUARDED_BY(pendingMutex_);
  std::deque<std::string> pendingWarnings_ GUARDED_BY(pendingMutex_);
};

}  // namespace zelkord::window::qt
