// Channel history over real sockets: what was said before a client joined
// comes back from the store with its original time and msgid, in each
// reader's encoding, for members only; history clients' own requests as
// they send them; and a store that cannot be written freezes nobody.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support/line_match.h"
#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

const std::string& s = kServerPrefix;
const std::string kSmile = "smile \xF0\x9F\x98\x80";
const std::string kNihongoJis = "\x1B$BF|K\\8l\x1B(B";
const std::string kNihongoUtf8 = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
// What an ISO-2022-JP client gets for a character Shift_JIS lacks.
const std::string kGetaJis = "\x1B$B\".\x1B(B";

// A registered client that negotiated the capabilities and speaks UTF-8.
std::unique_ptr<TestClient> Utf8Client(TestServer& server, const std::string& nick,
                                       const std::string& capabilities) {
  auto client = server.RegisteredWith(nick, capabilities);
  if (!client) return client;
  client->Send("CHARSET UTF-8");
  (void)client->ReadLine();  // 222
  return client;
}

TEST(Chathistory, LateJoinersReadWhatWasSaidWithItsStamps) {
  TestServer server;
  auto ann = Utf8Client(server, "ann", "message-tags server-time echo-message");
  auto bob = server.Registered("bob");  // ISO-2022-JP, no capabilities
  ASSERT_TRUE(ann && bob);
  ASSERT_TRUE(JoinAll({ann.get(), bob.get()}, "#h"));
  const std::string annPrefix = ":ann!user@127.0.0.1 ";
  const std::string bobPrefix = ":bob!user@127.0.0.1 ";

  ann->Send("PRIVMSG #h :" + kSmile);
  const auto smile =
      Expect(*ann, {"@time={T};msgid={id} " + annPrefix + "PRIVMSG #h :" + kSmile}, "the echo");
  EXPECT_EQ(bob->ReadLine(), annPrefix + "PRIVMSG #h :smile " + kGetaJis);
  bob->Send("PRIVMSG #h :" + kNihongoJis);
  const auto nihongo = Expect(
      *ann, {"@time={T};msgid={id} " + bobPrefix + "PRIVMSG #h :" + kNihongoUtf8}, "the relay");
  ann->Send("TOPIC #h :tea " + kSmile);
  (void)ann->ReadLine();
  (void)bob->ReadLine();
  ASSERT_EQ(smile.size(), 2U);
  ASSERT_EQ(nihongo.size(), 2U);
  const std::string said[] = {
      "time=" + smile[0] + ";msgid=" + smile[1] + " " + annPrefix + "PRIVMSG #h :" + kSmile,
      "time=" + nihongo[0] + ";msgid=" + nihongo[1] + " " + bobPrefix +
          "PRIVMSG #h :" + kNihongoUtf8};

  struct Reader {
    std::string name, capabilities, request;
    std::vector<std::string> expected;
  };
  const std::string inBatch = "@batch={ref};";
  const Reader readers[] = {
      // Kiwi IRC's request when it opens a channel.
      {"kiwi",
       "batch server-time message-tags draft/chathistory",
       "CHATHISTORY LATEST #h * 50",
       {"@time={t} " + s + "BATCH +{ref} chathistory #h", inBatch + said[0], inBatch + said[1],
        "@time={t} " + s + "BATCH -{ref}"}},
      // gamja's, labeled, with events played back: joins and the topic too.
      {"gamja",
       "batch echo-message labeled-response message-tags server-time draft/chathistory "
       "draft/event-playback",
       "@label=1 CHATHISTORY BEFORE #h timestamp=2100-01-01T00:00:00.000Z 100",
       {"@label=1 " + s + "BATCH +{ref} labeled-response",
        "@batch={ref};time={t} " + s + "BATCH +{ref} chathistory #h",
        inBatch + "time={t};msgid={id} " + annPrefix + "JOIN :#h",
        inBatch + "time={t};msgid={id} " + bobPrefix + "JOIN :#h", inBatch + said[0],
        inBatch + said[1],
        inBatch + "time={t};msgid={id} " + annPrefix + "TOPIC #h :tea " + kSmile + " by ann",
        inBatch + "time={t};msgid={id} :kiwi!user@127.0.0.1 JOIN :#h",
        inBatch + "time={t};msgid={id} :gamja!user@127.0.0.1 JOIN :#h",
        "@batch={ref};time={t} " + s + "BATCH -{ref}", s + "BATCH -{ref}"}},
      // A plain ISO-2022-JP client: no batch, no tags; the emoji as it can
      // show it.
      {"jis",
       "",
       "CHATHISTORY AFTER #h msgid=" + smile[1] + " 10",
       {bobPrefix + "PRIVMSG #h :" + kNihongoJis}},
      {"jis2",
       "",
       "CHATHISTORY BETWEEN #h msgid=" + nihongo[1] + " timestamp=2000-01-01T00:00:00.000Z 5",
       {annPrefix + "PRIVMSG #h :smile " + kGetaJis}},
  };
  // Kept connected to the end: a reader leaving would be a PART in the next one's view.
  std::vector<std::unique_ptr<TestClient>> connected;
  for (const Reader& reader : readers) {
    auto& client = connected.emplace_back();
    client = reader.capabilities.empty() ? server.Registered(reader.name)
                                         : Utf8Client(server, reader.name, reader.capabilities);
    ASSERT_TRUE(client && client->Join("#h")) << reader.name;
    client->Send(reader.request);
    (void)Expect(*client, reader.expected, reader.name);
    EXPECT_TRUE(client->Silent(100)) << reader.name;
  }
}

TEST(Chathistory, OnlyMembersReadAndBadRequestsFail) {
  TestServer server;
  auto ann = server.Registered("ann");
  auto eve = server.RegisteredWith("eve", "batch draft/chathistory");
  ASSERT_TRUE(ann && eve && ann->Join("#h") && eve->Join("#e"));
  ann->Send("PRIVMSG #h :secret");
  const std::string fail = s + "FAIL CHATHISTORY ";
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"CHATHISTORY LATEST #h * 10",
       {fail + "INVALID_TARGET LATEST #h :Messages could not be retrieved"}},
      {"CHATHISTORY LATEST #nowhere * 10",
       {fail + "INVALID_TARGET LATEST #nowhere :Messages could not be retrieved"}},
      // Private messages are never kept.
      {"CHATHISTORY LATEST ann * 10", {s + "BATCH +{ref} chathistory ann", s + "BATCH -{ref}"}},
      {"CHATHISTORY LATEST #e * 0", {fail + "INVALID_PARAMS LATEST :Invalid parameters"}},
      {"CHATHISTORY BEFORE #e * 10", {fail + "INVALID_PARAMS BEFORE :Invalid parameters"}},
      {"CHATHISTORY AFTER #e timestamp=yesterday 10",
       {fail + "INVALID_PARAMS AFTER :Invalid parameters"}},
      {"CHATHISTORY BETWEEN #e * * 10", {fail + "INVALID_PARAMS BETWEEN :Invalid parameters"}},
      {"CHATHISTORY FORGET #e", {fail + "UNKNOWN_COMMAND FORGET :Unknown command"}},
      {"CHATHISTORY", {s + "461 eve CHATHISTORY :Not enough parameters"}},
      {"CHATHISTORY TARGETS timestamp=2000-01-01T00:00:00Z timestamp=2100-01-01T00:00:00Z 10",
       {s + "BATCH +{ref} draft/chathistory-targets", s + "BATCH -{ref}"}},
  };
  for (const auto& [request, expected] : cases) {
    eve->Send(request);
    (void)Expect(*eve, expected, request);
    EXPECT_TRUE(eve->Silent(50)) << request;
  }
}

TEST(Chathistory, AStoreThatCannotBeWrittenFreezesNobody) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"}, {"#h"});
  ASSERT_TRUE(ann && bob);
  // Another writer holds the database: the server's writer must wait.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open((server.Dir().File("history.sqlite")).c_str(), &holder), SQLITE_OK);
  sqlite3_busy_timeout(holder, 5000);  // past the server's own commits
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  constexpr int kLines = 200;
  for (int i = 0; i < kLines; ++i) ann->Send("PRIVMSG #h :line " + std::to_string(i));
  for (int i = 0; i < kLines; ++i) {
    ASSERT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #h :line " + std::to_string(i));
  }
  ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(holder);
  // Let go, the writer catches up: nothing was lost.
  EXPECT_TRUE(WaitUntil([&] {
    bob->Send("CHATHISTORY LATEST #h * 1");
    return bob->ReadLine() == ":ann!user@127.0.0.1 PRIVMSG #h :line " + std::to_string(kLines - 1);
  }));
}

}  // namespace
}  // namespace zelkord::testing
