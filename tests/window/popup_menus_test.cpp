// The pop-up menus over a real server: colour commands recolour their
// views, update the channel colour settings and write the file at once;
// the user list's commands throw a user off (and ban the address), never
// the first row; the member list's send their MODE lines through the desk's
// client; the mouse opens each menu where it belongs.
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QListWidget>

#include "window_fixture.h"

namespace zelkord::testing {
namespace {

using Target = window::qt::PopupMenus::ColorTarget;
using window::qt::ChannelPage;

QColor BaseOf(QWidget* widget) {
  return widget->palette().color(QPalette::Base);
}
QColor TextOf(QWidget* widget) {
  return widget->palette().color(QPalette::Text);
}

TEST(ChannelColors, RecolourEveryPageWriteTheFileAndReachNewPages) {
  WindowFixture fixture;
  auto [ann] = RegisteredAll(fixture, {"ann"});
  ASSERT_TRUE(ann) << fixture.StartError();
  for (const char* name : {"#a", "#b", "#c"}) ann->Send(std::string("JOIN ") + name);
  ASSERT_NE(fixture.WaitChannelPage("#c"), nullptr);
  window::qt::MainWindow& mainWindow = fixture.Window();
  window::qt::PopupMenus& menus = mainWindow.Menus();
  const QColor custom(0x12, 0x34, 0x56);

  ASSERT_TRUE(menus.SetBackColor(Target::ChannelViews, Qt::black));
  ASSERT_TRUE(menus.SetForeColor(Target::ChannelViews, custom));
  for (ChannelPage* page : mainWindow.ChannelPages()) {
    EXPECT_EQ(BaseOf(page->View()), QColor(Qt::black));
    EXPECT_EQ(BaseOf(page->Input()), QColor(Qt::black));
    EXPECT_EQ(TextOf(page->View()), custom);
    EXPECT_EQ(TextOf(page->Input()), custom);
  }
  const std::string file = fixture.SettingsFile();
  EXPECT_EQ(IniValue(file, "Color", "LogBack"), "clBlack");
  EXPECT_EQ(IniValue(file, "Color", "LogFore"), "$00563412");
  EXPECT_EQ(IniValue(file, "Color", "WebLogBack"), "clGray");
  EXPECT_EQ(fixture.Server().protocol.settings.colorLogBack, "clBlack");
  EXPECT_EQ(menus.CurrentBackColor(Target::ChannelViews), QColor(Qt::black));

  ChannelPage* later = fixture.JoinedPage(*ann, "#d");
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(BaseOf(later->View()), QColor(Qt::black));
  EXPECT_EQ(TextOf(later->Input()), custom);
}

TEST(WebViewColors, ChangeOnlyTheWebView) {
  WindowFixture fixture;
  auto [ann] = RegisteredAll(fixture, {"ann"});
  ASSERT_TRUE(ann) << fixture.StartError();
  ChannelPage* page = fixture.JoinedPage(*ann, "#a");
  ASSERT_NE(page, nullptr);
  const QColor pageBack = BaseOf(page->View());
  window::qt::MainWindow& mainWindow = fixture.Window();
  EXPECT_EQ(BaseOf(mainWindow.WebView()), QColor(0x80, 0x80, 0x80));  // clGray at first

  ASSERT_TRUE(mainWindow.Menus().SetBackColor(Target::WebView, QColor(255, 0, 0)));
  ASSERT_TRUE(mainWindow.Menus().SetForeColor(Target::WebView, QColor(255, 255, 255)));
  EXPECT_EQ(BaseOf(mainWindow.WebView()), QColor(255, 0, 0));
  EXPECT_EQ(TextOf(mainWindow.WebView()), QColor(255, 255, 255));
  EXPECT_EQ(BaseOf(page->View()), pageBack);
  const std::string file = fixture.SettingsFile();
  EXPECT_EQ(IniValue(file, "Color", "WebLogBack"), "clRed");
  EXPECT_EQ(IniValue(file, "Color", "WebLogFore"), "clWhite");
  EXPECT_EQ(IniValue(file, "Color", "LogBack"), "clWindow");
  EXPECT_EQ(IniValue(file, "Color", "LogFore"), "clWindowText");
}

TEST(UserListMenu, ForcedDisconnectNeverActsOnTheFirstRow) {
  WindowFixture fixture;
  auto [ann, bob] = fixture.AnnAndBobListed();
  ASSERT_TRUE(ann && bob) << fixture.StartError();
  window::qt::MainWindow& mainWindow = fixture.Window();

  mainWindow.SelectUserRow(-1);
  EXPECT_FALSE(mainWindow.Menus().ForceDisconnect());
  mainWindow.SelectUserRow(0);
  EXPECT_FALSE(mainWindow.Menus().ForceDisconnect());
  EXPECT_TRUE(ann->Silent());

  mainWindow.SelectUserRow(1);
  EXPECT_TRUE(mainWindow.Menus().ForceDisconnect());
  EXPECT_EQ(bob->ReadUntil("<never>"), "<closed>");
  ASSERT_TRUE(fixture.WaitUserRows({"ann"}));
  EXPECT_EQ(fixture.Server().protocol.banList.Count(), 0);
  // The same address may come straight back.
  EXPECT_TRUE(fixture.Registered("bob"));
}

TEST(UserListMenu, RefuseConnectionBansTheAddressAndDisconnects) {
  WindowFixture fixture;
  auto [ann, bob] = fixture.AnnAndBobListed();
  ASSERT_TRUE(ann && bob) << fixture.StartError();
  window::qt::MainWindow& mainWindow = fixture.Window();
  mainWindow.SelectUserRow(1);
  EXPECT_TRUE(mainWindow.Menus().RefuseConnection());
  EXPECT_EQ(bob->ReadUntil("<never>"), "<closed>");
  ASSERT_TRUE(fixture.WaitUserRows({"ann"}));

  auto* banList = mainWindow.findChild<QListWidget*>("ListBox2");
  ASSERT_TRUE(WaitFor([&] { return banList->count() == 1; }));
  EXPECT_EQ(Shown(banList->item(0)->text()), "127.0.0.1");
  auto again = fixture.Connect();
  EXPECT_TRUE(again->ClosedWithoutData());
  // In memory only, until the settings are saved.
  EXPECT_EQ(IniValue(fixture.SettingsFile(), "BanList", "Count"), "0");
}

TEST(MemberListMenu, OpsVoicesAndBansThroughTheDesk) {
  WindowFixture fixture({}, true);
  ASSERT_TRUE(fixture.WaitUserRows({"ZELKNIK"})) << fixture.StartError();
  auto [ann, bob] = RegisteredAll(fixture, {"ann", "bob"}, {"#m"});
  ASSERT_TRUE(ann && bob);
  fixture.Server().Operator().Join("#m");
  for (TestClient* member : {ann.get(), bob.get()})
    EXPECT_NE(member->ReadUntil("ZELKNIK!"), "<timeout>");
  ChannelPage* page = fixture.WaitChannelPage("#m");
  ASSERT_NE(page, nullptr);
  QListWidget* list = page->MemberList();
  const auto rows = [&] {
    std::vector<std::string> shown;
    for (int i = 0; i < list->count(); ++i) shown.push_back(Shown(list->item(i)->text()));
    return shown;
  };
  ASSERT_TRUE(WaitFor([&] {
    return rows() == std::vector<std::string>{"@ann", "bob", "@ZELKNIK"};
  }));
  window::qt::MainWindow& mainWindow = fixture.Window();
  window::qt::PopupMenus& menus = mainWindow.Menus();
  QMenu* menu = menus.MemberListMenu();
  const auto enabled = [&] {
    menus.EnableMemberCommands();
    std::string flags;
    for (QAction* item : menu->actions()) flags += item->isEnabled() ? '1' : '0';
    return flags;
  };

  // The right button on the list opens the menu; the desk's own row and
  // no row leave nothing to do.
  mainWindow.PageTabs()->setCurrentWidget(page);
  list->setCurrentRow(2);
  const QPoint at = list->visualItemRect(list->item(2)).center();
  QContextMenuEvent press(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
  QApplication::sendEvent(list->viewport(), &press);
  EXPECT_TRUE(menu->isVisible());
  EXPECT_EQ(enabled(), "00000");
  menu->hide();
  list->clearSelection();
  EXPECT_EQ(enabled(), "00000");

  using Command = window::MemberCommand;
  const struct {
    Command command;
    const char* enabledBefore;  // op, deop, voice, devoice, ban
    std::string relay;
    const char* row;
  } steps[] = {
      {Command::Op, "10101", "MODE #m +o bob", "@bob"},
      {Command::Voice, "01101", "MODE #m +v bob", "@bob"},
      {Command::Deop, "01011", "MODE #m -o bob", "+bob"},
      {Command::Devoice, "10011", "MODE #m -v bob", "bob"},
      {Command::Ban, "10101", "MODE #m +b *!*@127.0.0.1", "bob"},
  };
  list->setCurrentRow(1);
  for (const auto& step : steps) {
    SCOPED_TRACE(step.relay);
    ASSERT_TRUE(WaitFor([&] { return enabled() == step.enabledBefore; })) << enabled();
    menu->actions().at(static_cast<int>(step.command))->trigger();
    EXPECT_EQ(ann->ReadLine(), ":ZELKNIK!Administrator@127.0.0.1 " + step.relay);
    EXPECT_EQ(bob->ReadLine(), ":ZELKNIK!Administrator@127.0.0.1 " + step.relay);
    ASSERT_TRUE(WaitFor([&] { return rows().size() == 3 && rows()[1] == step.row; }));
    EXPECT_EQ(page->SelectedMemberRow(), 1);
  }
  EXPECT_EQ(rows(), (std::vector<std::string>{"@ann", "bob", "@ZELKNIK"}));
}

TEST(PopupMenus, OpenWhereTheMouseAsks) {
  WindowFixture fixture;
  window::qt::MainWindow& mainWindow = fixture.Window();
  window::qt::PopupMenus& menus = mainWindow.Menus();
  auto [ann, bob] = fixture.AnnAndBobListed();
  ASSERT_TRUE(ann && bob) << fixture.StartError();
  ChannelPage* page = fixture.JoinedPage(*ann, "#a");
  ASSERT_NE(page, nullptr);

  // Any button but the left on the user list: its menu, the selection kept.
  mainWindow.SelectUserRow(0);
  QListWidget* list = mainWindow.UserList();
  QTest::mouseClick(list->viewport(), Qt::RightButton, {},
                    list->visualItemRect(list->item(1)).center());
  EXPECT_TRUE(menus.UserListMenu()->isVisible());
  EXPECT_EQ(mainWindow.SelectedUserRow(), 0);
  menus.UserListMenu()->hide();

  QTest::mouseClick(mainWindow.WebView()->viewport(), Qt::LeftButton);
  EXPECT_TRUE(menus.WebViewMenu()->isVisible());
  menus.WebViewMenu()->hide();
  QTest::mouseClick(mainWindow.WebView()->viewport(), Qt::RightButton);
  EXPECT_FALSE(menus.WebViewMenu()->isVisible());

  mainWindow.PageTabs()->setCurrentWidget(page);
  QTest::mouseClick(page->View()->viewport(), Qt::LeftButton);
  EXPECT_TRUE(menus.ChannelViewMenu()->isVisible());
  menus.ChannelViewMenu()->hide();
}

}  // namespace
}  // namespace zelkord::testing
