// The settings pages and the ban group.
#include "window/qt/settings_pages.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

#include "window/qt/captions.h"
#include "window/qt/qt_text.h"

namespace zelkord::window::qt {
namespace {

QLineEdit* Field(QWidget* parent, const char* objectName, bool readOnly = false) {
  auto* field = new QLineEdit(parent);
  field->setObjectName(QString::fromLatin1(objectName));
  field->setReadOnly(readOnly);
  return field;
}

QPushButton* Button(QWidget* parent, const char* caption, const char* objectName) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  button->setObjectName(QString::fromLatin1(objectName));
  return button;
}

QLabel* Label(QWidget* parent, const char* caption) {
  return new QLabel(QString::fromUtf8(caption), parent);
}

// A grid whose field column takes the spare width; rows stay at the top.
QGridLayout* FieldGrid(QWidget* page) {
  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(8, 8, 8, 8);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(4);
  grid->setColumnStretch(1, 1);
  return grid;
}

void FinishGrid(QGridLayout* grid) {
  grid->setRowStretch(grid->rowCount(), 1);
}

// Says why the ban group changed nothing; the entry keeps the text for
// mending. Not exec(), as the window's error boxes: the event loop runs on.
void ShowBanRefusal(QWidget* parent, const std::string& text) {
  if (text.empty()) return;
  auto* box = new QMessageBox(QMessageBox::Warning, QString::fromUtf8(kAppTitle), ToQt(text),
                              QMessageBox::Ok, parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

}  // namespace

SettingsPages::SettingsPages(QWidget* parent)
    : QWidget(parent), fields_(config::kSettingsKeyCount, nullptr) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  pages_ = new QTabWidget(this);
  pages_->setObjectName(QStringLiteral("SettingsPages"));
  using config::SettingsPageId;
  pages_->addTab(BuildPage(SettingsPageId::Program), QString::fromUtf8(kProgramPage));
  pages_->addTab(BuildPage(SettingsPageId::Server), QString::fromUtf8(kServerPage));
  pages_->addTab(BuildPage(SettingsPageId::Client), QString::fromUtf8(kClientPage));
  pages_->addTab(BuildPage(SettingsPageId::Log), QString::fromUtf8(kLogPage));
  pages_->addTab(BuildPage(SettingsPageId::Web), QString::fromUtf8(kWebPage));
  layout->addWidget(pages_, 1);

  auto* bar = new QWidget(this);
  bar->setFixedHeight(kButtonBarHeight);
  auto* barLayout = new QHBoxLayout(bar);
  barLayout->setContentsMargins(4, 4, 4, 4);
  saveButton_ = Button(bar, kSaveSettings, "ButtonSave");
  homePageButton_ = Button(bar, kHomePage, "ButtonHomePage");
  quitButton_ = Button(bar, kQuit, "ButtonQuit");
  barLayout->addWidget(saveButton_);
  barLayout->addStretch(1);
  barLayout->addWidget(homePageButton_);
  barLayout->addStretch(1);
  barLayout->addWidget(quitButton_);
  layout->addWidget(bar);
}

SettingsPages::~SettingsPages() = default;

QWidget* SettingsPages::BuildPage(config::SettingsPageId id) {
  auto* page = new QWidget;
  QGridLayout* grid = FieldGrid(page);
  for (int i = 0; i < config::kSettingsKeyCount; ++i) {
    if (config::kSettingsTable[i].field.page == id) AddField(i, page, grid);
  }
  if (id == config::SettingsPageId::Server) AddBanGroup(page, grid);
  if (id == config::SettingsPageId::Client) AddChannelRow(page, grid);
  FinishGrid(grid);
  return page;
}

void SettingsPages::AddField(int index, QWidget* page, QGridLayout* grid) {
  const config::PageField& field = config::kSettingsTable[index].field;
  QWidget* widget = nullptr;
  switch (field.widget) {
    case config::FieldWidget::Check: {
      auto* box = new QCheckBox(QString::fromUtf8(field.caption), page);
      box->setObjectName(QString::fromLatin1(field.name));
      grid->addWidget(box, field.row, 1);
      fields_[index] = box;
      return;
    }
    case config::FieldWidget::Choice: {
      auto* combo = new QComboBox(page);
      combo->setObjectName(QString::fromLatin1(field.name));
      combo->setEditable(true);
      for (const char* choice : config::kEncodingChoices)
        combo->addItem(QString::fromLatin1(choice));
      widget = combo;
      break;
    }
    case config::FieldWidget::Line:
    case config::FieldWidget::ReadOnly:
      widget = Field(page, field.name, field.widget == config::FieldWidget::ReadOnly);
      break;
  }
  fields_[index] = widget;
  // A second field on a taken row stands beside the first, under its label.
  if (QLayoutItem* taken = grid->itemAtPosition(field.row, 1)) {
    auto* pair = new QHBoxLayout;
    grid->removeItem(taken);
    pair->addItem(taken);
    pair->addWidget(widget);
    grid->addLayout(pair, field.row, 1);
    return;
  }
  grid->addWidget(Label(page, field.caption), field.row, 0);
  grid->addWidget(widget, field.row, 1, 1, field.span);
  if (field.browseName == nullptr) return;
  QPushButton* browse = Button(page, kBrowse, field.browseName);
  grid->addWidget(browse, field.row, 1 + field.span);
  auto* line = static_cast<QLineEdit*>(widget);
  connect(browse, &QPushButton::clicked, this,
          [this, line, title = field.browseTitle, suffix = field.suffix] {
            Choose(line, title, suffix);
          });
}

void SettingsPages::AddBanGroup(QWidget* page, QGridLayout* grid) {
  // The group stands to the right of the first four fields.
  auto* group = new QGroupBox(QString::fromUtf8(kRefuseGroup), page);
  auto* groupLayout = new QGridLayout(group);
  groupLayout->setContentsMargins(4, 4, 4, 4);
  groupLayout->setSpacing(2);
  banEntry_ = Field(group, "EditBan");
  banList_ = new QListWidget(group);
  banList_->setObjectName(QStringLiteral("ListBox2"));
  banList_->setSelectionMode(QAbstractItemView::SingleSelection);
  QPushButton* add = Button(group, kBanAdd, "ButtonBanAdd");
  QPushButton* replace = Button(group, kBanReplace, "ButtonBanReplace");
  QPushButton* remove = Button(group, kBanDelete, "ButtonBanDelete");
  groupLayout->addWidget(banEntry_, 0, 0);
  groupLayout->addWidget(banList_, 1, 0, 3, 1);
  groupLayout->addWidget(add, 0, 1);
  groupLayout->addWidget(replace, 1, 1);
  groupLayout->addWidget(remove, 2, 1);
  groupLayout->setRowStretch(3, 1);
  grid->addWidget(group, 0, 3, 4, 1);
  grid->setColumnStretch(3, 1);

  connect(banList_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { SelectBanRow(banList_->row(item)); });
  connect(add, &QPushButton::clicked, this, &SettingsPages::AddBan);
  connect(replace, &QPushButton::clicked, this, &SettingsPages::ReplaceBan);
  connect(remove, &QPushButton::clicked, this, &SettingsPages::DeleteBan);
}

void SettingsPages::AddChannelRow(QWidget* page, QGridLayout* grid) {
  const int row = grid->rowCount();
  channel_ = Field(page, "EditChannel");
  clientJoinButton_ = Button(page, kJoin, "ButtonClientJoin");
  grid->addWidget(Label(page, kChannelName), row, 0);
  grid->addWidget(channel_, row, 1);
  grid->addWidget(clientJoinButton_, row, 2);
  connect(clientJoinButton_, &QPushButton::clicked, this, &SettingsPages::clientJoinClicked);
}

void SettingsPages::Show(const config::SettingsPage& page) {
  for (int i = 0; i < config::kSettingsKeyCount; ++i) {
    const QString text = ToQt(page.texts[i]);
    if (auto* line = qobject_cast<QLineEdit*>(fields_[i])) {
      line->setText(text);
    } else if (auto* box = qobject_cast<QCheckBox*>(fields_[i])) {
      box->setChecked(page.texts[i] == "Enable");
    } else if (auto* combo = qobject_cast<QComboBox*>(fields_[i])) {
      combo->setCurrentText(text);
    }
  }
}

config::SettingsPage SettingsPages::Read() const {
  config::SettingsPage page;
  for (int i = 0; i < config::kSettingsKeyCount; ++i) {
    if (auto* line = qobject_cast<QLineEdit*>(fields_[i])) {
      page.texts[i] = FromQt(line->text());
    } else if (auto* box = qobject_cast<QCheckBox*>(fields_[i])) {
      page.texts[i] = box->isChecked() ? "Enable" : "Disable";
    } else if (auto* combo = qobject_cast<QComboBox*>(fields_[i])) {
      page.texts[i] = FromQt(combo->currentText());
    }
  }
  return page;
}

void SettingsPages::AttachBanList(config::BanList* list) {
  bans_ = list;
  banPage_ = list != nullptr ? std::make_unique<BanPage>(*list) : nullptr;
  banRows_.clear();
  banList_->clear();
  RefreshBanList();
}

void SettingsPages::RefreshBanList() {
  if (bans_ == nullptr) return;
  std::vector<std::string> rows = bans_->Snapshot();
  if (rows != banRows_) {
    banRows_ = std::move(rows);
    banList_->clear();
    for (const std::string& row : banRows_) banList_->addItem(ToQt(row));
  }
  const int selected = banPage_->Selected();
  if (selected >= 0 && selected < banList_->count()) {
    banList_->setCurrentRow(selected);
  } else {
    banList_->setCurrentRow(-1);
    banList_->clearSelection();
  }
}

void SettingsPages::SelectBanRow(int row) {
  if (!banPage_) return;
  banPage_->entryText = FromQt(banEntry_->text());
  banPage_->SelectBanEntry(row);
  if (banPage_->Selected() >= 0) banEntry_->setText(ToQt(banPage_->entryText));
  RefreshBanList();
}

void SettingsPages::AddBan() {
  if (!banPage_) return;
  banPage_->entryText = FromQt(banEntry_->text());
  ShowBanRefusal(window(), banPage_->AddBanEntry());
  RefreshBanList();
}

void SettingsPages::ReplaceBan() {
  if (!banPage_) return;
  banPage_->entryText = FromQt(banEntry_->text());
  ShowBanRefusal(window(), banPage_->ReplaceBanEntry());
  RefreshBanList();
}

void SettingsPages::DeleteBan() {
  if (!banPage_) return;
  banPage_->DeleteBanEntry();
  RefreshBanList();
}

std::string SettingsPages::ClientChannel() const {
  return FromQt(channel_->text());
}

void SettingsPages::Choose(QLineEdit* field, const char* title, const char* suffix) {
  if (suffix == nullptr) {
    const QString folder = QFileDialog::getExistingDirectory(
        window(), QString::fromUtf8(title), field->text(), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) field->setText(WithTrailingSeparator(folder));
    return;
  }
  QFileDialog dialog(window(), QString::fromUtf8(title));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QString::fromLatin1(suffix));
  dialog.selectFile(field->text());
  if (dialog.exec() != QDialog::Accepted) return;
  const QStringList chosen = dialog.selectedFiles();
  if (!chosen.isEmpty()) field->setText(chosen.front());
}

}  // namespace zelkord::window::qt
