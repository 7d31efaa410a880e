// The ban group of the settings pages over a real server's ban list: rows
// from the file, click-to-copy, add, overwrite and delete, each seen by the
// next admission at once and written only by "設定の保管"; an unusable
// pattern refused with its reason in a message box; and the fields the
// settings table places, shown and read back.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include "window_fixture.h"

namespace zelkord::testing {
namespace {

std::vector<std::string> Rows(QListWidget* list) {
  std::vector<std::string> rows;
  for (int i = 0; i < list->count(); ++i) rows.push_back(Shown(list->item(i)->text()));
  return rows;
}

class BanGroup : public ::testing::Test {
 protected:
  void Click(const char* button) {
    fixture_.Window().findChild<QPushButton*>(QString::fromLatin1(button))->click();
  }
  void Type(const std::string& text) { entry_->setText(window::qt::ToQt(text)); }
  void ClickRow(int row) {
    QTest::mouseClick(list_->viewport(), Qt::LeftButton, {},
                      list_->visualItemRect(list_->item(row)).center());
  }
  // The text of the message box the group opened, closing it; empty when none.
  std::string TakeMessage() {
    auto* box = fixture_.Window().findChild<QMessageBox*>();
    if (box == nullptr) return {};
    std::string text = Shown(box->text());
    delete box;
    return text;
  }

  WindowFixture fixture_{
      {{"BanList.Count", "3"}, {"BanList.Ip0", "10.0.0.*"}, {"BanList.Ip2", "192.168.1.5"}}};
  QListWidget* list_ = fixture_.Window().findChild<QListWidget*>("ListBox2");
  QLineEdit* entry_ = fixture_.Window().findChild<QLineEdit*>("EditBan");
};

TEST_F(BanGroup, ShowsTheFilesPatternsInOrder) {
  ASSERT_TRUE(fixture_.Started()) << fixture_.StartError();
  EXPECT_EQ(Rows(list_), (std::vector<std::string>{"10.0.0.*", "*.*.*.*", "192.168.1.5"}));
}

TEST_F(BanGroup, AddsOverwritesAndDeletesTheLiveList) {
  ASSERT_TRUE(fixture_.Started()) << fixture_.StartError();
  config::BanList& bans = fixture_.Server().protocol.banList;
  fixture_.Window().SettingsPane()->Pages()->setCurrentIndex(1);  // the server page, with the group

  // Click-to-copy.
  ClickRow(2);
  EXPECT_EQ(Shown(entry_->text()), "192.168.1.5");
  Type("192.168.2.*");
  Click("ButtonBanReplace");
  EXPECT_EQ(Rows(list_), (std::vector<std::string>{"10.0.0.*", "*.*.*.*", "192.168.2.*"}));
  EXPECT_EQ(list_->currentRow(), 2);

  ClickRow(1);
  Click("ButtonBanDelete");
  EXPECT_EQ(Rows(list_), (std::vector<std::string>{"10.0.0.*", "192.168.2.*"}));
  EXPECT_FALSE(bans.IsBanned("172.16.0.1"));
  EXPECT_TRUE(bans.IsBanned("192.168.2.9"));
  // Nothing selected now: overwrite and delete do nothing.
  Click("ButtonBanDelete");
  Type("1.2.3.4");
  Click("ButtonBanReplace");
  EXPECT_EQ(Rows(list_), (std::vector<std::string>{"10.0.0.*", "192.168.2.*"}));

  // Added unchanged, duplicates and empty text included.
  Click("ButtonBanAdd");
  Click("ButtonBanAdd");
  Type("");
  Click("ButtonBanAdd");
  EXPECT_EQ(Rows(list_),
            (std::vector<std::string>{"10.0.0.*", "192.168.2.*", "1.2.3.4", "1.2.3.4", ""}));
  EXPECT_TRUE(bans.IsBanned("1.2.3.4"));

  const std::string file = fixture_.SettingsFile();
  EXPECT_EQ(IniValue(file, "BanList", "Count"), "3");
  fixture_.Window().SettingsPane()->SaveButton()->click();
  EXPECT_EQ(IniValue(file, "BanList", "Count"), "5");
  EXPECT_EQ(IniValue(file, "BanList", "Ip1"), "192.168.2.*");
  EXPECT_EQ(IniValue(file, "BanList", "Ip4"), "");
}

TEST_F(BanGroup, EveryChangeReachesTheNextAdmission) {
  ASSERT_TRUE(fixture_.Started()) << fixture_.StartError();
  window::qt::SettingsPages* pane = fixture_.Window().SettingsPane();
  // The missing Ip1 loaded as "*.*.*.*": nobody gets in.
  EXPECT_TRUE(fixture_.Connect()->ClosedWithoutData());
  pane->SelectBanRow(1);
  Click("ButtonBanDelete");
  EXPECT_TRUE(fixture_.Registered("ann"));

  Type("127.0.0.*");
  Click("ButtonBanAdd");
  EXPECT_TRUE(fixture_.Connect()->ClosedWithoutData());
  pane->SelectBanRow(2);
  EXPECT_EQ(Shown(entry_->text()), "127.0.0.*");
  Type("127.0.0.2");
  Click("ButtonBanReplace");
  EXPECT_TRUE(fixture_.Registered("bob"));
}

TEST_F(BanGroup, RefusesAnUnusableIpv6PatternWithItsReason) {
  ASSERT_TRUE(fixture_.Started()) << fixture_.StartError();
  fixture_.Window().SettingsPane()->Pages()->setCurrentIndex(1);
  const std::vector<std::string> before = Rows(list_);
  Type("2001:db8::/8");
  Click("ButtonBanAdd");
  EXPECT_EQ(TakeMessage(), config::BanPatternProblem("2001:db8::/8"));
  ClickRow(2);
  Type("1::2::3");
  Click("ButtonBanReplace");
  EXPECT_EQ(TakeMessage(), config::BanPatternProblem("1::2::3"));
  EXPECT_EQ(Rows(list_), before);
  EXPECT_EQ(Shown(entry_->text()), "1::2::3");

  Type("2001:db8::/32");
  Click("ButtonBanReplace");
  EXPECT_EQ(TakeMessage(), "");
  EXPECT_EQ(Rows(list_), (std::vector<std::string>{"10.0.0.*", "*.*.*.*", "2001:db8::/32"}));
}

// Every field the settings table places is on its page under its name, and
// shows a page's texts and reads them back.
TEST(SettingsFields, ShowThenReadGivesThePageBack) {
  window::qt::SettingsPages pages;
  config::SettingsPage page;
  for (int i = 0; i < config::kSettingsKeyCount; ++i) {
    const config::SettingsKey& row = config::kSettingsTable[i];
    if (row.field.page == config::SettingsPageId::None) continue;
    EXPECT_NE(pages.findChild<QWidget*>(QString::fromLatin1(row.field.name)), nullptr)
        << row.field.name;
    page.texts[i] = row.kind != config::SettingKind::Switch ? "text\x82\xa0" + std::to_string(i)
                    : i % 2 == 0                            ? "Enable"
                                                            : "Disable";
  }
  pages.Show(page);
  EXPECT_EQ(pages.Read().texts, page.texts);
}

}  // namespace
}  // namespace zelkord::testing
