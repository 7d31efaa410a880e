// A read-only view of one of the core's bounded line lists (a channel's
// conversation, a connection's received or sent lines, the web requests).
// It is handed the whole list each time and changes its document only as
// much as the list changed: lines dropped from the top are removed and new
// lines appended, so a reader scrolled up keeps his place. A hidden view
// only keeps the latest list and renders it when it is next shown, so a
// flood costs nothing for the pages nobody looks at. Memory is the list
// itself, twice at most; the view has no undo history.
#pragma once

#include <QPlainTextEdit>
#include <string>
#include <vector>

namespace zelkord::window::qt {

class LineView : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit LineView(QWidget* parent = nullptr);

  // Shows lines (Shift_JIS, oldest first): at once when visible, otherwise
  // when next shown. Nothing happens when they equal the latest. Main thread.
  void SetLines(std::vector<std::string> lines);
  // The latest lines handed over. Main thread.
  [[nodiscard]] const std::vector<std::string>& Lines() const { return latest_; }
  // Lines in the document now (0 when empty). Main thread.
  [[nodiscard]] int RenderedLines() const;
  // When set, a left button press does not select text but asks for the
  // view's pop-up menu (leftPressed), and other buttons do nothing. Main thread.
  void SetLeftPressMenu(bool on);
  // Background and text colour of the view. Main thread.
  void SetColors(const QColor& back, const QColor& fore);

 signals:
  // The left button was pressed at globalPos, with SetLeftPressMenu on.
  void leftPressed(QPoint globalPos);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void Render();

  std::vector<std::string> latest_;  // what the core holds
  std::vector<std::string> shown_;   // what the document holds
  bool stale_ = false;
  bool leftPressMenu_ = false;
};

}  // namespace zelkord::window::qt
