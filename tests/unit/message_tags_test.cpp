// Message tags: parsing with its escapes and serialising back.
#include "irc/message_tags.h"

#include <gtest/gtest.h>

#include <regex>

namespace zelkord::irc {
namespace {

std::string Shown(const Tags& tags) {
  std::string out;
  for (const Tag& tag : tags) out.append("[" + tag.key + "|" + tag.value + "]");
  return out;
}

TEST(MessageTags, ParseThenSerialise) {
  struct Case {
    std::string_view text;
    std::string parsed;      // each tag as [key|value]
    std::string serialised;  // what SerialiseTags makes of it
  };
  const Case cases[] = {
      {"", "", ""},
      {"a=b;c", "[a|b][c|]", "a=b;c"},
      {"a=;b", "[a|][b|]", "a;b"},  // empty and valueless are the same
      {"k=\\:\\s\\\\\\r\\n", "[k|; \\\r\n]", "k=\\:\\s\\\\\\r\\n"},
      {"k=ab\\", "[k|ab]", "k=ab"},              // a lone trailing backslash goes
      {"k=\\b\\x", "[k|bx]", "k=bx"},            // unknown escapes lose the backslash
      {"a=1;b=2;a=3", "[a|3][b|2]", "a=3;b=2"},  // last value wins, first place kept
      {";;=v;+draft/reply=x=y", "[+draft/reply|x=y]", "+draft/reply=x=y"},
      {"+typing=active;vendor.example/x", "[+typing|active][vendor.example/x|]",
       "+typing=active;vendor.example/x"},
      {"u=\xE3\x81\x82", "[u|\xE3\x81\x82]", "u=\xE3\x81\x82"},  // UTF-8 kept as is
  };
  for (const Case& c : cases) {
    Tags tags{{"stale", "x"}};
    ParseTags(c.text, tags);
    EXPECT_EQ(Shown(tags), c.parsed) << c.text;
    EXPECT_EQ(SerialiseTags(tags), c.serialised) << c.text;
  }
}

TEST(MessageTags, SplitTagPartAndStamps) {
  struct Case {
    std::string_view line, tags, rest;
  };
  const Case cases[] = {
      {"PRIVMSG a :b", "", "PRIVMSG a :b"},
      {"@a=b PRIVMSG x", "a=b", "PRIVMSG x"},
      {"@a=b   :n PING", "a=b", ":n PING"},
      {"@only", "only", ""},
      {"@a ", "a", ""},
  };
  for (const Case& c : cases) {
    std::string_view tags;
    std::string_view rest;
    SplitTagPart(c.line, tags, rest);
    EXPECT_EQ(tags, c.tags) << c.line;
    EXPECT_EQ(rest, c.rest) << c.line;
  }
  EXPECT_EQ(FormatServerTime(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(FormatServerTime(1733798096789), "2024-12-10T02:34:56.789Z");
  const MessageStamp first = NewStamp();
  const MessageStamp second = NewStamp();
  EXPECT_NE(first.msgid, second.msgid);
  EXPECT_TRUE(std::regex_match(first.msgid, std::regex("[0-9A-Za-z]{2,20}"))) << first.msgid;
  EXPECT_LE(first.timeMs, second.timeMs);
}

}  // namespace
}  // namespace zelkord::irc
