// The main window.
#include "window/qt/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSplitter>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/clock.h"
#include "services/operator_client.h"
#include "text/sjis_utf8.h"
#include "window/desk_actions.h"
#include "window/headless_desk.h"
#include "window/qt/captions.h"
#include "window/qt/popup_menus.h"
#include "window/qt/qt_text.h"

namespace zelkord::window::qt {
namespace {

using Coalescer = NotificationCoalescer;

constexpr std::array<const char*, 5> kDetailPanelNames{"PanelUser", "PanelHost", "PanelServ",
                                                       "PanelReal", "PanelHostIP"};

// The project's own documentation: the README installed beside the program,
// or the one of the source tree a build folder sits in. Empty when neither
// is there.
QString FindHomePage() {
  const QDir programDir(QCoreApplication::applicationDirPath());
  for (const QString& candidate : {QStringLiteral("README.md"), QStringLiteral("../README.md")}) {
    const QFileInfo readme(programDir.filePath(candidate));
    if (readme.isFile()) return QUrl::fromLocalFile(readme.canonicalFilePath()).toString();
  }
  return {};
}

int DefaultColor(const char* name) {
  return config::ColorFromText(name).value_or(0);
}

}  // namespace

void UserListBox::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    QListWidget::mousePressEvent(event);
    emit leftPressed();
    return;
  }
  // The menu acts on the selected row, so another button selects nothing.
  event->accept();
  emit otherPressed(event->globalPosition().toPoint());
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      webBack_(DefaultColor("clGray")),
      webFore_(DefaultColor("clWindowText")),
      coalescer_([this] {
        QMetaObject::invokeMethod(this, &MainWindow::OnRefreshPosted, Qt::QueuedConnection);
      }) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromUtf8(kAppTitle));
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  setGeometry(290, 107, kMinimumWidth + 1, kMinimumHeight);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(BuildTopBand());

  // The widgets carry fixed object names, whatever their members are
  // called: lookups by name (tests, style sheets) rely on them.
  pageTabs_ = new QTabWidget(central);
  pageTabs_->setObjectName(QStringLiteral("PageControl1"));
  QFont pageFont(QStringLiteral("IPAGothic"));
  pageFont.setStyleHint(QFont::TypeWriter);
  pageFont.setFixedPitch(true);
  pageFont.setPixelSize(kPageFontPixels);
  pageTabs_->setFont(pageFont);
  settingsPages_ = new SettingsPages(pageTabs_);
  pageTabs_->addTab(settingsPages_, QString::fromUtf8(kSettingsTab));
  layout->addWidget(pageTabs_, 1);
  setCentralWidget(central);

  homePage_ = FindHomePage();
  QPushButton* home = settingsPages_->HomePageButton();
  home->setToolTip(homePage_.isEmpty() ? QStringLiteral("README.md") : homePage_);
  connect(home, &QPushButton::clicked, this, &MainWindow::HomePagePressed);
  connect(settingsPages_->SaveButton(), &QPushButton::clicked, this,
          &MainWindow::SaveSettingsPressed);
  connect(settingsPages_->QuitButton(), &QPushButton::clicked, this, &QWidget::close);
  connect(settingsPages_, &SettingsPages::clientJoinClicked, this, [this] {
    if (server_ != nullptr) server_->Operator().Join(settingsPages_->ClientChannel());
  });

  menus_ = std::make_unique<PopupMenus>(*this);
  connect(webView_, &LineView::leftPressed, this,
          [this](QPoint globalPos) { menus_->ShowWebViewMenu(globalPos); });
  connect(userList_, &UserListBox::leftPressed, this, &MainWindow::ShowSelectedUserDetails);
  connect(userList_, &UserListBox::otherPressed, this, [this](QPoint globalPos) {
    menus_->ShowUserListMenu(QPoint(globalPos.x(), frameGeometry().top() + kUserMenuDrop));
  });

  sweepTimer_.setParent(this);  // findable by name; the member still owns it
  sweepTimer_.setObjectName(QStringLiteral("Timer1"));
  sweepTimer_.setInterval(kSweepIntervalMs);
  connect(&sweepTimer_, &QTimer::timeout, this, [this] {
    if (server_ != nullptr) server_->RequestSweep();
  });
  sweepTimer_.start();
  refreshTimer_.setSingleShot(true);
  connect(&refreshTimer_, &QTimer::timeout, this, &MainWindow::Refresh);
  drainTimer_.setInterval(kDrainRetryMs);
  connect(&drainTimer_, &QTimer::timeout, this, &QWidget::close);
  sinceRefresh_.start();
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::BuildTopBand() {
  auto* band = new QSplitter(Qt::Horizontal);
  band->setObjectName(QStringLiteral("TopBand"));
  band->setFixedHeight(kTopBandHeight);
  band->setHandleWidth(kSplitterWidth);
  band->setChildrenCollapsible(false);

  userList_ = new UserListBox(band);
  userList_->setObjectName(QStringLiteral("ListBox1"));
  userList_->setSelectionMode(QAbstractItemView::SingleSelection);
  userList_->setContextMenuPolicy(Qt::NoContextMenu);  // its own menu comes on any press

  auto* rest = new QWidget(band);
  auto* restLayout = new QHBoxLayout(rest);
  restLayout->setContentsMargins(0, 0, 0, 0);
  restLayout->setSpacing(0);
  auto* details = new QWidget(rest);
  details->setFixedWidth(kDetailsWidth);
  for (std::size_t i = 0; i < detailPanels_.size(); ++i) {
    auto* panel = new QLabel(details);
    panel->setObjectName(QString::fromLatin1(kDetailPanelNames[i]));
    panel->setGeometry(3, 2 + static_cast<int>(i) * (kDetailPanelHeight + 3), kDetailPanelWidth,
                       kDetailPanelHeight);
    panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    panel->setAutoFillBackground(true);
    QPalette colors = panel->palette();
    colors.setColor(QPalette::Window, QColor(0x80, 0x80, 0x80));
    colors.setColor(QPalette::WindowText, Qt::white);
    panel->setPalette(colors);
    detailPanels_[i] = panel;
  }
  restLayout->addWidget(details);
  webView_ = new LineView(rest);
  webView_->setObjectName(QStringLiteral("Memo1"));
  webView_->setFocusPolicy(Qt::ClickFocus);  // not reachable with the Tab key
  webView_->SetLeftPressMenu(true);
  webView_->SetColors(ToQColor(webBack_), ToQColor(webFore_));
  restLayout->addWidget(webView_, 1);

  band->addWidget(userList_);
  band->addWidget(rest);
  band->setStretchFactor(0, 0);
  band->setStretchFactor(1, 1);
  band->setSizes({kUserListWidth, kMinimumWidth - kUserListWidth});
  return band;
}

void MainWindow::AttachServer(server::Server* server) {
  server_ = server;
  settingsPages_->AttachBanList(server != nullptr ? &server->protocol.banList : nullptr);
}

server::StartResult MainWindow::StartServer() {
  if (server_ == nullptr) return {false, "no server"};
  const server::StartResult started = server_->Start();
  if (server_->protocol.commLog) AddCommLogPage();
  if (!started.ok) ShowError(started.error);
  // Start-up ran here, on the GUI thread: show its outcome at once.
  RefreshNow();
  return started;
}

void MainWindow::AddCommLogPage() {
  if (commLogPage_ != nullptr) return;
  commLogPage_ = new QWidget;
  commLogPage_->setObjectName(QStringLiteral("CommLogSheet"));
  auto* layout = new QVBoxLayout(commLogPage_);
  layout->setContentsMargins(0, 0, 0, 0);
  logTabs_ = new QTabWidget(commLogPage_);
  logTabs_->setObjectName(QStringLiteral("CommLogPages"));
  layout->addWidget(logTabs_);
  commLogWarning_ = new QLabel(commLogPage_);
  commLogWarning_->setObjectName(QStringLiteral("CommLogWarning"));
  commLogWarning_->hide();
  layout->addWidget(commLogWarning_);
  // Always right after the settings page, before any channel page.
  pageTabs_->insertTab(1, commLogPage_, QString::fromUtf8(kCommLogTab));
}

// --- Desk, main thread.

void MainWindow::ShowSettingsPage(const config::SettingsPage& page) {
  settingsPages_->Show(page);
}

config::SettingsPage MainWindow::ReadSettingsPage() {
  return settingsPages_->Read();
}

void MainWindow::SetWindowGeometry(const config::WindowGeometry& geometry) {
  move(geometry.left, geometry.top);
  resize(geometry.width, geometry.height);
}

config::WindowGeometry MainWindow::WindowGeometry() {
  config::WindowGeometry geometry;
  geometry.top = y();
  geometry.left = x();
  geometry.height = height();
  geometry.width = width();
  return geometry;
}

void MainWindow::SetWebViewColors(int back, int fore) {
  webBack_ = back;
  webFore_ = fore;
  webView_->SetColors(ToQColor(back), ToQColor(fore));
}

void MainWindow::SetCaption(std::string_view caption) {
  setWindowTitle(ToQt(caption));
}

void MainWindow::DisableQuitButton() {
  settingsPages_->QuitButton()->setEnabled(false);
}

void MainWindow::ShowError(std::string_view text) {
  // Also on stderr: an error during the last shut-down has no window left.
  const std::string line = "zelkord: " + text::SjisToDisplayUtf8(text) + "\n";
  std::fputs(line.c_str(), stderr);
  if (errors_.size() == kErrorsKept) errors_.erase(errors_.begin());
  errors_.emplace_back(text);
  pendingErrors_.emplace_back(text);
  if (isVisible()) ShowPendingErrors();
}

void MainWindow::ShowPendingErrors() {
  for (const std::string& text : pendingErrors_) {
    // Not exec(): a message box must not hold up start-up or shut-down.
    auto* box = new QMessageBox(QMessageBox::Warning, QString::fromUtf8(kAppTitle), ToQt(text),
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
  pendingErrors_.clear();
}

void MainWindow::ShowStatus(std::string_view text) {
  const std::string line = "zelkord: " + text::SjisToDisplayUtf8(text) + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

// --- Notifications, any thread.

void MainWindow::ShowWarning(std::string_view text) {
  coalescer_.AddWarning(base::ClockTime(std::time(nullptr)) + " " + std::string(text));
}

void MainWindow::UserListChanged(std::string_view, std::string_view) {
  coalescer_.MarkDirty(Coalescer::kUsersDirty);
}

void MainWindow::ChannelAdded(std::string_view) {
  coalescer_.MarkDirty(Coalescer::kChannelsDirty);
}

void MainWindow::ChannelRemoved(std::string_view name) {
  coalescer_.ChannelRemoved(name);
}

void MainWindow::MembersChanged(std::string_view) {
  coalescer_.MarkDirty(Coalescer::kChannelsDirty);
}

void MainWindow::TopicChanged(std::string_view, std::string_view) {
  coalescer_.MarkDirty(Coalescer::kChannelsDirty);
}

void MainWindow::ChannelLine(std::string_view, std::string_view) {
  coalescer_.MarkDirty(Coalescer::kChannelsDirty);
}

void MainWindow::LogPageOpened(int slot, std::string_view) {
  MarkLogSlot(slot, Coalescer::kSlotChanged | Coalescer::kSlotReopened);
}

void MainWindow::LogPageClosed(int slot) {
  MarkLogSlot(slot, Coalescer::kSlotChanged);
}

void MainWindow::LogPageCaption(int slot, std::string_view) {
  MarkLogSlot(slot, Coalescer::kSlotChanged);
}

void MainWindow::TrafficLogged(int slot, irc::Traffic, std::string_view) {
  MarkLogSlot(slot, Coalescer::kSlotChanged);
}

void MainWindow::SentLogged(const std::vector<int>& pages, std::string_view) {
  coalescer_.MarkLogSlots(pages, Coalescer::kSlotChanged);
}

void MainWindow::WebRequestLogged(std::string_view) {
  coalescer_.MarkDirty(Coalescer::kWebViewDirty);
}

void MainWindow::BanListChanged() {
  coalescer_.MarkDirty(Coalescer::kBanListDirty);
}

void MainWindow::AwayChanged(std::string_view, std::string_view) {
  coalescer_.MarkDirty(Coalescer::kUsersDirty);
}

void MainWindow::MarkLogSlot(int slot, unsigned char flags) {
  coalescer_.MarkLogSlots({&slot, 1}, flags);
}

void MainWindow::OnRefreshPosted() {
  if (refreshTimer_.isActive()) return;
  const qint64 waited = sinceRefresh_.elapsed();
  refreshTimer_.start(waited >= kRefreshMs ? 0 : static_cast<int>(kRefreshMs - waited));
}

void MainWindow::RefreshNow() {
  Coalescer::Changes changes = coalescer_.Take();
  changes.bits |= Coalescer::kEverythingDirty;
  Apply(changes);
}

void MainWindow::Refresh() {
  Apply(coalescer_.Take());
}

void MainWindow::Apply(const NotificationCoalescer::Changes& changes) {
  sinceRefresh_.restart();
  if (server_ == nullptr) return;
  const unsigned bits = changes.bits;
  const std::set<std::string>& removed = changes.removedChannels;
  const bool rebuild = changes.rebuildChannels;
  const std::vector<unsigned char>& slotFlags = changes.slotFlags;
  const std::deque<std::string>& warnings = changes.warnings;
  if ((bits & Coalescer::kUsersDirty) != 0) SyncUserList();
  // What was taken from the sets is acted on even when its bit came too
  // late for this refresh: the bit only posts the next one.
  if ((bits & Coalescer::kChannelsDirty) != 0 || !removed.empty() || rebuild) {
    SyncChannels(removed, rebuild);
  }
  if ((bits & (Coalescer::kLogPagesDirty | Coalescer::kAllLogPagesDirty)) != 0 ||
      !slotFlags.empty()) {
    SyncLogPages(slotFlags, (bits & Coalescer::kAllLogPagesDirty) != 0);
  }
  if ((bits & Coalescer::kWebViewDirty) != 0) webView_->SetLines(server_->webView.Snapshot());
  if ((bits & Coalescer::kBanListDirty) != 0) settingsPages_->RefreshBanList();
  for (const std::string& warning : warnings) ShowStatus(warning);
  if (!warnings.empty() && commLogWarning_ != nullptr) {
    commLogWarning_->setText(ToQt(warnings.back()));
    commLogWarning_->show();
  }
}

void MainWindow::SyncUserList() {
  SyncUserRows();
  MarkAwayRows();
}

void MainWindow::MarkAwayRows() {
  const std::vector<std::string> away = window::SnapshotAwayTexts(server_->protocol, userRows_);
  for (std::size_t i = 0; i < away.size(); ++i) {
    QListWidgetItem* item = userList_->item(static_cast<int>(i));
    if (item == nullptr) continue;
    const bool isAway = !away[i].empty();
    item->setForeground(isAway ? QBrush(Qt::gray) : QBrush());
    item->setToolTip(isAway ? QString::fromUtf8(kAwayTip) + ToQt(away[i]) : QString());
  }
}

void MainWindow::SyncUserRows() {
  std::vector<std::string> rows = window::SnapshotUserList(server_->protocol);
  if (rows == userRows_) return;
  std::size_t differing = rows.size() + 1;
  if (rows.size() == userRows_.size()) {
    differing = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) differing += rows[i] != userRows_[i] ? 1 : 0;
  }
  if (differing == 1) {
    // One row renamed in place: the selection stays on it.
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i] != userRows_[i]) userList_->item(static_cast<int>(i))->setText(ToQt(rows[i]));
    }
    userRows_ = std::move(rows);
    return;
  }
  const int selected = SelectedUserRow();
  const std::string selectedText =
      selected >= 0 ? userRows_[static_cast<std::size_t>(selected)] : "";
  userRows_ = std::move(rows);
  userList_->clear();
  int reselect = -1;
  for (std::size_t i = 0; i < userRows_.size(); ++i) {
    userList_->addItem(ToQt(userRows_[i]));
    if (selected >= 0 && reselect < 0 && userRows_[i] == selectedText)
      reselect = static_cast<int>(i);
  }
  SelectUserRow(reselect);
}

ChannelPage* MainWindow::AddChannelPage(const std::string& name) {
  const auto color = [](const std::string& text, const char* fallback) {
    return config::ColorFromText(text).value_or(DefaultColor(fallback));
  };
  auto* page = new ChannelPage(name, color(server_->protocol.settings.colorLogBack, "clWindow"),
                               color(server_->protocol.settings.colorLogFore, "clWindowText"));
  page->setObjectName(QStringLiteral("ChannelPage"));
  connect(page, &ChannelPage::joinClicked, this, [this, page] {
    if (server_ != nullptr) server_->Operator().Join(page->Name());
  });
  connect(page, &ChannelPage::partClicked, this, [this, page] {
    if (server_ != nullptr) server_->Operator().Part(page->Name());
  });
  connect(page, &ChannelPage::inputEntered, this, [this, page] {
    if (server_ == nullptr) return;
    if (server_->Operator().Input(page->Name(), FromQt(page->Input()->text()))) {
      page->Input()->clear();
    }
  });
  connect(page, &ChannelPage::viewMenuRequested, this,
          [this](QPoint globalPos) { menus_->ShowChannelViewMenu(globalPos); });
  connect(page, &ChannelPage::memberMenuRequested, this,
          [this](QPoint globalPos) { menus_->ShowMemberListMenu(globalPos); });
  // The store is asked for each time: it lives with the server, not the page.
  connect(page, &ChannelPage::olderLinesWanted, this, [this, page] {
    (void)page->ShowOlderLines(server_ == nullptr ? nullptr : server_->HistoryStore());
  });
  pageTabs_->addTab(page, TabText(page->Caption()));
  channelPages_.push_back(page);
  return page;
}

void MainWindow::RemoveChannelPage(ChannelPage* page) {
  pageTabs_->removeTab(pageTabs_->indexOf(page));
  page->hide();
  channelPages_.erase(std::find(channelPages_.begin(), channelPages_.end(), page));
  // Later: the page may be the sender of the signal being handled.
  page->deleteLater();
}

void MainWindow::SyncChannels(const std::set<std::string>& removed, bool rebuild) {
  const std::vector<window::ChannelPageSnapshot> snapshots =
      window::SnapshotChannels(server_->protocol);
  for (ChannelPage* page : std::vector<ChannelPage*>(channelPages_)) {
    if (rebuild || removed.count(page->Name()) != 0) RemoveChannelPage(page);
  }
  // Channels keep their creation order and new ones come last, so the pages
  // that survive are those matching the table in order.
  std::size_t next = 0;
  for (ChannelPage* page : std::vector<ChannelPage*>(channelPages_)) {
    if (next < snapshots.size() && page->Name() == snapshots[next].name) {
      page->Update(snapshots[next++]);
    } else {
      RemoveChannelPage(page);
    }
  }
  for (; next < snapshots.size(); ++next)
    AddChannelPage(snapshots[next].name)->Update(snapshots[next]);
}

void MainWindow::SyncLogPages(const std::vector<unsigned char>& slotFlags, bool all) {
  if (!server_->protocol.commLog || logTabs_ == nullptr) return;
  const auto flagsOf = [&slotFlags](int slot) -> unsigned char {
    const auto index = static_cast<std::size_t>(slot);
    return index < slotFlags.size() ? slotFlags[index] : 0;
  };
  const std::vector<int> open = window::OpenLogPages(server_->protocol);
  for (LogPage* page : std::vector<LogPage*>(logPages_)) {
    const bool stillOpen = std::binary_search(open.begin(), open.end(), page->Slot());
    if (stillOpen && (flagsOf(page->Slot()) & Coalescer::kSlotReopened) == 0) continue;
    logTabs_->removeTab(logTabs_->indexOf(page));
    logPages_.erase(std::find(logPages_.begin(), logPages_.end(), page));
    page->hide();
    page->deleteLater();
  }
  for (int slot : open) {
    LogPage* page = FindLogPage(slot);
    const bool created = page == nullptr;
    if (created) {
      page = new LogPage(slot);
      logTabs_->addTab(page, QString());
      logPages_.push_back(page);
    }
    if (!created && !all && (flagsOf(slot) & Coalescer::kSlotChanged) == 0) continue;
    if (page->Update(server_->protocol.commLog->Snapshot(slot)) || created) {
      logTabs_->setTabText(logTabs_->indexOf(page), TabText(page->Caption()));
    }
  }
}

// --- Window operations.

int MainWindow::SelectedUserRow() const {
  const QList<QListWidgetItem*> selected = userList_->selectedItems();
  return selected.isEmpty() ? -1 : userList_->row(selected.front());
}

std::string MainWindow::UserRowText(int row) const {
  if (row < 0 || row >= static_cast<int>(userRows_.size())) return {};
  return userRows_[static_cast<std::size_t>(row)];
}

void MainWindow::SelectUserRow(int row) {
  if (row < 0 || row >= userList_->count()) {
    userList_->clearSelection();
    userList_->setCurrentRow(-1);
    return;
  }
  userList_->setCurrentRow(row);
}

void MainWindow::ShowSelectedUserDetails() {
  const int row = SelectedUserRow();
  if (row < 0 || server_ == nullptr) return;
  const window::UserDetails details = window::ShowUserDetails(server_->protocol, UserRowText(row));
  if (!details.found) return;
  const std::array<const std::string*, 5> texts{&details.userName, &details.hostName,
                                                &details.serverName, &details.realName,
                                                &details.address};
  const QString awayTip =
      details.awayText.empty() ? QString() : QString::fromUtf8(kAwayTip) + ToQt(details.awayText);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    detailPanels_[i]->setText(ToQt(*texts[i]));
    detailPanels_[i]->setToolTip(awayTip);
  }
  // The captions name the channels of the table now: bring the pages up to
  // it first, then mark each page by name.
  RefreshNow();
  constexpr std::size_t kMarkBytes = 2;
  for (const std::string& caption : details.channelCaptions) {
    if (caption.size() < kMarkBytes) continue;
    ChannelPage* page = FindChannelPage(std::string_view(caption).substr(kMarkBytes));
    if (page == nullptr) continue;
    page->SetMark(std::string_view(caption).substr(0, kMarkBytes));
    pageTabs_->setTabText(pageTabs_->indexOf(page), TabText(page->Caption()));
  }
}

QString MainWindow::DetailText(int panel) const {
  if (panel < 0 || panel >= static_cast<int>(detailPanels_.size())) return {};
  return detailPanels_[static_cast<std::size_t>(panel)]->text();
}

ChannelPage* MainWindow::FindChannelPage(std::string_view name) const {
  for (ChannelPage* page : channelPages_) {
    if (page->Name() == name) return page;
  }
  return nullptr;
}

QString MainWindow::TabCaption(QWidget* page) const {
  return pageTabs_->tabText(pageTabs_->indexOf(page));
}

LogPage* MainWindow::FindLogPage(int slot) const {
  for (LogPage* page : logPages_) {
    if (page->Slot() == slot) return page;
  }
  return nullptr;
}

QString MainWindow::LogTabCaption(LogPage* page) const {
  return logTabs_ == nullptr ? QString() : logTabs_->tabText(logTabs_->indexOf(page));
}

// --- Events.

void MainWindow::SaveSettingsPressed() {
  if (server_ == nullptr || server_->SaveSettingsNow()) return;
  const int why = errno;
  ShowError("cannot write the settings file " + server_->paths.settingsFile + ": " +
            std::strerror(why));
}

void MainWindow::HomePagePressed() {
  QPushButton* button = settingsPages_->HomePageButton();
  if (!homePage_.isEmpty()) {
    // A failing open is not reported, as nothing depends on it.
    QDesktopServices::openUrl(QUrl(homePage_));
    return;
  }
  QToolTip::showText(button->mapToGlobal(QPoint(0, button->height())), button->toolTip(), button);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (server_ == nullptr) {
    event->accept();
    return;
  }
  server_->ShutDown();  // the first request only; later ones do nothing
  if (server_->Drained()) {
    drainTimer_.stop();
    event->accept();
    return;
  }
  event->ignore();
  if (!drainTimer_.isActive()) drainTimer_.start();
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!pendingErrors_.empty()) {
    QTimer::singleShot(0, this, &MainWindow::ShowPendingErrors);
  }
}

}  // namespace zelkord::window::qt
