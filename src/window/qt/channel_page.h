// One channel's page of the main window's page tabs: the member list with its
// splitter on the right, the conversation view, the input line with "Join"
// and "Part" beneath it, and the status bar with the mode, limit, key and
// topic texts. The page only mirrors a snapshot of the channel; what the
// buttons and the input line do is the main window's business (signals).
// Scrolled up at its top, the view asks for older lines, which the page
// reads from the history store the main window hands it.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QWidget>
#include <array>
#include <string>
#include <vector>

#include "history/store.h"
#include "window/desk_actions.h"
#include "window/qt/line_view.h"
#include "window/scrollback.h"

namespace zelkord::window::qt {

inline constexpr int kMemberListWidth = 100;
inline constexpr int kInputBarHeight = 24;
inline constexpr int kInputHeight = 20;
inline constexpr int kButtonAreaWidth = 80;
inline constexpr int kButtonWidth = 36;
// Status panel widths: modes, limit, key, topic (the last one stretches).
inline constexpr std::array<int, 4> kStatusPanelWidths{44, 40, 82, 40};
// The caption mark a page has at creation: two spaces.
inline constexpr std::string_view kNewPageMark = "  ";

class ChannelPage : public QWidget {
  Q_OBJECT

 public:
  // A new page for channel name (Shift_JIS), its view and input line in the
  // channel colours back and fore (settings colour values). Main thread.
  ChannelPage(std::string name, int back, int fore, QWidget* parent = nullptr);

  [[nodiscard]] const std::string& Name() const { return name_; }
  // The tab caption: the two-byte mark followed by the name (Shift_JIS).
  [[nodiscard]] std::string Caption() const { return mark_ + name_; }
  // Replaces the two-byte mark (from the user details). Main thread.
  void SetMark(std::string_view mark) { mark_.assign(mark); }

  // Shows the channel's members, status texts and view lines. Main thread.
  void Update(const window::ChannelPageSnapshot& snapshot);
  // Recolours the view and the input line. Main thread.
  void SetColors(int back, int fore);
  [[nodiscard]] int BackValue() const { return back_; }
  [[nodiscard]] int ForeValue() const { return fore_; }

  [[nodiscard]] const std::vector<std::string>& Members() const { return members_; }
  // The selected member's row, or -1; its standing (all false for none).
  [[nodiscard]] int SelectedMemberRow() const;
  [[nodiscard]] window::MemberStanding StandingOf(int row) const;
  // A status panel's text: 0 modes, 1 limit, 2 key, 3 topic.
  [[nodiscard]] QString StatusText(int panel) const;
  // Puts the channel's stored lines older than the view's top above it, a
  // batch at a time; store nullptr (history off) does nothing. The count
  // of lines put in. Main thread.
  int ShowOlderLines(history::Store* store);
  [[nodiscard]] LineView* View() const { return view_; }
  [[nodiscard]] QListWidget* MemberList() const { return memberList_; }
  [[nodiscard]] QLineEdit* Input() const { return input_; }
  [[nodiscard]] QPushButton* JoinButton() const { return joinButton_; }
  [[nodiscard]] QPushButton* PartButton() const { return partButton_; }

 signals:
  void joinClicked();
  void partClicked();
  // Enter in the input line.
  void inputEntered();
  // Left button on the view: the channel view menu.
  void viewMenuRequested(QPoint globalPos);
  // Right button on the member list: the member list menu.
  void memberMenuRequested(QPoint globalPos);
  // The reader scrolled up at the view's top.
  void olderLinesWanted();

 private:
  std::string name_;
  std::string mark_{kNewPageMark};
  int back_;
  int fore_;
  std::vector<std::string> members_;
  std::vector<std::string> memberRows_;
  std::vector<window::MemberStanding> standings_;
  std::array<std::string, 4> status_;
  QListWidget* memberList_;
  LineView* view_;
  QLineEdit* input_;
  QPushButton* joinButton_;
  QPushButton* partButton_;
  std::array<QLabel*, 4> panels_{};
  window::Scrollback scrollback_;
};

}  // namespace zelkord::window::qt
