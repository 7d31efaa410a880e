// The command table and the error replies over real sockets: every line a
// client can get wrong gets the numeric it waits for, and NOTICE none.
#include <gtest/gtest.h>

#include "support/test_server.h"

namespace zelkord::testing {
namespace {

TEST(Dispatch, EveryMistakeGetsItsNumeric) {
  TestServer server;
  auto [ann, bob] = RegisteredAll(server, {"ann", "bob"});
  ASSERT_TRUE(ann && bob && ann->Join("#a") && bob->Join("#b"));
  const std::string s = kServerPrefix;
  const std::string longName = "#" + std::string(64, 'x');
  const struct {
    std::string line;
    std::vector<std::string> replies;  // to ann, in order
  } cases[] = {
      {"FOO bar", {s + "421 ann FOO :Unknown command"}},
      {"JOIN", {s + "461 ann JOIN :Not enough parameters"}},
      {"JOIN :", {s + "461 ann JOIN :Not enough parameters"}},
      {"JOIN ,", {s + "461 ann JOIN :Not enough parameters"}},
      {"PART", {s + "461 ann PART :Not enough parameters"}},
      {"TOPIC", {s + "461 ann TOPIC :Not enough parameters"}},
      {"MODE", {s + "461 ann MODE :Not enough parameters"}},
      {"KICK #a", {s + "461 ann KICK :Not enough parameters"}},
      {"WHOIS", {s + "461 ann WHOIS :Not enough parameters"}},
      {"PASS", {s + "461 ann PASS :Not enough parameters"}},
      {"PASS secret", {s + "462 ann :You may not reregister"}},
      {"USER a b c :d", {s + "462 ann :You may not reregister"}},
      {"PRIVMSG", {s + "411 ann :No recipient given (PRIVMSG)"}},
      {"PRIVMSG bob", {s + "412 ann :No text to send"}},
      {"PRIVMSG bob :", {s + "412 ann :No text to send"}},
      {"PRIVMSG nobody :hi", {s + "401 ann nobody :No such nick/channel"}},
      {"PRIVMSG #b :hi", {s + "404 ann #b :Cannot send to channel"}},
      {"PRIVMSG #a,#a,#a,#a,bob :hi", {s + "407 ann bob :Too many targets"}},
      {"NICK", {s + "431 ann :No nickname given"}},
      {"NICK :", {s + "431 ann :No nickname given"}},
      {"NICK 9lives", {s + "432 ann 9lives :Erroneous nickname"}},
      {"NICK -x", {s + "432 ann -x :Erroneous nickname"}},
      {"NICK a@b", {s + "432 ann a@b :Erroneous nickname"}},
      {"NICK #a", {s + "432 ann #a :Erroneous nickname"}},
      {"NICK " + std::string(31, 'n'),
       {s + "432 ann " + std::string(31, 'n') + " :Erroneous nickname"}},
      {"NICK BOB", {s + "433 ann BOB :Nickname is already in use"}},
      {"JOIN nochan", {s + "403 ann nochan :No such channel"}},
      {"JOIN #a\x07z", {s + "479 ann #a\x07z :Illegal channel name"}},
      {"JOIN " + longName, {s + "479 ann " + longName + " :Illegal channel name"}},
      {"PART #nope", {s + "403 ann #nope :No such channel"}},
      {"PART #b", {s + "442 ann #b :You're not on that channel"}},
      {"TOPIC #nope", {s + "403 ann #nope :No such channel"}},
      {"KICK #nope bob", {s + "403 ann #nope :No such channel"}},
      {"KICK #b bob", {s + "442 ann #b :You're not on that channel"}},
      {"KICK #a nobody", {s + "401 ann nobody :No such nick/channel"}},
      {"KICK #a bob", {s + "441 ann bob #a :They aren't on that channel"}},
      {"WHOIS nobody",
       {s + "401 ann nobody :No such nick/channel", s + "318 ann nobody :End of /WHOIS list"}},
  };
  for (const auto& c : cases) {
    ann->Send(c.line);
    for (const std::string& reply : c.replies) EXPECT_EQ(ann->ReadLine(), reply) << c.line;
  }
  // NOTICE answers nothing, and a second JOIN of one's channel is no error.
  for (const char* line :
       {"NOTICE nobody :hi", "NOTICE #b :hi", "NOTICE", "NOTICE bob", "JOIN #a"}) {
    ann->Send(line);
  }
  ann->Send("PING :barrier");
  EXPECT_EQ(ann->ReadLine(), s + "PONG " + std::string(kServerName) + " :barrier");
  EXPECT_TRUE(bob->Silent());
  EXPECT_EQ(server.Channels(), (std::vector<std::string>{"#a", "#b"}));
}

}  // namespace
}  // namespace zelkord::testing
