// Channel pages.
#include "window/qt/channel_page.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "window/qt/captions.h"
#include "window/qt/qt_text.h"

namespace zelkord::window::qt {

ChannelPage::ChannelPage(std::string name, int back, int fore, QWidget* parent)
    : QWidget(parent), name_(std::move(name)), back_(back), fore_(fore) {
  auto* pageLayout = new QVBoxLayout(this);
  pageLayout->setContentsMargins(0, 0, 0, 0);
  pageLayout->setSpacing(0);

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->setChildrenCollapsible(false);
  pageLayout->addWidget(splitter, 1);

  // The view and the input bar beneath it; the member list runs the full
  // height beside them.
  auto* talk = new QWidget(splitter);
  auto* talkLayout = new QVBoxLayout(talk);
  talkLayout->setContentsMargins(0, 0, 0, 0);
  talkLayout->setSpacing(0);
  view_ = new LineView(talk);
  view_->setObjectName(QStringLiteral("ChannelView"));
  view_->SetLeftPressMenu(true);
  talkLayout->addWidget(view_, 1);

  auto* bar = new QWidget(talk);
  bar->setFixedHeight(kInputBarHeight);
  auto* barLayout = new QHBoxLayout(bar);
  barLayout->setContentsMargins(0, 2, 0, 2);
  barLayout->setSpacing(0);
  input_ = new QLineEdit(bar);
  input_->setObjectName(QStringLiteral("ChannelInput"));
  input_->setFixedHeight(kInputHeight);
  barLayout->addWidget(input_, 1);
  // The input line is always the bar's width less this area.
  auto* buttons = new QWidget(bar);
  buttons->setFixedSize(kButtonAreaWidth, kInputHeight);
  joinButton_ = new QPushButton(QString::fromUtf8(kJoin), buttons);
  joinButton_->setGeometry(2, 0, kButtonWidth, kInputHeight);
  partButton_ = new QPushButton(QString::fromUtf8(kPart), buttons);
  partButton_->setGeometry(42, 0, kButtonWidth, kInputHeight);
  barLayout->addWidget(buttons);
  talkLayout->addWidget(bar);

  memberList_ = new QListWidget(splitter);
  memberList_->setObjectName(QStringLiteral("MemberList"));
  memberList_->setSelectionMode(QAbstractItemView::SingleSelection);
  memberList_->setContextMenuPolicy(Qt::CustomContextMenu);
  splitter->addWidget(talk);
  splitter->addWidget(memberList_);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 0);
  splitter->setSizes({400, kMemberListWidth});

  auto* status = new QStatusBar(this);
  status->setSizeGripEnabled(false);
  for (std::size_t i = 0; i < panels_.size(); ++i) {
    panels_[i] = new QLabel(status);
    panels_[i]->setFrameShape(QFrame::Panel);
    panels_[i]->setFrameShadow(QFrame::Sunken);
    panels_[i]->setMinimumWidth(kStatusPanelWidths[i]);
    const bool last = i + 1 == panels_.size();
    if (!last) panels_[i]->setFixedWidth(kStatusPanelWidths[i]);
    status->addWidget(panels_[i], last ? 1 : 0);
  }
  pageLayout->addWidget(status);

  SetColors(back_, fore_);
  connect(joinButton_, &QPushButton::clicked, this, &ChannelPage::joinClicked);
  connect(partButton_, &QPushButton::clicked, this, &ChannelPage::partClicked);
  connect(input_, &QLineEdit::returnPressed, this, &ChannelPage::inputEntered);
  connect(view_, &LineView::leftPressed, this, &ChannelPage::viewMenuRequested);
  connect(view_, &LineView::topReached, this, &ChannelPage::olderLinesWanted);
  connect(view_, &LineView::olderDropped, this,
          [this](int count) { scrollback_.Dropped(static_cast<std::size_t>(count)); });
  connect(memberList_, &QListWidget::customContextMenuRequested, this, [this](QPoint pos) {
    emit memberMenuRequested(memberList_->viewport()->mapToGlobal(pos));
  });
}

void ChannelPage::Update(const window::ChannelPageSnapshot& snapshot) {
  standings_ = snapshot.standings;
  if (snapshot.members != members_ || snapshot.memberRows != memberRows_) {
    // The selection stays on its nick while the rows change around it.
    const int selected = SelectedMemberRow();
    const std::string keep =
        selected < 0 ? std::string() : members_[static_cast<std::size_t>(selected)];
    members_ = snapshot.members;
    memberRows_ = snapshot.memberRows;
    memberList_->clear();
    for (const std::string& row : memberRows_) memberList_->addItem(ToQt(row));
    for (std::size_t i = 0; selected >= 0 && i < members_.size(); ++i) {
      if (members_[i] == keep) memberList_->setCurrentRow(static_cast<int>(i));
    }
  }
  const std::array<const std::string*, 4> texts{&snapshot.modeText, &snapshot.limitText,
                                                &snapshot.keyText, &snapshot.topicText};
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (*texts[i] == status_[i]) continue;
    status_[i] = *texts[i];
    panels_[i]->setText(ToQt(status_[i]));
  }
  view_->SetLines(snapshot.view);
}

int ChannelPage::ShowOlderLines(history::Store* store) {
  if (store == nullptr || view_->OlderLines() >= kMaxOlderLines) return 0;
  // With only its own lines shown, the view's top has moved on since any
  // earlier read: its place is found anew.
  if (view_->OlderLines() == 0) scrollback_.Reset();
  std::vector<std::string> top;
  if (scrollback_.Lines() == 0) {
    top = view_->OlderLines() > 0 ? view_->TopLines(static_cast<int>(view_->Lines().size()))
                                  : view_->Lines();
  }
  const std::vector<std::string> lines = scrollback_.Older(*store, name_, top);
  view_->PrependLines(lines);
  return static_cast<int>(lines.size());
}

void ChannelPage::SetColors(int back, int fore) {
  back_ = back;
  fore_ = fore;
  const QColor backColor = ToQColor(back);
  const QColor foreColor = ToQColor(fore);
  view_->SetColors(backColor, foreColor);
  QPalette colors = input_->palette();
  colors.setColor(QPalette::Base, backColor);
  colors.setColor(QPalette::Text, foreColor);
  input_->setPalette(colors);
}

int ChannelPage::SelectedMemberRow() const {
  const QList<QListWidgetItem*> selected = memberList_->selectedItems();
  const int row = selected.isEmpty() ? -1 : memberList_->row(selected.front());
  return row < static_cast<int>(members_.size()) ? row : -1;
}

window::MemberStanding ChannelPage::StandingOf(int row) const {
  if (row < 0 || row >= static_cast<int>(standings_.size())) return {};
  return standings_[static_cast<std::size_t>(row)];
}

QString ChannelPage::StatusText(int panel) const {
  if (panel < 0 || panel >= static_cast<int>(panels_.size())) return {};
  return panels_[static_cast<std::size_t>(panel)]->text();
}

}  // namespace zelkord::window::qt
