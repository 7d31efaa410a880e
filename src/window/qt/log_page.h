// One connection's page inside the communication log page: the lines
// received from the client on the left, a splitter, and the lines sent to
// it on the right. Captioned with the connection's nickname once it has one.
#pragma once

#include <QWidget>
#include <string>

#include "irc/comm_log.h"
#include "window/qt/line_view.h"

namespace zelkord::window::qt {

inline constexpr int kReceivedViewWidth = 180;

class LogPage : public QWidget {
  Q_OBJECT

 public:
  // An empty page for a connection slot. Main thread.
  explicit LogPage(int slot, QWidget* parent = nullptr);

  [[nodiscard]] int Slot() const { return slot_; }
  // The caption (Shift_JIS): empty until the connection registers.
  [[nodiscard]] const std::string& Caption() const { return caption_; }
  // Shows the page's snapshot; true when the caption changed. Main thread.
  bool Update(const irc::LogPageSnapshot& snapshot);
  [[nodiscard]] LineView* Received() const { return received_; }
  [[nodiscard]] LineView* Sent() const { return sent_; }

 private:
  const int slot_;
  std::string caption_;
  LineView* received_;
  LineView* sent_;
};

}  // namespace zelkord::window::qt
