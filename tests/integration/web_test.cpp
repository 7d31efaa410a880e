// The web status pages over real sockets: the exact header block, the
// templates with their markers, the password segment, silence for every
// request that is not served, and the slow-client limits.
#include <gtest/gtest.h>

#include <chrono>

#include "services/status_pages.h"
#include "support/http_fetch.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

TEST(Web, IndexListsTheChannelsEscaped) {
  WebServer web;
  auto [ann] = RegisteredAll(*web.server, {"ann"}, {"#a"});
  ASSERT_TRUE(ann);
  ann->Send("TOPIC #a :<b>bold</b> & 'q'");
  ASSERT_NE(ann->ReadUntil(" TOPIC "), "<timeout>");
  const std::string expected =
      kPageHeader + "<html>\r\n<TABLE BORDER=\"2\">\r\n<TR>" +
      std::string(services::kIndexHeaderRow) +
      "</TR>\r\n<TR><TD><A HREF=\"a\">#a</A></TD><TD>1</TD><TD>&lt;b&gt;bold&lt;/b&gt; &amp; "
      "&#39;q&#39; by ann</TD></TR>\r\n</TABLE>\r\n</html>\r\n";
  EXPECT_EQ(Get(web.Port(), "/"), expected);
  EXPECT_EQ(Get(web.Port(), "/InDeX.HtMl"), expected);
  EXPECT_EQ(Fetch(web.Port(), "get / HTTP/1.0\r\n\r\n"), expected);  // the method in any case
  // A secret channel is neither listed nor shown.
  ann->Send("MODE #a +s");
  ASSERT_NE(ann->ReadUntil(" MODE #a +s"), "<timeout>");
  EXPECT_EQ(Get(web.Port(), "/"), kPageHeader + "<html>\r\n<TABLE BORDER=\"2\">\r\n<TR>" +
                                      std::string(services::kIndexHeaderRow) +
                                      "</TR>\r\n</TABLE>\r\n</html>\r\n");
  EXPECT_EQ(Get(web.Port(), "/a"), "");
}

TEST(Web, LogPageReplacesAngleBracketsOnly) {
  WebServer web;
  auto [ann] = RegisteredAll(*web.server, {"ann"}, {"#a"});
  ASSERT_TRUE(ann);
  ann->Send("PRIVMSG #a :<i>x</i> & y");
  ann->Send("LUSERS");
  ASSERT_NE(ann->ReadUntil(" 255 "), "<timeout>");
  const std::string page = Get(web.Port(), "/a");
  ASSERT_EQ(page.rfind(kPageHeader + "<pre>\r\n", 0), 0u) << page;
  EXPECT_NE(page.find("ann&gt &lti&gtx&lt/i&gt & y\r\n</pre>\r\n"), std::string::npos) << page;
  EXPECT_EQ(Get(web.Port(), "/A"), "");  // channel names are exact
  EXPECT_EQ(Get(web.Port(), "/nowhere"), "");
}

TEST(Web, PasswordSegmentInAnyLetterCase) {
  WebServer web(SettingsMap{{"Web.PassWord", "Secret"}});
  ASSERT_TRUE(web.server->Started());
  EXPECT_EQ(Get(web.Port(), "/secret/").rfind(kPageHeader, 0), 0u);
  EXPECT_EQ(Get(web.Port(), "/SECRET/index.html").rfind(kPageHeader, 0), 0u);
  EXPECT_EQ(Get(web.Port(), "/"), "");
  EXPECT_EQ(Get(web.Port(), "/wrong/"), "");
  EXPECT_EQ(Fetch(web.Port(), "POST /secret/ HTTP/1.0\r\n\r\n"), "");
}

TEST(Web, TemplateWithoutMarkerAndMissingTemplate) {
  TempDir files;
  const std::string plain = files.Write("plain.html", "line one\nline two\r\nlast");
  const std::string missing = files.Path() + "missing.html";
  WebServer web(SettingsMap{{"Web.IndexForm", plain}, {"Web.LogForm", missing}});
  ASSERT_TRUE(web.server->Started());
  EXPECT_EQ(Get(web.Port(), "/"), kPageHeader + "line one\r\nline two\r\nlast\r\n");
  auto ann = web.server->Registered("ann");
  ASSERT_TRUE(ann->Join("#a"));
  // The page says it has no template; the desk is told at start and at
  // each reload while it lasts.
  EXPECT_EQ(Get(web.Port(), "/a"),
            "HTTP/1.0 500 Template missing" + kPageHeader.substr(kPageHeader.find("\r\n")) +
                "<HTML><BODY>This page's template is missing or cannot be read.</BODY></HTML>\r\n");
  const std::string said = "the status page template Web.LogForm \"" + missing +
                           "\" is missing; its page answers with an error";
  EXPECT_EQ(web.server->Desk().Errors(), std::vector<std::string>{said});
  ASSERT_TRUE(web.server->Server().Reload());
  EXPECT_EQ(web.server->Desk().Errors(), (std::vector<std::string>{said, said}));
}

TEST(Web, LongTemplateLinesAreSentInPieces) {
  TempDir files;
  const std::string file = files.Write("long.html", std::string(600, 'x') + "\n");
  WebServer web(SettingsMap{{"Web.IndexForm", file}});
  ASSERT_TRUE(web.server->Started());
  EXPECT_EQ(Get(web.Port(), "/"),
            kPageHeader + std::string(511, 'x') + "\r\n" + std::string(89, 'x') + "\r\n");
}

TEST(Web, RequestLineLimitCountsTheCrLf) {
  WebServer web;
  ASSERT_TRUE(web.server->Started());
  const std::string head = "GET / HTTP/1.0";
  const std::string fits = head + std::string(1022 - head.size(), 'x');  // 1024 with CR LF
  EXPECT_EQ(Fetch(web.Port(), fits + "\r\n\r\n").rfind(kPageHeader, 0), 0u);
  EXPECT_EQ(Fetch(web.Port(), fits + "x\r\n\r\n"), "");
}

TEST(Web, RequestLinesAreShownInTheView) {
  WebServer web;
  ASSERT_TRUE(web.server->Started());
  (void)Fetch(web.Port(), "GET /x HTTP/1.0\r\n\r\n");
  (void)Fetch(web.Port(), "GET / HTTP/1.0\r\nHost: h\r\n\r\n");
  const auto view = web.server->Server().webView.Snapshot();
  EXPECT_EQ(view,
            (std::vector<std::string>{"[127.0.0.1]GET /x HTTP/1.0", "[127.0.0.1]GET / HTTP/1.0",
                                      "[127.0.0.1]Host: h", "[127.0.0.1]"}));
}

TEST(Web, SlowClientIsClosedWhileOthersAreServed) {
  WebServer web;
  ASSERT_TRUE(web.server->Started());
  TestClient slow(web.Port());
  slow.SendRaw("GET / HT");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(web.Port(), "/").rfind(kPageHeader, 0), 0u);
  EXPECT_TRUE(slow.ClosedWithoutData(15000));
  EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
}

TEST(Web, RequestsBeyondTheCapAreClosedAtOnce) {
  WebServer web;
  ASSERT_TRUE(web.server->Started());
  std::vector<std::unique_ptr<TestClient>> slow;
  // One at a time: the listen backlog is small, and each must be in service.
  for (int i = 0; i < services::kMaxWebRequests; ++i) {
    slow.push_back(std::make_unique<TestClient>(web.Port()));
    slow.back()->SendRaw("GET / HT");
    ASSERT_TRUE(WaitUntil([&] { return web.server->Server().servingWebRequests.load() > i; }));
  }
  ASSERT_EQ(web.server->Server().servingWebRequests.load(), services::kMaxWebRequests);
  TestClient extra(web.Port());
  extra.SendRaw("GET / HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(extra.ClosedWithoutData(3000));
  slow.clear();  // they hang up; their threads end
  EXPECT_TRUE(WaitUntil([&] { return web.server->Server().servingWebRequests.load() == 0; }));
  EXPECT_EQ(Get(web.Port(), "/").rfind(kPageHeader, 0), 0u);
}

TEST(Web, DisabledUnlessExactlyEnable) {
  TestServer server(SettingsMap{{"Web.Send", "enable"}, {"Web.Port", "0"}});
  ASSERT_TRUE(server.Started());
  EXPECT_EQ(server.Server().WebPort(), -1);
}

}  // namespace
}  // namespace zelkord::testing
