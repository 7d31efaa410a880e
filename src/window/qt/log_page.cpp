// Communication log pages.
#include "window/qt/log_page.h"

#include <QHBoxLayout>
#include <QSplitter>

namespace zelkord::window::qt {

LogPage::LogPage(int slot, QWidget* parent) : QWidget(parent), slot_(slot) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->setChildrenCollapsible(false);
  received_ = new LineView(splitter);
  received_->setObjectName(QStringLiteral("ReceivedView"));
  sent_ = new LineView(splitter);
  sent_->setObjectName(QStringLiteral("SentView"));
  splitter->addWidget(received_);
  splitter->addWidget(sent_);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({kReceivedViewWidth, 300});
  layout->addWidget(splitter);
}

bool LogPage::Update(const irc::LogPageSnapshot& snapshot) {
  received_->SetLines(snapshot.received);
  sent_->SetLines(snapshot.sent);
  if (snapshot.caption == caption_) return false;
  caption_ = snapshot.caption;
  return true;
}

}  // namespace zelkord::window::qt
