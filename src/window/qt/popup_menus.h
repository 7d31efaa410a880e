// The four pop-up menus: background and text colour for the web request
// view, the same for every channel page's view and input line at once,
// "強制切断" / "接続拒否" for the user list, and operator, voice and ban
// commands for a channel page's member list. The colour commands are split
// in two: Choose* asks the colour dialog, Set* applies a chosen colour and
// writes the colours to the settings file at once, so a colour can be set
// without a person at the dialog.
#pragma once

#include <QColor>
#include <QMenu>
#include <QPoint>
#include <memory>

#include "window/desk_actions.h"

namespace zelkord::window::qt {

class MainWindow;

class PopupMenus {
 public:
  // What a colour command acts on: the item that invoked it tells.
  enum class ColorTarget { WebView, ChannelViews };

  // The menus, owned by the main window. Main thread.
  explicit PopupMenus(MainWindow& mainWindow);
  ~PopupMenus();
  PopupMenus(const PopupMenus&) = delete;
  PopupMenus& operator=(const PopupMenus&) = delete;

  // Shows a menu at a screen position. Main thread.
  void ShowWebViewMenu(QPoint globalPos);
  void ShowChannelViewMenu(QPoint globalPos);
  void ShowUserListMenu(QPoint globalPos);
  // Enables the member list's commands for the current page's selected
  // member, then shows the menu.
  void ShowMemberListMenu(QPoint globalPos);

  // Opens the colour dialog preset to the target's current colour and, when
  // a colour is chosen, sets it; a cancel changes and writes nothing. Main thread.
  void ChooseBackColor(ColorTarget target);
  void ChooseForeColor(ColorTarget target);
  // Sets the target's background or text colour: the web request view, or
  // every channel page's view and input line and Color.LogBack / LogFore
  // (pages created later take it). Then writes the colours to the settings
  // file; false, after showing why, when it cannot be written. Main thread.
  bool SetBackColor(ColorTarget target, const QColor& color);
  bool SetForeColor(ColorTarget target, const QColor& color);
  // The colour a dialog would open on. Main thread.
  [[nodiscard]] QColor CurrentBackColor(ColorTarget target) const;
  [[nodiscard]] QColor CurrentForeColor(ColorTarget target) const;

  // The user list's commands on its selected row; the first row is never
  // acted on. false when nothing was done. Main thread.
  bool ForceDisconnect();
  bool RefuseConnection();
  // A member list command on the current channel page's selected member,
  // sent through the operator client. false when nothing was sent. Main thread.
  bool RunMemberCommand(window::MemberCommand command);
  // Enables only the commands that would change the selected member: none
  // for no member or the desk's own row, op for a non-operator, deop for
  // an operator, and so on; ban for anyone else. Main thread.
  void EnableMemberCommands();

  [[nodiscard]] QMenu* WebViewMenu() const { return webViewMenu_.get(); }
  [[nodiscard]] QMenu* ChannelViewMenu() const { return channelViewMenu_.get(); }
  [[nodiscard]] QMenu* UserListMenu() const { return userListMenu_.get(); }
  // Its items in MemberCommand order.
  [[nodiscard]] QMenu* MemberListMenu() const { return memberListMenu_.get(); }

 private:
  bool SetColor(ColorTarget target, const QColor& color, bool back);
  void ChooseColor(ColorTarget target, bool back);

  MainWindow& mainWindow_;
  // Declared in creation order, so they are destroyed in reverse.
  std::unique_ptr<QMenu> webViewMenu_;
  std::unique_ptr<QMenu> channelViewMenu_;
  std::unique_ptr<QMenu> userListMenu_;
  std::unique_ptr<QMenu> memberListMenu_;
};

}  // namespace zelkord::window::qt
