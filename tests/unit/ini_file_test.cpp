// Tests of the INI document: the reading rules, what a write keeps and
// drops, and that a save never leaves a damaged file behind.
#include "config/ini_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_server.h"

namespace zelkord::config {
namespace {

using testing::EntriesIn;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

struct ReadCase {
  const char* label;
  std::string text;
  const char* section;
  const char* key;
  const char* expected;  // "DEF" is the default
};

TEST(IniFileRead, FollowsTheLookupRules) {
  const ReadCase cases[] = {
      {"plain", "[S]\r\nK=v\r\n", "S", "K", "v"},
      {"section case", "[Server]\r\nPort=1\r\n", "SERVER", "Port", "1"},
      {"key case", "[Server]\r\nPORT=1\r\n", "Server", "port", "1"},
      {"blank before =", "[S]\r\nK =v\r\n", "S", "K", "DEF"},
      {"blank key found", "[S]\r\nK =v\r\n", "S", "K ", "v"},
      {"value untrimmed", "[S]\r\nK= v \r\n", "S", "K", " v "},
      {"empty value", "[S]\r\nK=\r\n", "S", "K", ""},
      {"first = splits", "[S]\r\nK=a=b\r\n", "S", "K", "a=b"},
      {"absent key", "[S]\r\nK=v\r\n", "S", "X", "DEF"},
      {"absent section", "[S]\r\nK=v\r\n", "T", "K", "DEF"},
      {"LF ends", "[S]\nA=1\nB=2\n", "S", "B", "2"},
      {"last line unended", "[S]\r\nK=v", "S", "K", "v"},
      {"lone CR kept", "[S]\r\nK=a\rb\r\n", "S", "K", "a\rb"},
      {"before any section", "K=v\r\n[S]\r\n", "S", "K", "DEF"},
      {"comment", "[S]\r\n;K=v\r\n", "S", ";K", "DEF"},
      {"no = never matches", "[S]\r\nK\r\n", "S", "K", "DEF"},
      {"section untrimmed", "[ S ]\r\nK=v\r\n", "S", "K", "DEF"},
      {"section blanks kept", "[ S ]\r\nK=v\r\n", " S ", "K", "v"},
      {"empty section name", "[]\r\nK=v\r\n", "", "K", "v"},
      {"trailing text not a header", "[S]\r\n[T] x\r\n", "S", "[T] x", "DEF"},
      {"first key wins", "[S]\r\nK=1\r\nk=2\r\n", "S", "K", "1"},
      {"first section wins", "[S]\r\nA=1\r\n[s]\r\nB=2\r\n", "S", "B", "DEF"},
      {"double-byte trail not folded", "[\x83\x41]\r\nK=v\r\n", "\x83\x61", "K", "DEF"},
      {"ascii after double-byte folded", "[\x83\x41x]\r\nK=v\r\n", "\x83\x41X", "K", "v"},
  };
  for (const ReadCase& c : cases) {
    EXPECT_EQ(IniFile::Parse(c.text).Read(c.section, c.key, "DEF"), c.expected) << c.label;
  }
}

TEST(IniFileSerialize, DropsIgnoredLinesAndKeepsEverythingElse) {
  const IniFile ini = IniFile::Parse(
      "stray=1\r\n"
      "; top comment\r\n"
      "[Program]\r\n"
      "Version=1.07\r\n"
      "\r\n"
      "; inner comment\r\n"
      "no equals here\n"
      "[Mine]\n"
      "Unknown=kept\n"
      "\n"
      "\n");
  EXPECT_EQ(ini.Serialize(),
            "[Program]\r\nVersion=1.07\r\nno equals here\r\n\r\n"
            "[Mine]\r\nUnknown=kept\r\n\r\n");
  EXPECT_EQ(IniFile::Parse("").Serialize(), "");
}

TEST(IniFileWrite, ReplacesInPlaceAndAppendsWhatIsNew) {
  config::IniFile ini = IniFile::Parse("[server]\r\nPORT=1\r\nName=x\r\n[Log]\r\nLines=5\r\n");
  ini.Write("Server", "Port", "6667");     // existing entry: its spelling stays
  ini.Write("Server", "PassWord", "");     // new key: end of its section
  ini.Write("Color", "LogBack", "clRed");  // new section: end of the document
  ini.Write("Color", "LogFore", "clBlue");
  ini.Write("log", "lines", "7");
  EXPECT_EQ(ini.Serialize(),
            "[server]\r\nPORT=6667\r\nName=x\r\nPassWord=\r\n\r\n"
            "[Log]\r\nLines=7\r\n\r\n"
            "[Color]\r\nLogBack=clRed\r\nLogFore=clBlue\r\n\r\n");
}

TEST(IniFileWrite, DuplicateKeyOnlyFirstChanges) {
  config::IniFile ini = IniFile::Parse("[S]\r\nK=1\r\nK=2\r\n");
  ini.Write("S", "k", "9");
  EXPECT_EQ(ini.Serialize(), "[S]\r\nK=9\r\nK=2\r\n\r\n");
}

TEST(IniFileWrite, ValueStopsAtLineBreak) {
  config::IniFile ini;
  ini.Write("S", "K", "a\r\n[Evil]\r\nX=1");
  ini.Write("S", "L", "b\nc");
  EXPECT_EQ(ini.Serialize(), "[S]\r\nK=a\r\nL=b\r\n\r\n");
}

TEST(IniFileEraseSection, RemovesEveryCopyWhateverItsCase) {
  config::IniFile ini = IniFile::Parse("[A]\r\nx=1\r\n[TcpIP]\r\ny=2\r\n[B]\r\n[tcpip]\r\nz=3\r\n");
  EXPECT_TRUE(ini.HasSection("TCPIP"));
  ini.EraseSection("TcpIP");
  EXPECT_FALSE(ini.HasSection("TcpIP"));
  ini.EraseSection("Absent");
  EXPECT_EQ(ini.Serialize(), "[A]\r\nx=1\r\n\r\n[B]\r\n\r\n");
}

TEST(IniFileSave, RoundTripsAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.File("z.INI");
  EXPECT_EQ(IniFile::Load(path).Serialize(), "");  // missing file reads as empty

  config::IniFile ini;
  ini.Write("S", "K", "\x82\xa0 value");
  ASSERT_TRUE(ini.Save(path));
  EXPECT_EQ(ReadFile(path), "[S]\r\nK=\x82\xa0 value\r\n\r\n");
  EXPECT_EQ(IniFile::Load(path).Read("S", "K", ""), "\x82\xa0 value");
  EXPECT_EQ(EntriesIn(dir.Path()), 1);
}

TEST(IniFileSave, UnwritablePlacesFail) {
  TempDir dir;
  config::IniFile ini;
  ini.Write("S", "K", "v");
  errno = 0;
  EXPECT_FALSE(ini.Save(dir.File("missing/z.INI")));
  EXPECT_EQ(errno, ENOENT);

  // A folder in the way of the rename: the temporary file must not remain.
  std::filesystem::create_directory(dir.File("taken"));
  WriteFile(dir.File("taken/inside"), "x");
  EXPECT_FALSE(ini.Save(dir.File("taken")));
  EXPECT_EQ(EntriesIn(dir.Path()), 1);
}

TEST(IniFileSave, FailedWriteLeavesOldFileWhole) {
  TempDir dir;
  const std::string path = dir.File("z.INI");
  const std::string old = "[Program]\r\nVersion=1.07\r\n\r\n";
  WriteFile(path, old);
  config::IniFile ini = IniFile::Parse(old);
  ini.Write("Program", "Long", std::string(4096, 'x'));

  // A file size limit makes the write stop part-way, as a full disk would.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 100;
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  errno = 0;
  const bool savedOk = ini.Save(path);
  const int error = errno;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(savedOk);
  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(EntriesIn(dir.Path()), 1);
}

TEST(IniFileSave, KeepsPermissionsAndFollowsSymbolicLink) {
  TempDir dir;
  const std::string real = dir.File("real.INI");
  const std::string link = dir.File("link.INI");
  WriteFile(real, "[S]\r\nK=old\r\n");
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);

  config::IniFile ini = IniFile::Load(link);
  ini.Write("S", "K", "new");
  ASSERT_TRUE(ini.Save(link));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadFile(real), "[S]\r\nK=new\r\n\r\n");
  struct stat info {};
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(IniFileLoadForUpdate, TellsMissingFromUnreadable) {
  TempDir dir;
  const std::optional<config::IniFile> missing = IniFile::LoadForUpdate(dir.File("none.INI"));
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(missing->Serialize(), "");
  EXPECT_FALSE(config::IniFile::LoadForUpdate(dir.Path()).has_value());  // a folder cannot be read
  EXPECT_EQ(IniFile::Load(dir.Path()).Serialize(), "");
}

}  // namespace
}  // namespace zelkord::config
