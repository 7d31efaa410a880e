// Bounded line views rendered by difference.
#include "window/qt/line_view.h"

#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QWheelEvent>
#include <algorithm>
#include <utility>

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
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, [this](int action) {
    if (action == QAbstractSlider::SliderSingleStepSub ||
        action == QAbstractSlider::SliderPageStepSub || action == QAbstractSlider::SliderMove ||
        action == QAbstractSlider::SliderToMinimum) {
      CheckTopLater();
    }
  });
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

void LineView::wheelEvent(QWheelEvent* event) {
  QPlainTextEdit::wheelEvent(event);
  // A small turn moves no step, and at the top nothing moves at all.
  if (event->angleDelta().y() > 0) CheckTopLater();
}

void LineView::CheckTopLater() {
  // Queued: the scroll bar sets its value only after it reports the action,
  // and lines put in above must not have their place overwritten.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (verticalScrollBar()->value() <= verticalScrollBar()->minimum()) emit topReached();
      },
      Qt::QueuedConnection);
}

void LineView::PrependLines(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  if (stale_) Render();
  QString text;
  for (const std::string& line : lines) {
    text.append(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
    text.append(QLatin1Char('\n'));
  }
  QScrollBar* bar = verticalScrollBar();
  const int place = bar->value();
  if (document()->isEmpty()) {
    text.chop(1);
    setPlainText(text);
  } else {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(text);
  }
  olderLines_ += static_cast<int>(lines.size());
  bar->setValue(place + static_cast<int>(lines.size()));
}

std::vector<std::string> LineView::TopLines(int count) const {
  std::vector<std::string> lines;
  for (QTextBlock block = document()->begin();
       block.isValid() && static_cast<int>(lines.size()) < count; block = block.next()) {
    lines.push_back(FromQt(block.text()));
  }
  return lines;
}

void LineView::RemoveTop(int count) {
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::Start);
  cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, count);
  cursor.removeSelectedText();
}

void LineView::Render() {
  stale_ = false;
  if (shown_ == latest_) return;
  QScrollBar* bar = verticalScrollBar();
  const bool atBottom = bar->value() >= bar->maximum();
  const std::size_t dropped = latest_.empty() ? shown_.size() : DroppedLines(shown_, latest_);
  if (dropped >= shown_.size() && !(shown_.empty() && olderLines_ > 0)) {
    // Nothing in common: older lines would sit above a gap, so they go too.
    if (olderLines_ > 0) emit olderDropped(std::exchange(olderLines_, 0));
    setPlainText(JoinToQt(latest_));
  } else {
    const std::size_t kept = shown_.size() - dropped;
    if (olderLines_ > 0) {
      // Dropped from the list, the lines stay above it as older lines.
      olderLines_ += static_cast<int>(dropped);
    } else if (dropped > 0) {
      RemoveTop(static_cast<int>(dropped));
    }
    if (kept < latest_.size()) appendPlainText(JoinToQt(latest_, kept));
    if (olderLines_ > kMaxOlderLines) {
      const int excess = olderLines_ - kMaxOlderLines;
      RemoveTop(excess);
      olderLines_ = kMaxOlderLines;
      emit olderDropped(excess);
    }
  }
  shown_ = latest_;
  if (atBottom) bar->setValue(bar->maximum());
}

}  // namespace zelkord::window::qt
