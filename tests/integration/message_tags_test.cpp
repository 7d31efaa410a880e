// Message tags over real sockets: what each client negotiated is what it
// gets (plain clients byte for byte as ever), client-only tags, TAGMSG,
// echo-message across encodings, labeled responses and the tag limit.
#include <gtest/gtest.h>

#include <optional>
#include <regex>

#include "support/line_match.h"
#include "support/test_server.h"

namespace zelkord::testing {
namespace {

const std::string& s = kServerPrefix;
const std::string kBob = ":bob!user@127.0.0.1 ";

TEST(MessageTags, RelaysCarryWhatEachRecipientNegotiated) {
  TestServer server;
  auto ann = server.Registered("ann");
  auto cid = server.RegisteredWith("cid", "message-tags");
  auto dan = server.RegisteredWith("dan", "server-time");
  auto bob = server.RegisteredWith("bob", "message-tags server-time echo-message");
  ASSERT_TRUE(ann && cid && dan && bob);
  ASSERT_TRUE(JoinAll({bob.get(), ann.get(), cid.get(), dan.get()}, "#a"));  // bob: operator
  struct Case {
    std::string line;  // sent by bob
    std::vector<std::string> ann, cid, dan, bob;
  };
  const std::string tags = "+draft/reply=a\\sb;+draft/react=\xF0\x9F\x91\x8D";
  const Case cases[] = {
      {"@+typing=active;+other=1;label=z;msgid=forged PRIVMSG #a :hi",
       {kBob + "PRIVMSG #a :hi"},
       {"@msgid={id};+typing=active " + kBob + "PRIVMSG #a :hi"},
       {"@time={t} " + kBob + "PRIVMSG #a :hi"},
       {"@time={t};msgid={id};+typing=active " + kBob + "PRIVMSG #a :hi"}},
      {"@" + tags + " TAGMSG #a",
       {""},
       {"@msgid={id};" + tags + " " + kBob + "TAGMSG #a"},
       {""},
       {"@time={t};msgid={id};" + tags + " " + kBob + "TAGMSG #a"}},
      // Client-only tags past their share of a line are not passed on.
      {"@+typing=" + std::string(4090, 'x') + " NOTICE cid :long",
       {""},
       {"@msgid={id} " + kBob + "NOTICE cid :long"},
       {""},
       {"@time={t};msgid={id} " + kBob + "NOTICE cid :long"}},
      {"NOTICE cid :psst",
       {""},
       {"@msgid={id} " + kBob + "NOTICE cid :psst"},
       {""},
       {"@time={t};msgid={id} " + kBob + "NOTICE cid :psst"}},
      // To oneself: once.
      {"@+typing=done PRIVMSG bob :me",
       {""},
       {""},
       {""},
       {"@time={t};msgid={id};+typing=done " + kBob + "PRIVMSG bob :me", ""}},
      {"TAGMSG nobody",
       {""},
       {""},
       {""},
       {"@time={t} " + s + "401 bob nobody :No such nick/channel"}},
      {"TAGMSG", {""}, {""}, {""}, {"@time={t} " + s + "411 bob :No recipient given (TAGMSG)"}},
      {"TOPIC #a :new",
       {kBob + "TOPIC #a :new by bob"},
       {"@msgid={id} " + kBob + "TOPIC #a :new by bob"},
       {"@time={t} " + kBob + "TOPIC #a :new by bob"},
       {"@time={t};msgid={id} " + kBob + "TOPIC #a :new by bob"}},
      {"NICK bob2",
       {kBob + "NICK :bob2"},
       {"@msgid={id} " + kBob + "NICK :bob2"},
       {"@time={t} " + kBob + "NICK :bob2"},
       {"@time={t};msgid={id} " + kBob + "NICK :bob2"}},
      {"PART #a",
       {":bob2!user@127.0.0.1 PART #a"},
       {"@msgid={id} :bob2!user@127.0.0.1 PART #a"},
       {"@time={t} :bob2!user@127.0.0.1 PART #a"},
       {"@time={t};msgid={id} :bob2!user@127.0.0.1 PART #a"}},
  };
  for (const Case& c : cases) {
    bob->Send(c.line);
    const std::vector<std::string> sent = Expect(*bob, c.bob, c.line);
    const std::vector<std::string> got = Expect(*cid, c.cid, c.line);
    (void)Expect(*ann, c.ann, c.line);
    (void)Expect(*dan, c.dan, c.line);
    // One stamp for the event: the echo's msgid is the recipients'.
    if (!got.empty()) {
      EXPECT_EQ(sent, got) << c.line;
    }
  }
}

TEST(MessageTags, EchoComesInTheSendersEncodingWithItsTagsUntouched) {
  TestServer server;
  auto jis = server.RegisteredWith("jis", "message-tags echo-message");
  auto utf = server.RegisteredWith("utf", "message-tags echo-message");
  ASSERT_TRUE(jis && utf);
  utf->Send("CHARSET UTF-8");
  EXPECT_EQ(utf->ReadLine(), s + "222 utf UTF-8 :is your charset now");
  ASSERT_TRUE(JoinAll({jis.get(), utf.get()}, "#a"));
  const std::string jisDay = "\x1B$BF|\x1B(B";  // 日 in ISO-2022-JP
  const std::string utfDay = "\xE6\x97\xA5";
  struct Case {
    TestClient* sender;
    std::string line;
    std::string toJis, toUtf;  // after "@msgid={id};"
  };
  const Case cases[] = {
      {jis.get(), "@+draft/reply=" + utfDay + " PRIVMSG #a :" + jisDay,
       "+draft/reply=" + utfDay + " :jis!user@127.0.0.1 PRIVMSG #a :" + jisDay,
       "+draft/reply=" + utfDay + " :jis!user@127.0.0.1 PRIVMSG #a :" + utfDay},
      {utf.get(), "@+draft/react=" + utfDay + " PRIVMSG #a :" + utfDay,
       "+draft/react=" + utfDay + " :utf!user@127.0.0.1 PRIVMSG #a :" + jisDay,
       "+draft/react=" + utfDay + " :utf!user@127.0.0.1 PRIVMSG #a :" + utfDay},
  };
  for (const Case& c : cases) {
    c.sender->Send(c.line);
    const auto a = Expect(*jis, {"@msgid={id};" + c.toJis}, c.line);
    const auto b = Expect(*utf, {"@msgid={id};" + c.toUtf}, c.line);
    EXPECT_EQ(a, b) << c.line;
  }
}

TEST(MessageTags, LabeledCommandsGetTheirResponseLabeled) {
  TestServer server;
  auto lab = server.RegisteredWith("lab", "labeled-response batch echo-message");
  auto bob = server.Registered("bob");
  ASSERT_TRUE(lab && bob);
  struct Case {
    std::string line;
    std::vector<std::string> lab, bob;
  };
  const std::string name(kServerName);
  const Case cases[] = {
      {"@label=l1 PONG x", {"@label=l1 " + s + "ACK"}, {""}},
      {"@label=l2 PING tok", {"@label=l2 " + s + "PONG " + name + " :tok"}, {""}},
      // The echo is the response.
      {"@label=l3 PRIVMSG bob :hi",
       {"@label=l3 :lab!user@127.0.0.1 PRIVMSG bob :hi"},
       {":lab!user@127.0.0.1 PRIVMSG bob :hi"}},
      {"@label=l4 PRIVMSG x1,x2 :hi",
       {"@label=l4 " + s + "BATCH +{ref} labeled-response",
        "@batch={ref} " + s + "401 lab x1 :No such nick/channel",
        "@batch={ref} " + s + "401 lab x2 :No such nick/channel", s + "BATCH -{ref}"},
       {""}},
      {"@label=l5 FOO", {"@label=l5 " + s + "421 lab FOO :Unknown command"}, {""}},
      // Too long a label is ignored.
      {"@label=" + std::string(65, 'x') + " PING t", {s + "PONG " + name + " :t"}, {""}},
  };
  for (const Case& c : cases) {
    lab->Send(c.line);
    const std::vector<std::string> refs = Expect(*lab, c.lab, c.line);
    for (const std::string& ref : refs) EXPECT_EQ(ref, refs.front()) << c.line;
    (void)Expect(*bob, c.bob, c.line);
  }
  EXPECT_TRUE(lab->Silent());
}

TEST(MessageTags, TagPartHasItsOwnLimit) {
  TestServer server;
  auto ann = server.Registered("ann");
  ASSERT_TRUE(ann);
  const std::string name(kServerName);
  const std::string rest = "PING :" + std::string(504, 'r');  // 510 bytes: the rest at its limit
  struct Case {
    std::string line;
    std::string reply;
  };
  const Case cases[] = {
      // '@', 8189 bytes and the space: 8191, the most.
      {"@" + std::string(8189, 'a') + " " + rest, s + "PONG " + name + " :" + rest.substr(6)},
      {"@" + std::string(8190, 'a') + " PING b", s + "417 ann :Input line was too long"},
      {"@" + std::string(9000, 'a') + " PING c", s + "417 ann :Input line was too long"},
      {"PING d", s + "PONG " + name + " :d"},  // the dropped lines left nothing behind
  };
  for (const Case& c : cases) {
    ann->Send(c.line);
    EXPECT_EQ(ann->ReadLine(), c.reply) << c.line.substr(0, 40);
  }
  EXPECT_TRUE(ann->Silent());
}

}  // namespace
}  // namespace zelkord::testing
