// The pop-up menus and their commands.
#include "window/qt/popup_menus.h"

#include <QColorDialog>
#include <cerrno>
#include <cstring>
#include <utility>

#include "window/desk_actions.h"
#include "window/qt/captions.h"
#include "window/qt/main_window.h"
#include "window/qt/qt_text.h"

namespace zelkord::window::qt {
namespace {

std::unique_ptr<QMenu> Menu(MainWindow& owner, const char* objectName) {
  auto menu = std::make_unique<QMenu>(&owner);
  menu->setObjectName(QString::fromLatin1(objectName));
  return menu;
}

// The channel colour a page created now would take.
int ChannelColor(MainWindow& mainWindow, bool back) {
  const std::string fallback = back ? "clWindow" : "clWindowText";
  const server::Server* server = mainWindow.AttachedServer();
  const std::string text = server == nullptr ? fallback
                                             : (back ? server->protocol.settings.colorLogBack
                                                     : server->protocol.settings.colorLogFore);
  return config::ColorFromText(text).value_or(*config::ColorFromText(fallback));
}

// The member list menu acts on the page in front: only its list can be clicked.
ChannelPage* CurrentChannelPage(MainWindow& mainWindow) {
  return qobject_cast<ChannelPage*>(mainWindow.PageTabs()->currentWidget());
}

}  // namespace

PopupMenus::PopupMenus(MainWindow& mainWindow)
    : mainWindow_(mainWindow),
      webViewMenu_(Menu(mainWindow, "WebViewMenu")),
      channelViewMenu_(Menu(mainWindow, "ChannelViewMenu")),
      userListMenu_(Menu(mainWindow, "UserListMenu")),
      memberListMenu_(Menu(mainWindow, "MemberListMenu")) {
  using Target = ColorTarget;
  webViewMenu_->addAction(QString::fromUtf8(kBackColor),
                          [this] { ChooseBackColor(Target::WebView); });
  webViewMenu_->addAction(QString::fromUtf8(kForeColor),
                          [this] { ChooseForeColor(Target::WebView); });
  channelViewMenu_->addAction(QString::fromUtf8(kBackColor),
                              [this] { ChooseBackColor(Target::ChannelViews); });
  channelViewMenu_->addAction(QString::fromUtf8(kForeColor),
                              [this] { ChooseForeColor(Target::ChannelViews); });
  userListMenu_->addAction(QString::fromUtf8(kForceDisconnect), [this] { ForceDisconnect(); });
  userListMenu_->addAction(QString::fromUtf8(kRefuseConnection), [this] { RefuseConnection(); });
  using Command = window::MemberCommand;
  const std::pair<const char*, Command> memberItems[] = {{kGiveOperator, Command::Op},
                                                         {kTakeOperator, Command::Deop},
                                                         {kGiveVoice, Command::Voice},
                                                         {kTakeVoice, Command::Devoice},
                                                         {kBanFromChannel, Command::Ban}};
  for (const auto& [caption, command] : memberItems) {
    memberListMenu_->addAction(QString::fromUtf8(caption),
                               [this, command] { RunMemberCommand(command); });
  }
}

PopupMenus::~PopupMenus() = default;

void PopupMenus::ShowWebViewMenu(QPoint globalPos) {
  webViewMenu_->popup(globalPos);
}
void PopupMenus::ShowChannelViewMenu(QPoint globalPos) {
  channelViewMenu_->popup(globalPos);
}
void PopupMenus::ShowUserListMenu(QPoint globalPos) {
  userListMenu_->popup(globalPos);
}

void PopupMenus::ShowMemberListMenu(QPoint globalPos) {
  EnableMemberCommands();
  memberListMenu_->popup(globalPos);
}

void PopupMenus::ChooseBackColor(ColorTarget target) {
  ChooseColor(target, true);
}
void PopupMenus::ChooseForeColor(ColorTarget target) {
  ChooseColor(target, false);
}

void PopupMenus::ChooseColor(ColorTarget target, bool back) {
  const QColor current = back ? CurrentBackColor(target) : CurrentForeColor(target);
  const QColor chosen = QColorDialog::getColor(current, &mainWindow_);
  if (!chosen.isValid()) return;  // cancelled: nothing changes, nothing is written
  SetColor(target, chosen, back);
}

QColor PopupMenus::CurrentBackColor(ColorTarget target) const {
  if (target == ColorTarget::WebView) return ToQColor(mainWindow_.WebViewBack());
  const auto& pages = mainWindow_.ChannelPages();
  return ToQColor(pages.empty() ? ChannelColor(mainWindow_, true) : pages.front()->BackValue());
}

QColor PopupMenus::CurrentForeColor(ColorTarget target) const {
  if (target == ColorTarget::WebView) return ToQColor(mainWindow_.WebViewFore());
  const auto& pages = mainWindow_.ChannelPages();
  return ToQColor(pages.empty() ? ChannelColor(mainWindow_, false) : pages.front()->ForeValue());
}

bool PopupMenus::SetBackColor(ColorTarget target, const QColor& color) {
  return SetColor(target, color, true);
}

bool PopupMenus::SetForeColor(ColorTarget target, const QColor& color) {
  return SetColor(target, color, false);
}

bool PopupMenus::SetColor(ColorTarget target, const QColor& color, bool back) {
  const int value = ColorValue(color);
  server::Server* server = mainWindow_.AttachedServer();
  if (target == ColorTarget::WebView) {
    if (back) {
      mainWindow_.SetWebViewColors(value, mainWindow_.WebViewFore());
    } else {
      mainWindow_.SetWebViewColors(mainWindow_.WebViewBack(), value);
    }
  } else {
    for (ChannelPage* page : mainWindow_.ChannelPages()) {
      page->SetColors(back ? value : page->BackValue(), back ? page->ForeValue() : value);
    }
    if (server != nullptr) {
      (back ? server->protocol.settings.colorLogBack : server->protocol.settings.colorLogFore) =
          config::ColorToText(value);
    }
  }
  if (server == nullptr) return false;
  if (server->SaveColorsNow()) return true;
  const int why = errno;
  mainWindow_.ShowError("cannot write the settings file " + server->paths.settingsFile + ": " +
                        std::strerror(why));
  return false;
}

bool PopupMenus::ForceDisconnect() {
  server::Server* server = mainWindow_.AttachedServer();
  if (server == nullptr) return false;
  const int row = mainWindow_.SelectedUserRow();
  return window::ForceDisconnect(server->protocol, row, mainWindow_.UserRowText(row));
}

bool PopupMenus::RefuseConnection() {
  server::Server* server = mainWindow_.AttachedServer();
  if (server == nullptr) return false;
  const int row = mainWindow_.SelectedUserRow();
  return window::RefuseConnection(server->protocol, row, mainWindow_.UserRowText(row));
}

void PopupMenus::EnableMemberCommands() {
  const ChannelPage* page = CurrentChannelPage(mainWindow_);
  const int row = page == nullptr ? -1 : page->SelectedMemberRow();
  const window::MemberStanding member = row < 0 ? window::MemberStanding{} : page->StandingOf(row);
  // The desk never demotes or bans itself.
  const bool other = row >= 0 && !member.isDesk;
  const bool enabled[] = {other && !member.isOperator, other && member.isOperator,
                          other && !member.isVoiced, other && member.isVoiced, other};
  const QList<QAction*> items = memberListMenu_->actions();
  for (qsizetype i = 0; i < items.size(); ++i) items[i]->setEnabled(enabled[i]);
}

bool PopupMenus::RunMemberCommand(window::MemberCommand command) {
  server::Server* server = mainWindow_.AttachedServer();
  const ChannelPage* page = CurrentChannelPage(mainWindow_);
  if (server == nullptr || page == nullptr) return false;
  const int row = page->SelectedMemberRow();
  if (row < 0) return false;
  const std::string line = window::MemberCommandLine(
      server->protocol, page->Name(), page->Members()[static_cast<std::size_t>(row)], command);
  if (line.empty()) return false;
  server->Operator().Send(line);
  return true;
}

}  // namespace zelkord::window::qt
