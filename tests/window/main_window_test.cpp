// The main window over a real server: captions, settings fields and their
// save, the user list, the channel pages, the user details, the
// communication log pages, the web request view, start-up failures, the
// two-step close, bounded memory under a flood, and a channel page scrolled
// back into the history store.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QWheelEvent>
#include <chrono>
#include <thread>

#include "base/jp_text.h"
#include "window_fixture.h"

namespace zelkord::testing {
namespace {

using window::qt::ChannelPage;
using window::qt::LogPage;

QLineEdit* FieldOf(window::qt::MainWindow& mainWindow, const char* name) {
  return mainWindow.findChild<QLineEdit*>(QString::fromLatin1(name));
}

// The line without its "hh:nn " stamp (checked for shape), or "<no stamp>".
std::string Unstamped(const std::string& line) {
  if (line.size() < 6 || line[2] != ':' || line[5] != ' ') return "<no stamp>";
  return line.substr(6);
}

bool LastLineIs(ChannelPage* page, const std::string& expected) {
  const auto& lines = page->View()->Lines();
  return !lines.empty() && Unstamped(lines.back()) == expected;
}

TEST(MainWindow, ShowsTheSystemsOwnCaptions) {
  WindowFixture fixture;
  ASSERT_TRUE(fixture.Started()) << fixture.StartError();
  window::qt::MainWindow& mainWindow = fixture.Window();
  QTabWidget* inner = mainWindow.SettingsPane()->Pages();
  const auto MemberItem = [&](int i) {
    return mainWindow.Menus().MemberListMenu()->actions().at(i)->text();
  };
  const struct {
    QString shown;
    std::string bytes;
  } cases[] = {
      {mainWindow.windowTitle(), "Zelkord Ver. 1.07"},
      {mainWindow.PageTabs()->tabText(0), "\x90\xDD\x92\xE8"},
      {mainWindow.PageTabs()->tabText(1), "\x92\xCA\x90M\x83\x8D\x83O"},
      {inner->tabText(0), "\xCC\xDF\xDB\xB8\xDE\xD7\xD1"},
      {inner->tabText(1), "\xBB\xB0\xCA\xDE\xB0"},
      {inner->tabText(2), "\xB8\xD7\xB2\xB1\xDD\xC4"},
      {inner->tabText(3), "\xDB\xB8\xDE"},
      {inner->tabText(4), "WEB"},
      {mainWindow.SettingsPane()->SaveButton()->text(), "\x90\xDD\x92\xE8\x82\xCC\x95\xDB\x8A\xC7"},
      {mainWindow.SettingsPane()->HomePageButton()->text(),
       "Zelkord \xCE\xB0\xD1\xCD\xDF\xB0\xBC\xDE"},
      {mainWindow.SettingsPane()->QuitButton()->text(), "Zelkord \x82\xCC\x8FI\x97\xB9"},
      {mainWindow.findChild<QCheckBox*>("CheckLogSave")->text(),
       "\xDB\xB8\xDE\x82\xF0\x95\xDB\x8A\xC7\x82\xB7\x82\xE9"},
      {mainWindow.findChild<QCheckBox*>("CheckWebSend")->text(),
       "\xDB\xB8\xDE\x82\xF0\x8C\xF6\x8A"
       "J\x82\xB7\x82\xE9"},
      {mainWindow.Menus().WebViewMenu()->actions().at(0)->text(),
       "\x94w\x8C"
       "i\x90"
       "F"},
      {mainWindow.Menus().ChannelViewMenu()->actions().at(1)->text(),
       "\x95\xB6\x8E\x9A\x90"
       "F"},
      {mainWindow.Menus().UserListMenu()->actions().at(0)->text(),
       "\x8B\xAD\x90\xA7\x90\xD8\x92"
       "f"},
      {mainWindow.Menus().UserListMenu()->actions().at(1)->text(),
       "\x90\xDA\x91\xB1\x8B\x91\x94\xDB"},
      {MemberItem(0), "\xB5\xCD\xDF\xDA\xB0\xC0\xB0\x8C\xA0\x8C\xC0\x82\xF0\x97^\x82\xA6\x82\xE9"},
      {MemberItem(1), "\xB5\xCD\xDF\xDA\xB0\xC0\xB0\x8C\xA0\x8C\xC0\x82\xF0\x8AO\x82\xB7"},
      {MemberItem(2), "\x94\xAD\x8C\xBE\x8C\xA0\x82\xF0\x97^\x82\xA6\x82\xE9"},
      {MemberItem(3), "\x94\xAD\x8C\xBE\x8C\xA0\x82\xF0\x8AO\x82\xB7"},
      {MemberItem(4), "\xC1\xAC\xDD\xC8\xD9\x82\xA9\x82\xE7\x92\xF7\x82\xDF\x8Fo\x82\xB7"},
  };
  for (const auto& c : cases) EXPECT_EQ(Shown(c.shown), c.bytes);
  EXPECT_EQ(mainWindow.minimumSize(), QSize(546, 386));
  EXPECT_EQ(mainWindow.PageTabs()->count(), 2);
}

TEST(MainWindow, TakesItsGeometryFromTheSettingsFileAndWritesItBackAtClose) {
  WindowFixture fixture({{"Position.Left", "40"},
                         {"Position.Top", "30"},
                         {"Position.Width", "700"},
                         {"Position.Height", "500"}});
  ASSERT_TRUE(fixture.Started()) << fixture.StartError();
  const config::WindowGeometry shown = fixture.Window().WindowGeometry();
  EXPECT_EQ(shown.left, 40);
  EXPECT_EQ(shown.top, 30);
  EXPECT_EQ(shown.width, 700);
  EXPECT_EQ(shown.height, 500);
  fixture.Window().resize(800, 600);
  ASSERT_TRUE(fixture.Close());
  EXPECT_EQ(IniValue(fixture.SettingsFile(), "Position", "Width"), "800");
  EXPECT_EQ(IniValue(fixture.SettingsFile(), "Position", "Height"), "600");
}

TEST(MainWindow, NeverShrinksBelowItsMinimum) {
  WindowFixture fixture({{"Position.Width", "100"}, {"Position.Height", "50"}});
  ASSERT_TRUE(fixture.Started()) << fixture.StartError();
  EXPECT_EQ(fixture.Window().WindowGeometry().width, 546);
  EXPECT_EQ(fixture.Window().WindowGeometry().height, 386);
}

TEST(SettingsFields, AreFilledFromTheFileAndSavedAsTyped) {
  // "ﾃｽﾄ" in half-width kana: one byte each in Shift_JIS.
  const std::string kana = "\xC3\xBD\xC4";
  WindowFixture fixture({{"Server.Name", "Test(^^"},
                         {"Server.Information", kana},
                         {"Server.PassWord", "pw"},
                         {"Client.Nick", "DESK"},
                         {"Log.Lines", "50"},
                         {"Log.Save", "Enable"},
                         {"Server.Charset", "utf8"},
                         {"Web.Send", "enable"}});
  ASSERT_TRUE(fixture.Started()) << fixture.StartError();
  window::qt::MainWindow& mainWindow = fixture.Window();
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditVersion")->text()), "1.07");
  EXPECT_TRUE(FieldOf(mainWindow, "EditVersion")->isReadOnly());
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditUserMode")->text()), "oirw");
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditChanMode")->text()), "abiklmnopqstv");
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditPort")->text()), "0");
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditName")->text()), "Test(^^");
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditInformation")->text()), kana);
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditPassWord")->text()), "pw");
  EXPECT_EQ(FieldOf(mainWindow, "EditPassWord")->echoMode(), QLineEdit::Normal);
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditNick")->text()), "DESK");
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditLogLines")->text()), "50");
  EXPECT_TRUE(mainWindow.findChild<QCheckBox*>("CheckLogSave")->isChecked());
  // Only exactly "Enable" ticks a box.
  EXPECT_FALSE(mainWindow.findChild<QCheckBox*>("CheckWebSend")->isChecked());
  EXPECT_EQ(Shown(FieldOf(mainWindow, "EditLogPath")->text()), fixture.Dir().Path());
  auto* charset = mainWindow.findChild<QComboBox*>("ComboCharset");
  ASSERT_NE(charset, nullptr);
  EXPECT_EQ(charset->currentText(), "utf8");  // the file's spelling, not a list entry

  const int listening = fixture.Port();
  charset->setCurrentIndex(2);
  FieldOf(mainWindow, "EditPort")->setText("7000");
  FieldOf(mainWindow, "EditAddressMax")->setText("3");
  FieldOf(mainWindow, "EditFloodBurst")->setText("5");
  FieldOf(mainWindow, "EditTlsPort")->setText("6697");
  FieldOf(mainWindow, "EditInformation")->setText(QString::fromUtf8("ｻｰﾊﾞｰ"));
  FieldOf(mainWindow, "EditLogPath")->setText("logs/chat/");
  mainWindow.findChild<QCheckBox*>("CheckLogSave")->setChecked(false);
  mainWindow.findChild<QCheckBox*>("CheckWebSend")->setChecked(true);
  mainWindow.SettingsPane()->SaveButton()->click();
  const std::string file = fixture.SettingsFile();
  EXPECT_EQ(IniValue(file, "Server", "Port"), "7000");
  EXPECT_EQ(IniValue(file, "Server", "Information"), "\xBB\xB0\xCA\xDE\xB0");
  EXPECT_EQ(IniValue(file, "Server", "Name"), "Test(^^");
  EXPECT_EQ(IniValue(file, "Log", "Path"), "logs/chat/");
  EXPECT_EQ(IniValue(file, "Log", "Save"), "Disable");
  EXPECT_EQ(IniValue(file, "Web", "Send"), "Enable");
  EXPECT_EQ(IniValue(file, "Server", "Charset"), "Shift_JIS");
  EXPECT_EQ(IniValue(file, "Program", "AddressMax"), "3");
  EXPECT_EQ(IniValue(file, "Program", "RegisterTimeout"), "0");
  EXPECT_EQ(IniValue(file, "Program", "FloodBurst"), "5");
  EXPECT_EQ(IniValue(file, "Program", "FloodRate"), "1");
  EXPECT_EQ(IniValue(file, "Server", "TlsPort"), "6697");
  // Saved values wait for the next start.
  EXPECT_EQ(fixture.Port(), listening);
  EXPECT_EQ(fixture.Server().protocol.settings.serverInformation, kana);
}

TEST(UserList, FollowsRegistrationNickAndDisconnect) {
  WindowFixture fixture;
  auto [ann, bob] = fixture.AnnAndBobListed();
  ASSERT_TRUE(ann && bob) << fixture.StartError();
  fixture.Window().SelectUserRow(1);
  bob->Send("NICK carl");
  ASSERT_TRUE(fixture.WaitUserRows({"ann", "carl"}));
  EXPECT_EQ(fixture.Window().SelectedUserRow(), 1);
  ann->Close();
  ASSERT_TRUE(fixture.WaitUserRows({"carl"}));
  // The selection followed its user up one row.
  EXPECT_EQ(fixture.Window().SelectedUserRow(), 0);
}

TEST(UserList, AwayUsersAreGreyedWithTheirMessageAsATip) {
  WindowFixture fixture;
  auto [ann, bob] = fixture.AnnAndBobListed();
  ASSERT_TRUE(ann && bob) << fixture.StartError();
  window::qt::MainWindow& mainWindow = fixture.Window();
  QListWidget* list = mainWindow.UserList();
  const QString tip = QString::fromUtf8("離席中：lunch");
  bob->Send("AWAY :lunch");
  ASSERT_TRUE(WaitFor([&] { return list->item(1)->toolTip() == tip; }));
  EXPECT_EQ(list->item(1)->foreground().color(), QColor(Qt::gray));
  EXPECT_EQ(Shown(list->item(1)->text()), "bob");  // the row text stays the nick
  EXPECT_TRUE(list->item(0)->toolTip().isEmpty());
  mainWindow.SelectUserRow(1);
  mainWindow.ShowSelectedUserDetails();
  EXPECT_EQ(mainWindow.findChild<QLabel*>(QStringLiteral("PanelUser"))->toolTip(), tip);
  bob->Send("AWAY");
  ASSERT_TRUE(WaitFor([&] { return list->item(1)->toolTip().isEmpty(); }));
  EXPECT_EQ(list->item(1)->foreground(), QBrush());
}

TEST(ChannelPages, FollowJoinPrivmsgNickTopicAndPart) {
  WindowFixture fixture;
  auto [ann, bob] = fixture.AnnAndBobListed();
  ASSERT_TRUE(ann && bob) << fixture.StartError();
  ChannelPage* page = fixture.JoinedPage(*ann, "#a");
  ASSERT_NE(page, nullptr);
  window::qt::MainWindow& mainWindow = fixture.Window();
  EXPECT_EQ(Shown(mainWindow.TabCaption(page)), "  #a");
  EXPECT_EQ(mainWindow.PageTabs()->indexOf(page), 2);
  ASSERT_TRUE(
      WaitFor([&] { return LastLineIs(page, "*** ann" + std::string(base::jp::kEntered)); }));
  const std::vector<std::string> status{"+nt", "-l:__", "-k:_________", "topic:"};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(Shown(page->StatusText(i)), status[static_cast<std::size_t>(i)]);

  bob->Send("JOIN #a");
  ASSERT_TRUE(WaitFor([&] { return page->Members() == std::vector<std::string>{"ann", "bob"}; }));
  EXPECT_EQ(page->MemberList()->count(), 2);
  ann->Send("PRIVMSG #a :hello");
  ASSERT_TRUE(WaitFor([&] { return LastLineIs(page, "ann> hello"); }));
  bob->Send("NICK bobby");
  ASSERT_TRUE(WaitFor([&] { return page->Members() == std::vector<std::string>{"ann", "bobby"}; }));
  EXPECT_EQ(Shown(page->MemberList()->item(1)->text()), "bobby");
  ann->Send("TOPIC #a :news");
  ASSERT_TRUE(WaitFor([&] { return Shown(page->StatusText(3)) == "topic:news by ann"; }));
  ASSERT_TRUE(WaitFor([&] { return LastLineIs(page, "*** news by ann"); }));

  // The page shows what its channel holds once it is looked at.
  mainWindow.PageTabs()->setCurrentWidget(page);
  ASSERT_TRUE(WaitFor([&] {
    return page->View()->RenderedLines() == static_cast<int>(page->View()->Lines().size());
  }));
  EXPECT_TRUE(page->View()->toPlainText().endsWith(QStringLiteral("*** news by ann")));

  bob->Send("PART #a");
  ASSERT_TRUE(WaitFor([&] { return page->Members() == std::vector<std::string>{"ann"}; }));
  ann->Send("PART #a");
  ASSERT_TRUE(WaitFor([&] { return mainWindow.FindChannelPage("#a") == nullptr; }));
  EXPECT_TRUE(mainWindow.ChannelPages().empty());
  EXPECT_EQ(mainWindow.PageTabs()->count(), 2);
}

TEST(ChannelPages, KeepTheTablesOrderWhenAChannelComesBack) {
  WindowFixture fixture;
  auto [ann] = RegisteredAll(fixture, {"ann"});
  ASSERT_TRUE(ann) << fixture.StartError();
  ann->Send("JOIN #a");
  ASSERT_NE(fixture.JoinedPage(*ann, "#b"), nullptr);
  // Gone and back between two repaints: a fresh page, now after #b.
  ann->Send("PART #a");
  ann->Send("JOIN #a");
  window::qt::MainWindow& mainWindow = fixture.Window();
  ASSERT_TRUE(WaitFor([&] {
    const auto& pages = mainWindow.ChannelPages();
    return pages.size() == 2 && pages[0]->Name() == "#b" && pages[1]->Name() == "#a" &&
           pages[1]->Members().size() == 1;
  }));
  EXPECT_EQ(mainWindow.PageTabs()->indexOf(mainWindow.ChannelPages()[1]), 3);
}

TEST(UserDetails, ShowTheUserAndMarkEveryChannelCaption) {
  WindowFixture fixture;
  auto [ann, bob] = fixture.AnnAndBobListed();
  ASSERT_TRUE(ann && bob) << fixture.StartError();
  ASSERT_NE(fixture.JoinedPage(*ann, "#a"), nullptr);  // first member: operator
  ASSERT_NE(fixture.JoinedPage(*bob, "#b"), nullptr);
  ann->Send("JOIN #b");                                // plain member
  ASSERT_NE(fixture.JoinedPage(*bob, "#c"), nullptr);  // ann is not in it
  ASSERT_TRUE(fixture.WaitUserRows({"ann", "bob"}));
  ASSERT_TRUE(
      WaitFor([&] { return fixture.Window().FindChannelPage("#b")->Members().size() == 2; }));

  window::qt::MainWindow& mainWindow = fixture.Window();
  QListWidget* list = mainWindow.UserList();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    list->visualItemRect(list->item(0)).center());
  EXPECT_EQ(mainWindow.SelectedUserRow(), 0);
  const std::vector<std::string> panels{"user", "host", "server", "Real Name", "127.0.0.1"};
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(Shown(mainWindow.DetailText(i)), panels[static_cast<std::size_t>(i)]);
  const std::vector<std::string> captions{std::string(window::kMarkOperator) + "#a",
                                          std::string(window::kMarkMember) + "#b",
                                          std::string(window::kMarkAbsent) + "#c"};
  for (std::size_t i = 0; i < captions.size(); ++i) {
    EXPECT_EQ(Shown(mainWindow.TabCaption(mainWindow.ChannelPages()[i])), captions[i]);
  }
  // Voiced in #b: asked again, the caption marks it.
  bob->Send("MODE #b +v ann");
  ASSERT_NE(bob->ReadUntil(" MODE #b +v ann"), "<timeout>");
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    list->visualItemRect(list->item(0)).center());
  EXPECT_EQ(Shown(mainWindow.TabCaption(mainWindow.ChannelPages()[1])),
            std::string(window::kMarkVoiced) + "#b");
  // A new channel's page starts with two spaces.
  ChannelPage* fresh = fixture.JoinedPage(*bob, "#d");
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(Shown(mainWindow.TabCaption(fresh)), "  #d");
}

TEST(CommLogPages, OpenPerConnectionFollowTheNickAndClose) {
  WindowFixture fixture;
  ASSERT_TRUE(fixture.Started()) << fixture.StartError();
  window::qt::MainWindow& mainWindow = fixture.Window();
  auto client = fixture.Connect();
  ASSERT_TRUE(client->Connected());
  ASSERT_TRUE(WaitFor([&] { return mainWindow.LogPages().size() == 1; }));
  LogPage* page = mainWindow.LogPages().front();
  EXPECT_EQ(Shown(mainWindow.LogTabCaption(page)), "");
  ASSERT_TRUE(client->Register("ann"));
  ASSERT_TRUE(WaitFor([&] { return Shown(mainWindow.LogTabCaption(page)) == "ann"; }));
  ASSERT_TRUE(WaitFor([&] {
    const auto& sent = page->Sent()->Lines();
    return !page->Received()->Lines().empty() && page->Received()->Lines().front() == "NICK ann" &&
           !sent.empty() && sent.front().find(" 001 ann ") != std::string::npos;
  }));
  client->Send("NICK anna");
  ASSERT_TRUE(WaitFor([&] { return Shown(mainWindow.LogTabCaption(page)) == "anna"; }));
  // A channel line goes to every other member at once; each one's page shows it.
  auto bob = fixture.Registered("bob");
  auto cid = fixture.Registered("cid");
  ASSERT_TRUE(bob && cid && bob->Join("#x") && cid->Join("#x") && client->Join("#x"));
  const auto membersShow = [&](const std::string& text) {
    for (int slot : {1, 2}) {
      if (!WaitFor([&] {
            LogPage* member = mainWindow.FindLogPage(slot);
            return member != nullptr && !member->Sent()->Lines().empty() &&
                   member->Sent()->Lines().back() == ":anna!user@127.0.0.1 PRIVMSG #x :" + text;
          }))
        return false;
    }
    return true;
  };
  client->Send("PRIVMSG #x :hello");
  ASSERT_TRUE(membersShow("hello"));
  // No refresh is due now, so only the relay's own notice can bring this up.
  client->Send("PRIVMSG #x :again");
  EXPECT_TRUE(membersShow("again"));
  bob->Close();
  cid->Close();
  client->Close();
  ASSERT_TRUE(WaitFor([&] { return mainWindow.LogPages().empty(); }));

  // A warning from a service thread shows beneath the pages, the newest kept.
  auto* warning = mainWindow.findChild<QLabel*>(QStringLiteral("CommLogWarning"));
  ASSERT_NE(warning, nullptr);
  EXPECT_TRUE(warning->isHidden());
  std::thread([&] {
    mainWindow.ShowWarning("day log: first");
    mainWindow.ShowWarning("day log: behind");
  }).join();
  ASSERT_TRUE(WaitFor([&] { return !warning->isHidden(); }));
  EXPECT_TRUE(warning->text().endsWith(QStringLiteral(" day log: behind")));
}

TEST(WebRequestView, ShowsEveryRequestLine) {
  WindowFixture fixture({{"Web.Send", "Enable"}, {"Web.Port", "0"}});
  ASSERT_TRUE(fixture.Started()) << fixture.StartError();
  ASSERT_GT(fixture.Server().WebPort(), 0);
  TestClient browser(fixture.Server().WebPort());
  ASSERT_TRUE(browser.Connected());
  browser.Send("GET /NOPE HTTP/1.0");
  browser.Send("");
  window::qt::LineView* webView = fixture.Window().WebView();
  ASSERT_TRUE(WaitFor([&] {
    return !webView->Lines().empty() && webView->Lines().front() == "[127.0.0.1]GET /NOPE HTTP/1.0";
  }));
  EXPECT_TRUE(webView->toPlainText().startsWith(QStringLiteral("[127.0.0.1]GET /NOPE HTTP/1.0")));
}

TEST(StartUp, FailureIsShownInAMessageBoxAndTheWindowStaysOpen) {
  WindowFixture fixture(SettingsMap{{"Program.UserMax", "many"}});
  EXPECT_FALSE(fixture.Started());
  window::qt::MainWindow& mainWindow = fixture.Window();
  ASSERT_EQ(mainWindow.Errors().size(), 1u);
  EXPECT_NE(mainWindow.Errors().front().find("Program.UserMax"), std::string::npos);
  QMessageBox* box = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    box = mainWindow.findChild<QMessageBox*>();
    return box != nullptr && box->isVisible();
  }));
  EXPECT_TRUE(box->text().contains(QStringLiteral("Program.UserMax")));
  EXPECT_TRUE(mainWindow.isVisible());
  box->close();
}

TEST(OperatorClient, TalksJoinsAndPartsFromThePages) {
  WindowFixture fixture({}, true);
  ASSERT_TRUE(fixture.Started()) << fixture.StartError();
  // The desk's client registers on its own thread; rows follow registration order.
  ASSERT_TRUE(fixture.WaitUserRows({"ZELKNIK"}));
  auto ann = fixture.Registered("ann");
  ASSERT_TRUE(ann);
  ASSERT_TRUE(fixture.WaitUserRows({"ZELKNIK", "ann"}));
  window::qt::MainWindow& mainWindow = fixture.Window();
  FieldOf(mainWindow, "EditChannel")->setText("#op");
  mainWindow.SettingsPane()->ClientJoinButton()->click();
  ChannelPage* page = fixture.WaitChannelPage("#op");
  ASSERT_NE(page, nullptr);
  ann->Send("JOIN #op");
  ASSERT_TRUE(WaitFor([&] {
    return page->Members() == std::vector<std::string>{"ZELKNIK", "ann"};
  }));
  (void)ann->ReadUntil(" 366 ");

  mainWindow.PageTabs()->setCurrentWidget(page);
  QTest::keyClicks(page->Input(), "hello");
  QTest::keyClick(page->Input(), Qt::Key_Return);
  EXPECT_EQ(ann->ReadLine(), ":ZELKNIK!Administrator@127.0.0.1 PRIVMSG #op :hello");
  EXPECT_TRUE(page->Input()->text().isEmpty());
  // An empty line sends nothing; a "/" line goes out raw.
  QTest::keyClick(page->Input(), Qt::Key_Return);
  EXPECT_TRUE(ann->Silent());
  page->Input()->setText("/topic #op :plans");
  QTest::keyClick(page->Input(), Qt::Key_Return);
  EXPECT_EQ(ann->ReadLine().rfind(":ZELKNIK!Administrator@127.0.0.1 TOPIC #op :plans", 0), 0u);
  ASSERT_TRUE(WaitFor([&] { return Shown(page->StatusText(3)) == "topic:plans by ZELKNIK"; }));

  page->PartButton()->click();
  EXPECT_EQ(ann->ReadLine(), ":ZELKNIK!Administrator@127.0.0.1 PART #op");
  ASSERT_TRUE(WaitFor([&] { return page->Members() == std::vector<std::string>{"ann"}; }));
  page->JoinButton()->click();
  EXPECT_EQ(ann->ReadLine(), ":ZELKNIK!Administrator@127.0.0.1 JOIN :#op");
}

TEST(SweepTimer, StartsALivenessSweepEachTick) {
  WindowFixture fixture;
  ASSERT_TRUE(fixture.Started()) << fixture.StartError();
  auto* timer = fixture.Window().findChild<QTimer*>("Timer1");
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->interval(), 60000);
  EXPECT_TRUE(timer->isActive());
  auto first = fixture.Registered("first");  // slot 0 is never swept
  auto ann = fixture.Registered("ann");
  ASSERT_TRUE(first && ann);
  timer->setInterval(10);
  // The event loop must run for the timer, so the client is read in polls.
  EXPECT_TRUE(WaitFor([&] { return ann->ReadLine(5).rfind("PING ", 0) == 0; }));
}

TEST(Close, ShutsDownFirstAndClosesOnceEveryConnectionHasEnded) {
  WindowFixture fixture;
  auto [ann] = RegisteredAll(fixture, {"ann"});
  ASSERT_TRUE(ann) << fixture.StartError();
  window::qt::MainWindow& mainWindow = fixture.Window();
  mainWindow.SettingsPane()->QuitButton()->click();
  EXPECT_FALSE(mainWindow.SettingsPane()->QuitButton()->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return !mainWindow.isVisible(); }));
  EXPECT_TRUE(fixture.Server().Drained());
  EXPECT_EQ(ann->ReadLine(), "<closed>");
}

// A wheel turn up over the view, scrolled to its top first.
void WheelUpAtTop(window::qt::LineView* view) {
  view->verticalScrollBar()->setValue(0);
  const QPointF at(10, 10);
  QWheelEvent wheel(at, view->viewport()->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(view->viewport(), &wheel);
}

TEST(ChannelPages, ScrollBackIntoTheHistoryStoreAboveTheirOwnLines) {
  WindowFixture fixture(SettingsMap{{"Log.Lines", "5"}, {"History.Save", "Enable"}});
  auto [ann] = RegisteredAll(fixture, {"ann"});
  ASSERT_TRUE(ann) << fixture.StartError();
  history::Store* store = fixture.Server().HistoryStore();
  ASSERT_NE(store, nullptr);
  ChannelPage* page = fixture.JoinedPage(*ann, "#h");
  ASSERT_NE(page, nullptr);
  fixture.Window().PageTabs()->setCurrentWidget(page);
  ann->Send("PRIVMSG #h :hello");
  ASSERT_TRUE(WaitFor([&] { return LastLineIs(page, "ann> hello"); }));
  // Said an hour before, in UTF-8 as the store keeps it.
  const std::int64_t hourAgoMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count() -
                                 3600 * 1000;
  for (int i = 0; i < 150; ++i) {
    history::Row row;
    row.timeMs = hourAgoMs + i;
    row.kind = "PRIVMSG";
    row.target = "#H";
    row.prefix = "bob!b@host";
    row.text = "\xE5\x8F\xA4 " + std::to_string(i);  // "古"
    ASSERT_TRUE(store->Append(row));
  }
  store->Flush();
  window::qt::LineView* view = page->View();
  const auto LineAt = [&](int block) {
    return Unstamped(Shown(view->document()->findBlockByNumber(block).text()));
  };
  const std::string old = "bob> \x8C\xC3 ";

  WheelUpAtTop(view);
  ASSERT_TRUE(WaitFor([&] { return view->OlderLines() == 100; }));
  EXPECT_EQ(LineAt(0), old + "50");
  EXPECT_EQ(LineAt(99), old + "149");
  EXPECT_EQ(LineAt(100), "*** ann" + std::string(base::jp::kEntered));
  EXPECT_EQ(LineAt(101), "ann> hello");
  // The reader stays on the line he was reading, as far as the lines below
  // it let the view scroll.
  const QScrollBar* bar = view->verticalScrollBar();
  EXPECT_EQ(bar->value(), std::min(100, bar->maximum()));
  EXPECT_GT(bar->maximum(), 0);

  // Lines the page's own list lets go stay on the page above it.
  // (The list keeps 6: the join goes.)
  for (int i = 0; i < 5; ++i) ann->Send("PRIVMSG #h :new " + std::to_string(i));
  ASSERT_TRUE(WaitFor([&] { return view->document()->blockCount() == 107; }));
  EXPECT_EQ(view->OlderLines(), 101);
  EXPECT_EQ(LineAt(100), "*** ann" + std::string(base::jp::kEntered));
  EXPECT_EQ(LineAt(106), "ann> new 4");

  WheelUpAtTop(view);
  ASSERT_TRUE(WaitFor([&] { return view->OlderLines() == 151; }));
  EXPECT_EQ(LineAt(0), old + "0");
  EXPECT_EQ(LineAt(50), old + "50");
  // The first stored line reached, a further turn reads nothing more.
  WheelUpAtTop(view);
  QCoreApplication::processEvents();
  EXPECT_EQ(view->document()->blockCount(), 157);
}

TEST(Flood, KeepsTheWindowsMemoryBounded) {
  constexpr int kLines = 3000;
  WindowFixture fixture(SettingsMap{{"Log.Lines", "50"}});
  auto [ann] = RegisteredAll(fixture, {"ann"});
  ASSERT_TRUE(ann) << fixture.StartError();
  ChannelPage* page = fixture.JoinedPage(*ann, "#f");
  ASSERT_NE(page, nullptr);
  window::qt::MainWindow& mainWindow = fixture.Window();
  mainWindow.PageTabs()->setCurrentWidget(page);
  std::string burst;
  for (int i = 0; i < kLines; ++i) burst += "PRIVMSG #f :flood " + std::to_string(i) + "\r\n";
  ann->SendRaw(burst);
  ASSERT_TRUE(WaitFor(
      [&] {
        return LastLineIs(page, "ann> flood " + std::to_string(kLines - 1)) &&
               page->View()->RenderedLines() == 51;
      },
      20000));
  EXPECT_EQ(page->View()->Lines().size(), 51u);
  EXPECT_EQ(page->View()->document()->blockCount(), 51);
  EXPECT_TRUE(page->View()->toPlainText().endsWith(QStringLiteral("ann> flood 2999")));
  LogPage* log = mainWindow.FindLogPage(0);
  ASSERT_NE(log, nullptr);
  ASSERT_TRUE(WaitFor([&] { return log->Received()->Lines().size() == 201; }));
  EXPECT_EQ(log->Received()->Lines().back(), "PRIVMSG #f :flood 2999");
  const window::qt::MainWindow::RefreshCounts counts = mainWindow.Counts();
  // One refresh in flight at most: thousands of notifications, a few posts.
  EXPECT_GE(counts.notifications, static_cast<std::uint64_t>(2 * kLines));
  EXPECT_LE(counts.posts, counts.refreshes + 1);
  EXPECT_LT(counts.posts * 10, counts.notifications);
  EXPECT_EQ(counts.removedChannels, 0u);
}

}  // namespace
}  // namespace zelkord::testing
