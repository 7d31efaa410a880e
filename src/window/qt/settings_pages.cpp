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

void SetText(QLineEdit* field, const std::string& sjis) {
  field->setText(ToQt(sjis));
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

SettingsPages::SettingsPages(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  pages_ = new QTabWidget(this);
  pages_->setObjectName(QStringLiteral("SettingsPages"));
  pages_->addTab(BuildProgramPage(), QString::fromUtf8(kProgramPage));
  pages_->addTab(BuildServerPage(), QString::fromUtf8(kServerPage));
  pages_->addTab(BuildClientPage(), QString::fromUtf8(kClientPage));
  pages_->addTab(BuildLogPage(), QString::fromUtf8(kLogPage));
  pages_->addTab(BuildWebPage(), QString::fromUtf8(kWebPage));
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

QWidget* SettingsPages::BuildProgramPage() {
  auto* page = new QWidget;
  QGridLayout* grid = FieldGrid(page);
  version_ = Field(page, "EditVersion", true);
  userMode_ = Field(page, "EditUserMode", true);
  chanMode_ = Field(page, "EditChanMode", true);
  userMax_ = Field(page, "EditUserMax");
  chanMax_ = Field(page, "EditChanMax");
  addressMax_ = Field(page, "EditAddressMax");
  registerTimeout_ = Field(page, "EditRegisterTimeout");
  floodBurst_ = Field(page, "EditFloodBurst");
  floodRate_ = Field(page, "EditFloodRate");
  grid->addWidget(Label(page, kVersion), 0, 0);
  grid->addWidget(version_, 0, 1);
  grid->addWidget(Label(page, kSupportMode), 1, 0);
  auto* modes = new QHBoxLayout;
  modes->addWidget(userMode_);
  modes->addWidget(chanMode_);
  grid->addLayout(modes, 1, 1);
  grid->addWidget(Label(page, kUserMax), 2, 0);
  grid->addWidget(userMax_, 2, 1);
  grid->addWidget(Label(page, kChanMax), 3, 0);
  grid->addWidget(chanMax_, 3, 1);
  grid->addWidget(Label(page, kAddressMax), 4, 0);
  grid->addWidget(addressMax_, 4, 1);
  grid->addWidget(Label(page, kRegisterTimeout), 5, 0);
  grid->addWidget(registerTimeout_, 5, 1);
  grid->addWidget(Label(page, kFloodBurst), 6, 0);
  grid->addWidget(floodBurst_, 6, 1);
  grid->addWidget(Label(page, kFloodRate), 7, 0);
  grid->addWidget(floodRate_, 7, 1);
  FinishGrid(grid);
  return page;
}

QWidget* SettingsPages::BuildServerPage() {
  auto* page = new QWidget;
  QGridLayout* grid = FieldGrid(page);
  port_ = Field(page, "EditPort");
  passWord_ = Field(page, "EditPassWord");
  name_ = Field(page, "EditName");
  information_ = Field(page, "EditInformation");
  motdPath_ = Field(page, "EditMotdPath");
  grid->addWidget(Label(page, kPort), 0, 0);
  grid->addWidget(port_, 0, 1);
  grid->addWidget(Label(page, kPassWord), 1, 0);
  grid->addWidget(passWord_, 1, 1);
  grid->addWidget(Label(page, kServerName), 2, 0);
  grid->addWidget(name_, 2, 1);
  grid->addWidget(Label(page, kServerInformation), 3, 0);
  grid->addWidget(information_, 3, 1);

  // The ban group stands to the right of the four fields.
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

  QPushButton* browse = Button(page, kBrowse, "ButtonBrowseMotd");
  grid->addWidget(Label(page, kMotd), 4, 0);
  grid->addWidget(motdPath_, 4, 1, 1, 3);
  grid->addWidget(browse, 4, 4);
  // The encoding a new connection starts in, until its lines show another.
  charset_ = new QComboBox(page);
  charset_->setObjectName(QStringLiteral("ComboCharset"));
  charset_->setEditable(true);
  charset_->addItems(
      {QStringLiteral("ISO-2022-JP"), QStringLiteral("UTF-8"), QStringLiteral("Shift_JIS")});
  grid->addWidget(Label(page, kCharset), 5, 0);
  grid->addWidget(charset_, 5, 1);
  // TLS: an empty port runs no TLS listener.
  tlsPort_ = Field(page, "EditTlsPort");
  tlsCertificate_ = Field(page, "EditTlsCertificate");
  tlsKey_ = Field(page, "EditTlsKey");
  grid->addWidget(Label(page, kTlsPort), 6, 0);
  grid->addWidget(tlsPort_, 6, 1);
  grid->addWidget(Label(page, kTlsCertificate), 7, 0);
  grid->addWidget(tlsCertificate_, 7, 1, 1, 3);
  grid->addWidget(Label(page, kTlsKey), 8, 0);
  grid->addWidget(tlsKey_, 8, 1, 1, 3);
  FinishGrid(grid);

  connect(banList_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { SelectBanRow(banList_->row(item)); });
  connect(add, &QPushButton::clicked, this, &SettingsPages::AddBan);
  connect(replace, &QPushButton::clicked, this, &SettingsPages::ReplaceBan);
  connect(remove, &QPushButton::clicked, this, &SettingsPages::DeleteBan);
  connect(browse, &QPushButton::clicked, this,
          [this] { ChooseFile(motdPath_, kChooseMotd, "MTD"); });
  return page;
}

QWidget* SettingsPages::BuildClientPage() {
  auto* page = new QWidget;
  QGridLayout* grid = FieldGrid(page);
  nick_ = Field(page, "EditNick");
  real_ = Field(page, "EditReal");
  channel_ = Field(page, "EditChannel");
  clientJoinButton_ = Button(page, kJoin, "ButtonClientJoin");
  grid->addWidget(Label(page, kNick), 0, 0);
  grid->addWidget(nick_, 0, 1);
  grid->addWidget(Label(page, kReal), 1, 0);
  grid->addWidget(real_, 1, 1);
  grid->addWidget(Label(page, kChannelName), 2, 0);
  grid->addWidget(channel_, 2, 1);
  grid->addWidget(clientJoinButton_, 2, 2);
  FinishGrid(grid);
  connect(clientJoinButton_, &QPushButton::clicked, this, &SettingsPages::clientJoinClicked);
  return page;
}

QWidget* SettingsPages::BuildLogPage() {
  auto* page = new QWidget;
  QGridLayout* grid = FieldGrid(page);
  logLines_ = Field(page, "EditLogLines");
  logSave_ = new QCheckBox(QString::fromUtf8(kLogSave), page);
  logSave_->setObjectName(QStringLiteral("CheckLogSave"));
  logPath_ = Field(page, "EditLogPath");
  QPushButton* browse = Button(page, kBrowse, "ButtonBrowseLogPath");
  grid->addWidget(Label(page, kLogLines), 0, 0);
  grid->addWidget(logLines_, 0, 1);
  grid->addWidget(logSave_, 1, 1);
  grid->addWidget(Label(page, kLogPath), 2, 0);
  grid->addWidget(logPath_, 2, 1);
  grid->addWidget(browse, 2, 2);
  FinishGrid(grid);
  connect(browse, &QPushButton::clicked, this, &SettingsPages::ChooseLogFolder);
  return page;
}

QWidget* SettingsPages::BuildWebPage() {
  auto* page = new QWidget;
  QGridLayout* grid = FieldGrid(page);
  webPort_ = Field(page, "EditWebPort");
  webPassWord_ = Field(page, "EditWebPassWord");
  webSend_ = new QCheckBox(QString::fromUtf8(kWebSend), page);
  webSend_->setObjectName(QStringLiteral("CheckWebSend"));
  indexForm_ = Field(page, "EditIndexForm");
  logForm_ = Field(page, "EditLogForm");
  QPushButton* browseIndex = Button(page, kBrowse, "ButtonBrowseIndexForm");
  QPushButton* browseLog = Button(page, kBrowse, "ButtonBrowseLogForm");
  grid->addWidget(Label(page, kPort), 0, 0);
  grid->addWidget(webPort_, 0, 1);
  grid->addWidget(Label(page, kPassWord), 1, 0);
  grid->addWidget(webPassWord_, 1, 1);
  grid->addWidget(webSend_, 2, 1);
  grid->addWidget(Label(page, kIndexForm), 3, 0);
  grid->addWidget(indexForm_, 3, 1);
  grid->addWidget(browseIndex, 3, 2);
  grid->addWidget(Label(page, kLogForm), 4, 0);
  grid->addWidget(logForm_, 4, 1);
  grid->addWidget(browseLog, 4, 2);
  FinishGrid(grid);
  connect(browseIndex, &QPushButton::clicked, this,
          [this] { ChooseFile(indexForm_, kChooseIndexForm, "html"); });
  connect(browseLog, &QPushButton::clicked, this,
          [this] { ChooseFile(logForm_, kChooseLogForm, "html"); });
  return page;
}

void SettingsPages::Show(const config::SettingsPage& page) {
  SetText(version_, page.version);
  SetText(userMode_, page.userMode);
  SetText(chanMode_, page.chanMode);
  SetText(userMax_, page.userMax);
  SetText(chanMax_, page.chanMax);
  SetText(addressMax_, page.addressMax);
  SetText(registerTimeout_, page.registerTimeout);
  SetText(floodBurst_, page.floodBurst);
  SetText(floodRate_, page.floodRate);
  SetText(port_, page.port);
  SetText(passWord_, page.passWord);
  SetText(name_, page.name);
  SetText(information_, page.information);
  SetText(motdPath_, page.motdPath);
  charset_->setCurrentText(ToQt(page.charset));
  SetText(tlsPort_, page.tlsPort);
  SetText(tlsCertificate_, page.tlsCertificate);
  SetText(tlsKey_, page.tlsKey);
  SetText(nick_, page.nick);
  SetText(real_, page.real);
  SetText(logLines_, page.logLines);
  logSave_->setChecked(page.logSave);
  SetText(logPath_, page.logPath);
  SetText(webPort_, page.webPort);
  SetText(webPassWord_, page.webPassWord);
  webSend_->setChecked(page.webSend);
  SetText(indexForm_, page.indexForm);
  SetText(logForm_, page.logForm);
}

config::SettingsPage SettingsPages::Read() const {
  config::SettingsPage page;
  page.version = FromQt(version_->text());
  page.userMode = FromQt(userMode_->text());
  page.chanMode = FromQt(chanMode_->text());
  page.userMax = FromQt(userMax_->text());
  page.chanMax = FromQt(chanMax_->text());
  page.addressMax = FromQt(addressMax_->text());
  page.registerTimeout = FromQt(registerTimeout_->text());
  page.floodBurst = FromQt(floodBurst_->text());
  page.floodRate = FromQt(floodRate_->text());
  page.port = FromQt(port_->text());
  page.passWord = FromQt(passWord_->text());
  page.name = FromQt(name_->text());
  page.information = FromQt(information_->text());
  page.motdPath = FromQt(motdPath_->text());
  page.charset = FromQt(charset_->currentText());
  page.tlsPort = FromQt(tlsPort_->text());
  page.tlsCertificate = FromQt(tlsCertificate_->text());
  page.tlsKey = FromQt(tlsKey_->text());
  page.nick = FromQt(nick_->text());
  page.real = FromQt(real_->text());
  page.logLines = FromQt(logLines_->text());
  page.logSave = logSave_->isChecked();
  page.logPath = FromQt(logPath_->text());
  page.webPort = FromQt(webPort_->text());
  page.webPassWord = FromQt(webPassWord_->text());
  page.webSend = webSend_->isChecked();
  page.indexForm = FromQt(indexForm_->text());
  page.logForm = FromQt(logForm_->text());
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

void SettingsPages::ChooseFile(QLineEdit* field, const char* title, const char* suffix) {
  QFileDialog dialog(window(), QString::fromUtf8(title));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QString::fromLatin1(suffix));
  dialog.selectFile(field->text());
  if (dialog.exec() != QDialog::Accepted) return;
  const QStringList chosen = dialog.selectedFiles();
  if (!chosen.isEmpty()) field->setText(chosen.front());
}

void SettingsPages::ChooseLogFolder() {
  const QString folder = QFileDialog::getExistingDirectory(
      window(), QString::fromUtf8(kChooseLogPath), logPath_->text(), QFileDialog::ShowDirsOnly);
  if (!folder.isEmpty()) logPath_->setText(WithTrailingSeparator(folder));
}

}  // namespace zelkord::window::qt
