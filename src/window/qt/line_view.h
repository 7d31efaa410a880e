// A read-only view of one of the core's bounded line lists (a channel's
// conversation, a connection's received or sent lines, the web requests).
// It is handed the whole list each time and changes its document only as
// much as the list changed: lines dropped from the top are removed and new
// lines appended, so a reader scrolled up keeps his place. A hidden view
// only keeps the latest list and renders it when it is next shown, so a
// flood costs nothing for the pages nobody looks at. Memory is the list
// itself, twice at most; the view has no undo history.
//
// Above the list the view may hold older lines (a channel page's lines read
// back from the history store): they are put in at the top, and while there
// are any, lines the list drops stay in the view as older lines too, up to
// kMaxOlderLines, beyond which the oldest go.
#pragma once

#include <QPlainTextEdit>
#include <string>
#include <vector>

namespace zelkord::window::qt {

inline constexpr int kMaxOlderLines = 10000;

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

  // Puts lines (UTF-8, oldest first) above everything shown, the reader
  // keeping his place. Main thread.
  void PrependLines(const std::vector<std::string>& lines);
  // Lines above the list now. Main thread.
  [[nodiscard]] int OlderLines() const { return olderLines_; }
  // The document's first lines, at most count, as Shift_JIS. Main thread.
  [[nodiscard]] std::vector<std::string> TopLines(int count) const;

 signals:
  // The left button was pressed at globalPos, with SetLeftPressMenu on.
  void leftPressed(QPoint globalPos);
  // The reader scrolled up at the top (wheel, scroll bar or page up).
  void topReached();
  // The count oldest lines above the list left the view.
  void olderDropped(int count);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void Render();
  // Removes the count first lines of the document.
  void RemoveTop(int count);
  // Tells of the top after the scroll under way has settled.
  void CheckTopLater();

  std::vector<std::string> latest_;  // what the core holds
  std::vector<std::string> shown_;   // what the document holds
  bool stale_ = false;
  bool leftPressMenu_ = false;
  int olderLines_ = 0;
};

}  // namespace zelkord::window::qt
