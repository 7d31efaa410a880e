// Every client in its own encoding: ISO-2022-JP, UTF-8 and Shift_JIS
// clients in one channel, detection, CHARSET, the default from the settings,
// the operator client, and cuts that never split a character.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "base/clock.h"
#include "support/test_server.h"
#include "support/wait.h"
#include "text/encoding.h"

namespace zelkord::testing {
namespace {

// "#日本語" and "テスト①〜ｶﾀｶﾅ" as each encoding carries them; ISO-2022-JP
// sends half-width katakana as 8-bit bytes, as it always did.
const std::string kJisChannel = "#\x1B$BF|K\\8l\x1B(B";
const std::string kUtf8Channel = "#日本語";
const std::string kSjisChannel = "#\x93\xFA\x96\x7B\x8C\xEA";
const std::string kJisText = "\x1B$B%F%9%H-!!A\x1B(B\xB6\xC0\xB6\xC5";
const std::string kUtf8Text = "テスト①〜ｶﾀｶﾅ";
const std::string kSjisText = "\x83\x65\x83\x58\x83\x67\x87\x40\x81\x60\xB6\xC0\xB6\xC5";

std::string Privmsg(const std::string& nick, const std::string& channel, const std::string& text) {
  return ":" + nick + "!user@127.0.0.1 PRIVMSG " + channel + " :" + text;
}

TEST(Encodings, MixedChannelReadsInEachClientsOwnEncoding) {
  TempDir logs;
  TestServer server(SettingsMap{{"Log.Save", "Enable"}, {"Log.Path", logs.Path()}});
  auto [jis, utf, sjis, utf2] = RegisteredAll(server, {"jis", "utf", "sjis", "utf2"});
  ASSERT_TRUE(jis && utf && sjis && utf2);
  // Each joins in its own encoding; the UTF-8 and Shift_JIS names give them away.
  ASSERT_TRUE(jis->Join(kJisChannel));
  ASSERT_TRUE(utf->Join(kUtf8Channel));
  ASSERT_TRUE(sjis->Join(kSjisChannel));
  ASSERT_TRUE(utf2->Join(kUtf8Channel));
  EXPECT_EQ(jis->ReadUntil(" JOIN "), ":utf!user@127.0.0.1 JOIN :" + kJisChannel);
  EXPECT_EQ(jis->ReadUntil(" JOIN "), ":sjis!user@127.0.0.1 JOIN :" + kJisChannel);
  EXPECT_EQ(utf->ReadUntil(" JOIN "), ":sjis!user@127.0.0.1 JOIN :" + kUtf8Channel);
  (void)jis->ReadUntil(" JOIN ");
  (void)utf->ReadUntil(" JOIN ");
  EXPECT_EQ(sjis->ReadUntil(" JOIN "), ":utf2!user@127.0.0.1 JOIN :" + kSjisChannel);

  jis->Send("PRIVMSG " + kJisChannel + " :" + kJisText);
  EXPECT_EQ(utf->ReadLine(), Privmsg("jis", kUtf8Channel, kUtf8Text));
  EXPECT_EQ(utf2->ReadLine(), Privmsg("jis", kUtf8Channel, kUtf8Text));
  EXPECT_EQ(sjis->ReadLine(), Privmsg("jis", kSjisChannel, kSjisText));

  // From UTF-8: the other UTF-8 client gets the bytes as typed, emoji and
  // all; the rest get the geta mark in its place.
  utf->Send("PRIVMSG " + kUtf8Channel + " :" + kUtf8Text + "😀");
  EXPECT_EQ(utf2->ReadLine(), Privmsg("utf", kUtf8Channel, kUtf8Text + "😀"));
  EXPECT_EQ(jis->ReadLine(), Privmsg("utf", kJisChannel, kJisText + "\x1B$B\".\x1B(B"));
  EXPECT_EQ(sjis->ReadLine(), Privmsg("utf", kSjisChannel, kSjisText + "\x81\xAC"));
  sjis->Send("PRIVMSG " + kSjisChannel + " :" + kSjisText);
  EXPECT_EQ(jis->ReadLine(), Privmsg("sjis", kJisChannel, kJisText));
  EXPECT_EQ(utf->ReadLine(), Privmsg("sjis", kUtf8Channel, kUtf8Text));

  // The view and the day log hold the Shift_JIS form.
  const std::vector<std::string> said = {"jis> " + kSjisText, "utf> " + kSjisText + "\x81\xAC",
                                         "sjis> " + kSjisText};
  const std::vector<std::string> view = server.View(kSjisChannel);
  ASSERT_GE(view.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(view.end() - 3, view.end()), said);
  const std::string file = kSjisChannel + "/" + base::DayStamp(std::time(nullptr)) + ".TXT";
  for (const std::string& line : said) {
    EXPECT_TRUE(WaitUntil([&] { return logs.Read(file).find(line + "\r\n") != std::string::npos; }))
        << line;
  }

  // Each switch is on the connection's page and told to the desk, once.
  const std::vector<std::string> events = server.Desk().Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "encoding 1 encoding UTF-8 (detected)"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "encoding 2 encoding Shift_JIS (detected)"),
            1);
  const auto page = server.Server().protocol.commLog->Snapshot(1);
  EXPECT_NE(std::find(page.received.begin(), page.received.end(), "*** encoding UTF-8 (detected)"),
            page.received.end());
}

TEST(Encodings, CharsetPinsReportsAndRefuses) {
  TestServer server;
  auto ann = server.Connect();
  ann->Send("CHARSET");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "222 * ISO-2022-JP :is your charset now");
  ann->Send("charset klingon");
  EXPECT_EQ(ann->ReadLine(),
            kServerPrefix + "468 * klingon :Unknown charset (ISO-2022-JP, UTF-8, Shift_JIS)");
  ann->Send("CHARSET sjis");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "222 * Shift_JIS :is your charset now");
  ASSERT_TRUE(ann->Register("ann"));
  // Pinned: a line that is plainly UTF-8 is still read as Shift_JIS.
  ASSERT_TRUE(ann->Join("#\xE6\x97\xA5"));
  EXPECT_EQ(server.Channels(), std::vector<std::string>{"#\xE6\x97\xA5"});
  ann->Send("CHARSET UTF-8");
  EXPECT_EQ(ann->ReadLine(), kServerPrefix + "222 ann UTF-8 :is your charset now");
  ann->Send("PRIVMSG ann :\x83\x65");  // Shift_JIS now reads as UTF-8, badly
  EXPECT_EQ(ann->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG ann :〓e");
  const std::vector<std::string> events = server.Desk().Events();
  EXPECT_TRUE(std::none_of(events.begin(), events.end(), [](const std::string& event) {
    return event.find("(detected)") != std::string::npos;
  }));
}

TEST(Encodings, DefaultFromTheSettingsButTheOperatorStaysIso2022Jp) {
  TestServer server(SettingsMap{{"Server.Charset", "UTF-8"}}, true);
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.WaitRegistered(1));
  auto utf = server.Registered("utf");
  ASSERT_TRUE(utf->Join(kUtf8Channel));
  server.Server().Operator().Join(kSjisChannel);
  EXPECT_EQ(utf->ReadUntil(" JOIN "), ":ZELKNIK!Administrator@127.0.0.1 JOIN :" + kUtf8Channel);
  // Half-width katakana alone prove no encoding: only the pin keeps them right.
  EXPECT_TRUE(server.Server().Operator().Input(kSjisChannel, "\xB6\xC0"));
  EXPECT_EQ(utf->ReadLine(), ":ZELKNIK!Administrator@127.0.0.1 PRIVMSG " + kUtf8Channel + " :ｶﾀ");
}

TEST(Encodings, CutsNeverSplitACharacter) {
  TestServer server;
  auto jis = server.Registered("jis");
  auto utf = server.Registered("utf8");
  ASSERT_TRUE(jis->Join("#a"));
  ASSERT_TRUE(utf->Join("#a"));
  utf->Send("CHARSET utf8");
  (void)utf->ReadLine();
  // A target as long as a line allows, named by each client in its own
  // encoding, its kanji where the 401 reply that names it back is cut.
  std::string jisTarget = std::string(480, 'a') + "\x1B$B";
  std::string utfTarget = std::string(480, 'a');
  for (int i = 0; i < 5; ++i) {
    jisTarget += "F|";  // 日
    utfTarget += "日";
  }
  jis->Send("PRIVMSG " + jisTarget + "\x1B(B :x");
  utf->Send("PRIVMSG " + utfTarget + " :x");
  // Two nick lengths: one of the two 401 replies is cut at an odd offset.
  for (TestClient* client : {jis.get(), utf.get()}) {
    const std::string reply = client->ReadUntil(" 401 ");
    ASSERT_GT(reply.size(), 400u);
    if (client == utf.get()) {
      EXPECT_TRUE(text::IsStrictUtf8(reply));
      EXPECT_EQ(reply.substr(reply.size() - 3), "日");
    } else {
      EXPECT_TRUE(std::none_of(reply.begin(), reply.end(),
                               [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
      EXPECT_EQ(reply.substr(reply.size() - 5), "F|\x1B(B");
    }
  }
}

}  // namespace
}  // namespace zelkord::testing
