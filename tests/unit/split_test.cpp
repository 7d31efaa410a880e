// Line splitting into prefix, command word and parameters, and parameter
// splitting into four fields.
#include "irc/split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelkord::irc {
namespace {

struct LineCase {
  std::string line;
  std::string prefix;
  std::string command;
  std::string params;
};

TEST(SplitLine, PartsOfALine) {
  const std::vector<LineCase> cases = {
      {"JOIN #a", "", "JOIN", "#a"},
      {"QUIT", "", "QUIT", ""},
      {"QUIT   ", "", "QUIT", ""},
      {"A", "", "A", ""},
      {"PASS :secret", "", "PASS", ":secret"},
      {"NICK   a  b ", "", "NICK", "a  b "},
      {":n!u@h PRIVMSG #a :hello world", "n!u@h", "PRIVMSG", "#a :hello world"},
      {":pfx   NICK   x", "pfx", "NICK", "x"},
      {":pfx", "pfx", "", ""},  // only a prefix
      {":pfx   ", "pfx", "", ""},
      {":", "", "", ""},
      {": JOIN #a", "", "JOIN", "#a"},
      {" ", "", " ", ""},  // a leading space begins the command word
      {"  PING x", "", " ", "PING x"},
      {" JOIN #a", "", " JOIN", "#a"},
  };
  for (const LineCase& c : cases) {
    SplitResult out{"old", "old", "old"};
    ASSERT_EQ(SplitLine(c.line, out), 0) << testing::PrintToString(c.line);
    EXPECT_EQ(out.prefix, c.prefix) << testing::PrintToString(c.line);
    EXPECT_EQ(out.command, c.command) << testing::PrintToString(c.line);
    EXPECT_EQ(out.params, c.params) << testing::PrintToString(c.line);
  }
}

TEST(SplitLine, EmptyLineLeavesOutputUntouched) {
  SplitResult out{"p", "c", "x"};
  EXPECT_EQ(SplitLine("", out), -1);
  EXPECT_EQ(out.prefix, "p");
  EXPECT_EQ(out.command, "c");
  EXPECT_EQ(out.params, "x");
}

struct ParamsCase {
  std::string params;
  int result;
  ParamFields fields;
};

TEST(SplitParams, FieldsAndCount) {
  const std::vector<ParamsCase> cases = {
      {"", 1, {"", "", "", ""}},
      {":", 1, {"", "", "", ""}},
      {"a", 1, {"a", "", "", ""}},
      {"a ", 1, {"a", "", "", ""}},
      {":hello world", 1, {"hello world", "", "", ""}},
      {"#a :hello world", 2, {"#a", "hello world", "", ""}},
      {"#a :", 2, {"#a", "", "", ""}},  // an empty trailing field still counts
      {"a   b", 2, {"a", "b", "", ""}},
      {"a:b c", 2, {"a:b", "c", "", ""}},
      {"a b :c d", 3, {"a", "b", "c d", ""}},
      {" a b", 3, {"", "a", "b", ""}},  // field 1 does not skip spaces
      {"a b c d", 4, {"a", "b", "c", "d"}},
      {"a b c   d", 4, {"a", "b", "c", "d"}},
      {"a b c :d", 4, {"a", "b", "c", "d"}},
      {"a b c ::d", 4, {"a", "b", "c", ":d"}},
      {"a b c d e", 5, {"a", "b", "c", "d e"}},
      {"a b c :d e", 5, {"a", "b", "c", "d e"}},
      {"a b c d ", 5, {"a", "b", "c", "d "}},
      {"u h s :Real Name", 5, {"u", "h", "s", "Real Name"}},
  };
  for (const ParamsCase& c : cases) {
    ParamFields fields{"old", "old", "old", "old"};
    EXPECT_EQ(SplitParams(c.params, fields), c.result) << testing::PrintToString(c.params);
    EXPECT_EQ(fields, c.fields) << testing::PrintToString(c.params);
  }
}

TEST(SplitParams, CutsEachFieldToTheLimit) {
  const std::string longWord(300, 'x');
  ParamFields fields;
  EXPECT_EQ(SplitParams(longWord + " " + longWord + " :" + longWord, fields, 255), 3);
  EXPECT_EQ(fields[0], std::string(255, 'x'));
  EXPECT_EQ(fields[1], std::string(255, 'x'));
  EXPECT_EQ(fields[2], std::string(255, 'x'));
  EXPECT_EQ(SplitParams("u h s :" + longWord, fields, 255), 4);
  EXPECT_EQ(fields[3], std::string(255, 'x'));
  EXPECT_EQ(SplitParams("u h s :" + std::string(255, 'y'), fields, 255), 4);
  EXPECT_EQ(fields[3], std::string(255, 'y'));
}

}  // namespace
}  // namespace zelkord::irc
