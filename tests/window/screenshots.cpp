// The documentation's pictures of the main window.
#include "screenshots.h"

#include <QLineEdit>
#include <QPixmap>
#include <cstdio>

#include "text/sjis_utf8.h"
#include "text/wire_text.h"
#include "window_fixture.h"

namespace zelkord::testing {
namespace {

// A line typed in UTF-8, as a client puts it on the wire (ISO-2022-JP).
std::string Wire(const std::string& utf8) {
  return text::ToWireText(text::DisplayUtf8ToSjis(utf8));
}

bool Save(window::qt::MainWindow& mainWindow, const std::string& folder, const std::string& name) {
  QTest::qWait(50);  // let the pages lay themselves out before the picture
  const std::string path = folder + "/" + name + ".png";
  const bool saved = mainWindow.grab().save(QString::fromStdString(path));
  std::printf("%s %s\n", saved ? "saved" : "FAILED", path.c_str());
  return saved;
}

}  // namespace

int SaveScreenshots(const std::string& folder) {
  WindowFixture fixture({{"Position.Width", "760"},
                         {"Position.Height", "520"},
                         {"Web.Send", "Enable"},
                         {"Web.Port", "0"},
                         {"Client.Nick", "ZELKNIK"}},
                        true);
  if (!fixture.Started()) {
    std::fprintf(stderr, "the server did not start: %s\n", fixture.StartError().c_str());
    return 1;
  }
  window::qt::MainWindow& mainWindow = fixture.Window();
  // The desk's client first, so that the rows come in a fixed order.
  if (!fixture.WaitUserRows({"ZELKNIK"})) {
    std::fprintf(stderr, "the desk's client did not register\n");
    return 1;
  }
  auto hanako = fixture.Registered("hanako");
  auto taro = fixture.Registered("taro");
  if (!hanako || !taro || !fixture.WaitUserRows({"ZELKNIK", "hanako", "taro"})) {
    std::fprintf(stderr, "the clients did not register\n");
    return 1;
  }
  mainWindow.findChild<QLineEdit*>("EditChannel")->setText(QStringLiteral("#lobby"));
  mainWindow.SettingsPane()->ClientJoinButton()->click();
  (void)fixture.WaitChannelPage("#lobby");
  hanako->Send("JOIN #lobby");
  taro->Send("JOIN #lobby");
  taro->Send("JOIN #tech");
  hanako->Send(Wire("TOPIC #lobby :今日の話題はお花見です"));
  hanako->Send(Wire("PRIVMSG #lobby :こんにちは、みなさん！"));
  taro->Send(Wire("PRIVMSG #lobby :こんにちは。ｻｸﾗが満開ですね"));
  hanako->Send("NICK hana");
  taro->Send(Wire("PRIVMSG #tech :ビルドが通りました"));
  window::qt::ChannelPage* lobby = fixture.WaitChannelPage("#lobby");
  if (lobby == nullptr || !WaitFor([&] { return lobby->View()->Lines().size() >= 7; })) {
    std::fprintf(stderr, "the channel page did not fill\n");
    return 1;
  }
  mainWindow.findChild<QLineEdit*>("EditBan")->setText(QStringLiteral("192.168.1.*"));
  mainWindow.SettingsPane()->AddBan();
  TestClient browser(fixture.Server().WebPort());
  browser.Send("GET / HTTP/1.0");
  browser.Send("");
  (void)WaitFor([&] { return !mainWindow.WebView()->Lines().empty(); });
  (void)fixture.WaitUserRows({"ZELKNIK", "hana", "taro"});
  mainWindow.SelectUserRow(1);
  mainWindow.ShowSelectedUserDetails();

  bool saved = true;
  const char* settingsNames[] = {"settings-program", "settings-server", "settings-client",
                                 "settings-log", "settings-web"};
  mainWindow.PageTabs()->setCurrentIndex(0);
  for (int i = 0; i < 5; ++i) {
    mainWindow.SettingsPane()->Pages()->setCurrentIndex(i);
    saved = Save(mainWindow, folder, settingsNames[i]) && saved;
  }
  mainWindow.PageTabs()->setCurrentIndex(1);
  if (window::qt::LogPage* log = mainWindow.FindLogPage(1)) {
    if (auto* tabs = mainWindow.findChild<QTabWidget*>("CommLogPages")) tabs->setCurrentWidget(log);
  }
  saved = Save(mainWindow, folder, "comm-log") && saved;
  mainWindow.PageTabs()->setCurrentWidget(lobby);
  saved = Save(mainWindow, folder, "channel") && saved;
  return saved ? 0 : 1;
}

}  // namespace zelkord::testing
