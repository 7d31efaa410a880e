// Tests of the settings file: the start-up sequence byte for byte, the ban
// list keys, the old-version clean-up, number and colour texts, and the
// message of the day.
#include "config/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "base/version.h"
#include "support/test_server.h"

namespace zelkord::config {
namespace {

// A fresh folder for one test, holding the instance of a program file
// named "zelkord".
class TempDir : public testing::TempDir {
 public:
  InstancePaths Paths() const { return PathsFor(File("zelkord")); }
};

using testing::ReadFile;
using testing::WriteFile;

// What start-up does with the settings: load, show, write everything back.
LoadedSettings StartUp(const InstancePaths& paths) {
  LoadedSettings loaded = LoadSettings(paths);
  EXPECT_TRUE(SaveSettings(paths.settingsFile, PageFromSettings(loaded.settings), loaded.banList));
  EXPECT_TRUE(SaveWindowPosition(paths.settingsFile, loaded.geometry));
  EXPECT_TRUE(SaveColors(paths.settingsFile, loaded.webLogBack, loaded.webLogFore,
                         loaded.settings.colorLogBack, loaded.settings.colorLogFore));
  EXPECT_TRUE(SaveFileSettings(paths.settingsFile, loaded.settings));
  return loaded;
}

// The message of SettingsNumberError thrown by LoadSettings, or "" if none.
std::string LoadError(const InstancePaths& paths) {
  try {
    static_cast<void>(config::LoadSettings(paths));
  } catch (const SettingsNumberError& error) {
    return error.what();
  }
  return "";
}

TEST(ToInt, AcceptsOptionallySignedDecimalWithin32Bits) {
  const struct {
    const char* text;
    int value;
  } good[] = {{"0", 0},
              {"7", 7},
              {"+7", 7},
              {"-7", -7},
              {"007", 7},
              {"-0", 0},
              {"6667", 6667},
              {"2147483647", 2147483647},
              {"-2147483648", -2147483647 - 1}};
  for (const auto& c : good) EXPECT_EQ(config::ToInt("X", c.text), c.value) << c.text;

  const char* bad[] = {
      "",    "+",          "-",           " 7",  "7 ",  "+-7",      "0x10",
      "$10", "2147483648", "-2147483649", "1e3", "7.0", "\x82\x4f", "99999999999999999999999"};
  for (const char* text : bad)
    EXPECT_THROW(static_cast<void>(config::ToInt("X", text)), SettingsNumberError) << text;
}

TEST(ToInt, ErrorNamesTheValueAndItsText) {
  try {
    static_cast<void>(config::ToInt("Program.UserMax", "64x"));
    FAIL() << "no error";
  } catch (const SettingsNumberError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("Program.UserMax"), std::string::npos) << message;
    EXPECT_NE(message.find("\"64x\""), std::string::npos) << message;
  }
}

TEST(PathsFor, ReplacesTheFileNameExtension) {
  const struct {
    const char* base;
    const char* settings;
    const char* motd;
    const char* folder;
  } cases[] = {
      {"build/zelkord", "build/zelkord.INI", "build/zelkord.MTD", "build/"},
      {"/opt/z/Zelkord.exe", "/opt/z/Zelkord.INI", "/opt/z/Zelkord.MTD", "/opt/z/"},
      {"zelkord", "zelkord.INI", "zelkord.MTD", "./"},
      {"a.b/zelkord", "a.b/zelkord.INI", "a.b/zelkord.MTD", "a.b/"},
      {"d/name.tar.gz", "d/name.tar.INI", "d/name.tar.MTD", "d/"},
      {"d/name.", "d/name.INI", "d/name.MTD", "d/"},
      {"/zelkord", "/zelkord.INI", "/zelkord.MTD", "/"},
  };
  for (const auto& c : cases) {
    const InstancePaths paths = PathsFor(c.base);
    EXPECT_EQ(paths.settingsFile, c.settings) << c.base;
    EXPECT_EQ(paths.motdFile, c.motd) << c.base;
    EXPECT_EQ(paths.folder, c.folder) << c.base;
  }
  const InstancePaths config = PathsForConfig("inst/my.conf");
  EXPECT_EQ(config.settingsFile, "inst/my.conf");
  EXPECT_EQ(config.motdFile, "inst/my.MTD");
  EXPECT_EQ(config.folder, "inst/");
}

TEST(StartUpSequence, FirstStartWritesEveryDefaultInOrder) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  const std::string expected = testing::FirstStartIni(paths.settingsFile);

  const LoadedSettings first = StartUp(paths);
  EXPECT_EQ(ReadFile(paths.settingsFile), expected);
  EXPECT_TRUE(first.banList.empty());
  EXPECT_TRUE(first.settings.motdLines.empty());
  EXPECT_EQ(first.webLogBack, 0x808080);
  EXPECT_EQ(static_cast<std::uint32_t>(first.webLogFore), 0xFF000008u);

  // A second start reads back exactly what the first wrote.
  const LoadedSettings second = StartUp(paths);
  EXPECT_EQ(ReadFile(paths.settingsFile), expected);
  EXPECT_EQ(second.settings.serverPassWord, "");
  EXPECT_EQ(second.geometry.width, 546);
}

TEST(StartUpSequence, CommentsGoAndUnknownEntriesStay) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  WriteFile(paths.settingsFile,
            "; my settings\r\n"
            "[Extra]\r\nMine=1\r\n"
            "[Server]\r\n; the port\r\nPort=7000\r\nOld=yes\r\n");
  const LoadedSettings loaded = StartUp(paths);
  EXPECT_EQ(loaded.settings.serverPort, "7000");
  const std::string file = ReadFile(paths.settingsFile);
  EXPECT_EQ(file.find(';'), std::string::npos);
  EXPECT_EQ(file.rfind("[Extra]\r\nMine=1\r\n\r\n[Server]\r\nPort=7000\r\nOld=yes\r\nPassWord=", 0),
            0u)
      << file;
}

TEST(LoadSettings, OldVersionLosesTcpIpSectionAtOnce) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  WriteFile(paths.settingsFile,
            "[Program]\r\nVersion=1.04\r\n[TcpIP]\r\nPort=6667\r\n[Server]\r\nName=Old\r\n");
  const LoadedSettings loaded = LoadSettings(paths);
  EXPECT_EQ(loaded.settings.programVersion, base::kVersion);
  EXPECT_FALSE(loaded.cleanupWriteFailed);
  EXPECT_EQ(ReadFile(paths.settingsFile),
            "[Program]\r\nVersion=1.04\r\n\r\n[Server]\r\nName=Old\r\n\r\n");

  // Any other version keeps the section, and loading writes nothing.
  const std::string newer = "; note\r\n[Program]\r\nVersion=1.05\r\n[TcpIP]\r\nPort=1\r\n";
  WriteFile(paths.settingsFile, newer);
  EXPECT_EQ(config::LoadSettings(paths).settings.programVersion, base::kVersion);
  EXPECT_EQ(ReadFile(paths.settingsFile), newer);
}

TEST(LoadSettings, LetterCaseIsIgnoredButBlanksBelongToTheKey) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  WriteFile(paths.settingsFile,
            "[SERVER]\r\nport=7000\r\nName =Mine\r\nPassWord=\r\n[client]\r\nNICK=Boss\r\n");
  const Settings s = LoadSettings(paths).settings;
  EXPECT_EQ(s.serverPort, "7000");
  EXPECT_EQ(s.serverName, testing::kServerName);
  EXPECT_EQ(s.serverPassWord, "");
  EXPECT_EQ(s.clientNick, "Boss");
}

TEST(LoadSettings, BanListFollowsCount) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  WriteFile(paths.settingsFile, "[BanList]\r\nCount=3\r\nIp0=10.0.0.*\r\nIp2=192.168.1.5\r\n");
  EXPECT_EQ(config::LoadSettings(paths).banList,
            (std::vector<std::string>{"10.0.0.*", "*.*.*.*", "192.168.1.5"}));

  WriteFile(paths.settingsFile, "[BanList]\r\nCount=-2\r\nIp0=1.1.1.1\r\n");
  EXPECT_TRUE(config::LoadSettings(paths).banList.empty());

  WriteFile(paths.settingsFile, "[BanList]\r\nCount=1024\r\n");
  config::LoadedSettings full = config::LoadSettings(paths);
  EXPECT_EQ(full.banList.size(), 1024u);
  EXPECT_FALSE(full.banListCut);

  WriteFile(paths.settingsFile, "[BanList]\r\nCount=1025\r\n");
  full = config::LoadSettings(paths);
  EXPECT_EQ(full.banList.size(), 1024u);
  EXPECT_TRUE(full.banListCut);
}

TEST(SaveSettings, ShrinkingTheBanListLeavesOldKeysUnread) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  const SettingsPage page = PageFromSettings(DefaultSettings(paths));
  ASSERT_TRUE(config::SaveSettings(paths.settingsFile, page, {"a.*.*.*", "b", "c", "d", "e"}));
  ASSERT_TRUE(config::SaveSettings(paths.settingsFile, page, {"x", "y", "z"}));
  const std::string file = ReadFile(paths.settingsFile);
  EXPECT_NE(file.find("[BanList]\r\nCount=3\r\nIp0=x\r\nIp1=y\r\nIp2=z\r\nIp3=d\r\nIp4=e\r\n\r\n"),
            std::string::npos)
      << file;
  EXPECT_EQ(config::LoadSettings(paths).banList, (std::vector<std::string>{"x", "y", "z"}));

  std::vector<std::string> tooMany(config::kBanListCapacity + 5, "1.2.3.4");
  ASSERT_TRUE(config::SaveSettings(paths.settingsFile, page, tooMany));
  EXPECT_NE(ReadFile(paths.settingsFile).find("Count=1024\r\n"), std::string::npos);
}

TEST(LoadSettings, UnconvertibleTextStopsLoadingAndWritesNothing) {
  const struct {
    const char* file;
    const char* what;
  } cases[] = {
      {"[Program]\r\nVersion=1.04\r\n[BanList]\r\nCount=three\r\n[TcpIP]\r\n", "BanList.Count"},
      {"[Position]\r\nTop=\r\n", "Position.Top"},
      {"[Position]\r\nWidth=546px\r\n", "Position.Width"},
      {"[Color]\r\nWebLogBack=clPink\r\n", "Color.WebLogBack"},
      {"[Color]\r\nWebLogFore=$\r\n", "Color.WebLogFore"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const InstancePaths paths = dir.Paths();
    WriteFile(paths.settingsFile, c.file);
    EXPECT_NE(LoadError(paths).find(c.what), std::string::npos) << c.what;
    EXPECT_EQ(ReadFile(paths.settingsFile), c.file) << c.what;
  }
}

TEST(SaveSettings, WritesCheckBoxesAsWordsAndFailsWhenUnwritable) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  config::SettingsPage page = config::PageFromSettings(config::DefaultSettings(paths));
  page.At("Log.Save") = "Enable";
  page.At("Server.Port") = "7000";
  ASSERT_TRUE(config::SaveSettings(paths.settingsFile, page, {}));
  const Settings s = LoadSettings(paths).settings;
  EXPECT_EQ(s.logSave, "Enable");
  EXPECT_EQ(s.webSend, "Disable");
  EXPECT_EQ(s.serverPort, "7000");

  const std::string before = ReadFile(paths.settingsFile);
  EXPECT_FALSE(config::SaveSettings(dir.File("no/such.INI"), page, {}));
  EXPECT_FALSE(config::SaveWindowPosition(dir.File("no/such.INI"), config::WindowGeometry{}));
  EXPECT_FALSE(config::SaveColors(dir.File("no/such.INI"), 0, 0, "clWindow", "clWindowText"));
  // A settings file that cannot be read is not replaced by a partial one.
  std::filesystem::create_directory(dir.File("folder.INI"));
  EXPECT_FALSE(config::SaveWindowPosition(dir.File("folder.INI"), config::WindowGeometry{}));
  EXPECT_EQ(ReadFile(paths.settingsFile), before);
}

TEST(SaveColors, WritesValuesAsTextAndLogColoursAsGiven) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  ASSERT_TRUE(
      config::SaveColors(paths.settingsFile, 0x0000FF, 0x123456, "$00ABCDEF", "clwindowtext"));
  EXPECT_EQ(ReadFile(paths.settingsFile),
            "[Color]\r\nWebLogBack=clRed\r\nWebLogFore=$00123456\r\nLogBack=$00ABCDEF\r\n"
            "LogFore=clwindowtext\r\n\r\n");
  const LoadedSettings loaded = LoadSettings(paths);
  EXPECT_EQ(loaded.webLogBack, 0x0000FF);
  EXPECT_EQ(loaded.webLogFore, 0x123456);
}

TEST(PageFromSettings, TicksOnlyForExactlyEnable) {
  const struct {
    const char* text;
    bool ticked;
  } cases[] = {
      {"Enable", true}, {"enable", false}, {"Enable ", false}, {"", false}, {"Disable", false}};
  for (const auto& c : cases) {
    config::Settings s = config::DefaultSettings(config::PathsFor("z"));
    s.logSave = c.text;
    s.webSend = c.text;
    const SettingsPage page = PageFromSettings(s);
    EXPECT_EQ(page.At("Log.Save"), c.ticked ? "Enable" : "Disable") << c.text;
    EXPECT_EQ(page.At("Web.Send"), c.ticked ? "Enable" : "Disable") << c.text;
  }
}

// Each row with a page field is written under its own key and read back into
// its own member; the others keep their defaults.
TEST(SettingsTable, EveryPageFieldRoundTripsThroughTheFile) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  SettingsPage page;
  for (int i = 0; i < kSettingsKeyCount; ++i) {
    page.texts[i] =
        kSettingsTable[i].kind == SettingKind::Switch ? "Enable" : "text" + std::to_string(i);
  }
  ASSERT_TRUE(SaveSettings(paths.settingsFile, page, {}));
  const Settings loaded = LoadSettings(paths).settings;
  const Settings defaults = DefaultSettings(paths);
  for (int i = 0; i < kSettingsKeyCount; ++i) {
    const SettingsKey& row = kSettingsTable[i];
    const bool kept = row.field.page == SettingsPageId::None || row.from == DefaultFrom::Version;
    EXPECT_EQ(loaded.*row.value, kept ? defaults.*row.value : page.texts[i]) << KeyName(row);
    EXPECT_EQ(FindKey(KeyName(row)), i);
  }
}

// The manual documents exactly the table's keys, in its order, each with
// its default.
TEST(SettingsTable, ManualListsEveryKeyWithItsDefault) {
  std::vector<std::string> expected;
  for (const SettingsKey& row : kSettingsTable) {
    std::string text = row.text;
    for (std::size_t at = 0; (at = text.find('-', at)) != std::string::npos; at += 2) {
      text.insert(at, "\\");
    }
    const std::string shown = row.from == DefaultFrom::Version    ? "the program's version"
                              : row.from == DefaultFrom::MotdFile ? "\\fIFOLDER\\fP/zelkord.MTD"
                              : row.from == DefaultFrom::Folder   ? "\\fIFOLDER\\fP/" + text
                              : text.empty()                      ? "empty"
                                                                  : text;
    expected.push_back(KeyName(row) + " (default " + shown + ")");
  }
  std::vector<std::string> documented;
  std::string section;
  std::istringstream manual(ReadFile(ZELKORD_MANUAL));
  for (std::string line; std::getline(manual, line);) {
    if (line.rfind(".SS [", 0) == 0) section = line.substr(5, line.find(']') - 5);
    const std::size_t quote = line.find(" \" (default ");
    if (line.rfind(".BR ", 0) != 0 || quote == std::string::npos || section == "Position" ||
        section == "BanList") {
      continue;
    }
    documented.push_back(section + "." + line.substr(4, quote - 4) +
                         line.substr(quote + 2, line.size() - quote - 3));
  }
  EXPECT_EQ(documented, expected);
}

TEST(LoadMotd, SplitsReadsAsTheFileDictates) {
  std::string twelve;
  for (int i = 0; i < 12; ++i) twelve += "line" + std::to_string(i) + "\r\n";
  const std::string a255(255, 'a');
  const std::string b254(254, 'b');
  const struct {
    const char* label;
    std::string content;
    std::vector<std::string> lines;
  } cases[] = {
      {"empty", "", {}},
      {"twelve lines",
       twelve,
       {"line0", "line1", "line2", "line3", "line4", "line5", "line6", "line7", "line8", "line9"}},
      {"last line unended", "one\r\ntwo", {"one", "two"}},
      {"LF only and empty lines", "a\n\nb\n", {"a", "", "b"}},
      {"lone CR stays", "a\rb\r\n", {"a\rb"}},
      {"600-byte line",
       std::string(600, 'x') + "\r\n",
       {std::string(255, 'x'), std::string(255, 'x'), std::string(90, 'x')}},
      {"255 bytes then break", a255 + "\r\nz", {a255, "", "z"}},
      {"254 bytes and CR LF", b254 + "\r\nz", {b254, "z"}},
      {"double-byte kept whole",
       b254 + "\x82\xa0" + "c\r\n",
       {b254,
        "\x82\xa0"
        "c"}},
  };
  TempDir dir;
  const std::string path = dir.File("z.MTD");
  for (const auto& c : cases) {
    WriteFile(path, c.content);
    EXPECT_EQ(config::LoadMotd(path), c.lines) << c.label;
  }
  EXPECT_TRUE(config::LoadMotd(dir.File("none.MTD")).empty());
  EXPECT_TRUE(config::LoadMotd(dir.File("")).empty());  // a folder
}

TEST(LoadSettings, ReadsMotdOnlyWhenPathIsSet) {
  TempDir dir;
  const InstancePaths paths = dir.Paths();
  WriteFile(paths.motdFile, "Welcome\r\n");
  EXPECT_EQ(config::LoadSettings(paths).settings.motdLines, std::vector<std::string>{"Welcome"});
  WriteFile(paths.settingsFile, "[Server]\r\nMotdPath=\r\n");
  EXPECT_TRUE(config::LoadSettings(paths).settings.motdLines.empty());
}

TEST(ColorText, EveryIdentifierRoundTrips) {
  const struct {
    const char* name;
    std::uint32_t value;
  } cases[] = {
      {"clBlack", 0x000000},
      {"clMaroon", 0x000080},
      {"clGreen", 0x008000},
      {"clOlive", 0x008080},
      {"clNavy", 0x800000},
      {"clPurple", 0x800080},
      {"clTeal", 0x808000},
      {"clGray", 0x808080},
      {"clSilver", 0xC0C0C0},
      {"clRed", 0x0000FF},
      {"clLime", 0x00FF00},
      {"clYellow", 0x00FFFF},
      {"clBlue", 0xFF0000},
      {"clFuchsia", 0xFF00FF},
      {"clAqua", 0xFFFF00},
      {"clWhite", 0xFFFFFF},
      {"clScrollBar", 0xFF000000},
      {"clBackground", 0xFF000001},
      {"clActiveCaption", 0xFF000002},
      {"clInactiveCaption", 0xFF000003},
      {"clMenu", 0xFF000004},
      {"clWindow", 0xFF000005},
      {"clWindowFrame", 0xFF000006},
      {"clMenuText", 0xFF000007},
      {"clWindowText", 0xFF000008},
      {"clCaptionText", 0xFF000009},
      {"clActiveBorder", 0xFF00000A},
      {"clInactiveBorder", 0xFF00000B},
      {"clAppWorkSpace", 0xFF00000C},
      {"clHighlight", 0xFF00000D},
      {"clHighlightText", 0xFF00000E},
      {"clBtnFace", 0xFF00000F},
      {"clBtnShadow", 0xFF000010},
      {"clGrayText", 0xFF000011},
      {"clBtnText", 0xFF000012},
      {"clInactiveCaptionText", 0xFF000013},
      {"clBtnHighlight", 0xFF000014},
      {"cl3DDkShadow", 0xFF000015},
      {"cl3DLight", 0xFF000016},
      {"clInfoText", 0xFF000017},
      {"clInfoBk", 0xFF000018},
      {"clNone", 0x1FFFFFFF},
      {"clDefault", 0x20000000},
  };
  for (const auto& c : cases) {
    const std::optional<int> value = config::ColorFromText(c.name);
    ASSERT_TRUE(value.has_value()) << c.name;
    EXPECT_EQ(static_cast<std::uint32_t>(*value), c.value) << c.name;
    EXPECT_EQ(config::ColorToText(*value), c.name);
  }
}

TEST(ColorText, NumericFormsAndRejects) {
  const struct {
    const char* text;
    std::uint32_t value;
  } good[] = {
      {"CLWINDOW", 0xFF000005},  {"clgray", 0x808080}, {"$00C0C0C0", 0xC0C0C0},   {"$ff", 0xFF},
      {"$FF000008", 0xFF000008}, {"255", 0xFF},        {"-16777211", 0xFF000005}, {"+0", 0},
  };
  for (const auto& c : good) {
    const std::optional<int> value = config::ColorFromText(c.text);
    ASSERT_TRUE(value.has_value()) << c.text;
    EXPECT_EQ(static_cast<std::uint32_t>(*value), c.value) << c.text;
  }
  const char* bad[] = {"", "$", "$123456789", "$GG", "cl", "clPink", "12a", " clRed", "0x10"};
  for (const char* text : bad) EXPECT_FALSE(config::ColorFromText(text).has_value()) << text;

  EXPECT_EQ(config::ColorToText(0x123456), "$00123456");
  EXPECT_EQ(config::ColorToText(static_cast<int>(0xFF000019u)), "$FF000019");
  EXPECT_EQ(config::ColorToText(*config::ColorFromText("$00c0c0c0")), "clSilver");
}

TEST(DisplayRgb, ShowsRedGreenBlue) {
  const struct {
    std::uint32_t value;
    unsigned rgb;
  } cases[] = {
      {0x0000FF, 0xFF0000},   {0xFF0000, 0x0000FF},   {0x563412, 0x123456},
      {0xFF000005, 0xFFFFFF}, {0xFF000008, 0x000000}, {0xFF00000D, 0x0078D7},
      {0xFF000063, 0xFFFFFF}, {0x1FFFFFFF, 0xFFFFFF}, {0x20000000, 0xFFFFFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(config::DisplayRgb(static_cast<int>(c.value)), c.rgb) << std::hex << c.value;
  }
}

}  // namespace
}  // namespace zelkord::config
