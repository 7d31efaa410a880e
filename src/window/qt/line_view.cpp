// Bounded line views rendered by difference.
#include "window/qt/line_view.h"

#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>

#include "window/qt/qt_text.h"

namespace zelkord::window::qt {
namespace {

// How many leading lines of shown were dropped before latest was taken:
// the smallest k with shown[k..] a prefix of latest. shown.size() when the
// two lists share nothing (the view is then rebuilt).
std::size_t DroppedLines(const std::vector<std::string>& shown,
                         const std::vector<std::string>& latest) {
  for (std::size_t k = 0; k < shown.size(); ++k) {
    const std::size_t kept = shown.size() - k;
    if (kept > latest.size() || shown[k] != latest.front()) continue;
    if (std::equal(shown.begin() + static_cast<std::ptrdiff_t>(k), shown.end(), latest.begin())) {
      return k;
    }
  }
  return shown.size();
}

}  // namespace

LineView::LineView(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  // Programmatic edits would otherwise pile up in the undo stack for ever.
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void LineView::SetLines(std::vector<std::string> lines) {
  if (lines == latest_) return;
  latest_ = std::move(lines);
  stale_ = true;
  if (isVisible()) Render();
}

int LineView::RenderedLines() const {
  return document()->isEmpty() ? 0 : document()->blockCount();
}

void LineView::SetLeftPressMenu(bool on) {
  leftPressMenu_ = on;
  // A view with a menu of its own shows no editing menu on other buttons.
  setContextMenuPolicy(on ? Qt::NoContextMenu : Qt::DefaultContextMenu);
}

void LineView::SetColors(const QColor& back, const QColor& fore) {
  QPalette colors = palette();
  colors.setColor(QPalette::Base, back);
  colors.setColor(QPalette::Text, fore);
  setPalette(colors);
}

void LineView::mousePressEvent(QMouseEvent* event) {
  if (leftPressMenu_ && event->button() == Qt::LeftButton) {
    event->accept();
    emit leftPressed(event->globalPosition().toPoint());
    return;
  }
  QPlainTextEdit::mousePressEvent(event);
}

void LineView::showEvent(QShowEvent* event) {
  QPlainTextEdit::showEvent(event);
  if (stale_) Render();
}

void LineView::Render() {
  stale_ = false;
  if (shown_ == latest_) return;
  QScrollBar* bar = verticalScrollBar();
  const bool atBottom = bar->value() >= bar->maximum();
  const std::size_t dropped = latest_.empty() ? shown_.size() : DroppedLines(shown_, latest_);
  if (dropped >= shown_.size()) {
    setPlainText(JoinToQt(latest_));
  } else {
    const std::size_t kept = shown_.size() - dropped;
    if (dropped > 0) {
      QTextCursor cursor(document());
      cursor.movePosition(QTextCursor::Start);
      cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor,
                          static_cast<int>(dropped));
      cursor.removeSelectedText();
    }
    if (kept < latest_.size()) appendPlainText(JoinToQt(latest_, kept));
  }
  shown_ = latest_;
  if (atBottom) bar->setValue(bar->maximum());
}

}  // namespace zelkord::window::qt
