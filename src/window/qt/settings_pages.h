// The "設定" page: five inner pages (program, server with the ban list
// group, client, log, web) holding the fields the settings table places on
// them, and the bar of three buttons along the bottom. The fields only hold
// text: they are filled at start-up, read when the settings are saved, and
// typing changes nothing until then. The ban group edits the server's live ban list through the
// toolkit-free window::BanPage; the browse buttons fill their fields from
// file dialogs.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "config/ban_list.h"
#include "config/settings.h"
#include "window/ban_page.h"

namespace zelkord::window::qt {

inline constexpr int kButtonBarHeight = 34;

class SettingsPages : public QWidget {
  Q_OBJECT

 public:
  explicit SettingsPages(QWidget* parent = nullptr);
  ~SettingsPages() override;

  // Fills the fields and check boxes. Main thread.
  void Show(const config::SettingsPage& page);
  // The fields as typed, Shift_JIS; check boxes as bools. Main thread.
  [[nodiscard]] config::SettingsPage Read() const;

  // Makes the ban group edit list (nullptr: nothing to edit). Main thread.
  void AttachBanList(config::BanList* list);
  // Shows the ban list again, keeping the selected row. Main thread.
  void RefreshBanList();
  // The ban group's actions, as clicks on its list and buttons do them; a
  // refused add or overwrite says why in a message box. Main thread.
  void SelectBanRow(int row);
  void AddBan();
  void ReplaceBan();
  void DeleteBan();

  // The client page's channel name field, as typed (Shift_JIS). Main thread.
  [[nodiscard]] std::string ClientChannel() const;
  [[nodiscard]] QPushButton* SaveButton() const { return saveButton_; }
  [[nodiscard]] QPushButton* HomePageButton() const { return homePageButton_; }
  [[nodiscard]] QPushButton* QuitButton() const { return quitButton_; }
  [[nodiscard]] QPushButton* ClientJoinButton() const { return clientJoinButton_; }
  [[nodiscard]] QTabWidget* Pages() const { return pages_; }

 signals:
  void clientJoinClicked();

 private:
  // Creates one inner page with the table's fields for it, and what else
  // the page holds.
  QWidget* BuildPage(config::SettingsPageId id);
  // The field of table row index, on page, at its place in grid.
  void AddField(int index, QWidget* page, QGridLayout* grid);
  void AddBanGroup(QWidget* page, QGridLayout* grid);
  void AddChannelRow(QWidget* page, QGridLayout* grid);
  // A file dialog titled title for field, default extension suffix; a
  // folder dialog when suffix is null.
  void Choose(QLineEdit* field, const char* title, const char* suffix);

  QTabWidget* pages_;
  // By table row: a QLineEdit, QCheckBox or QComboBox (editable: a name the
  // file holds shows as it is), or nullptr for a row without a field.
  std::vector<QWidget*> fields_;
  QLineEdit* banEntry_;
  QListWidget* banList_;
  QLineEdit* channel_;
  QPushButton *saveButton_, *homePageButton_, *quitButton_, *clientJoinButton_;

  config::BanList* bans_ = nullptr;
  std::unique_ptr<BanPage> banPage_;
  std::vector<std::string> banRows_;  // what banList_ shows
};

}  // namespace zelkord::window::qt
