// IPv6 beside IPv4 on one port: an IPv6 client's address is shown with a
// leading "0" where it would start with ':', an IPv4 client's stays dotted,
// and IPv6 ban ranges refuse only the addresses they cover.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/http_fetch.h"
#include "support/test_server.h"

namespace zelkord::testing {
namespace {

// Whether this machine can use ::1 at all.
bool HasIpv6Loopback() {
  const int probe = socket(AF_INET6, SOCK_STREAM, 0);
  if (probe < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return bound;
}

TEST(Ipv6, OnePortServesBothFamiliesAndEveryReplyShowsTheAddressSafely) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
  WebServer web;
  TestServer& server = *web.server;
  ASSERT_TRUE(server.Started()) << server.StartError();
  TestClient six(server.Port(), "::1");
  ASSERT_TRUE(six.Connected());
  ASSERT_TRUE(six.Register("six"));
  auto four = server.Registered("four");
  ASSERT_NE(four, nullptr);
  ASSERT_TRUE(JoinAll({&six, four.get()}, "#both"));

  six.Send("PRIVMSG #both :hello");
  EXPECT_EQ(four->ReadLine(), ":six!user@0::1 PRIVMSG #both :hello");
  four->Send("WHOIS six");
  EXPECT_EQ(four->ReadLine(), kServerPrefix + "311 four six user 0::1 * :Real Name");
  (void)four->ReadUntil(" 318 ");
  four->Send("WHO #both");
  EXPECT_NE(four->ReadUntil(" six ").find(" 0::1 "), std::string::npos);
  (void)four->ReadUntil(" 315 ");
  // The IPv4 client through the same dual-stack port stays dotted.
  six.Send("WHOIS four");
  EXPECT_EQ(six.ReadLine(), kServerPrefix + "311 six four user 127.0.0.1 * :Real Name");
  (void)six.ReadUntil(" 318 ");

  // The status pages listen on both families too.
  EXPECT_EQ(
      Fetch(web.Port(), "GET / HTTP/1.0\r\n\r\n", kReadTimeoutMs, "::1").rfind(kPageHeader, 0), 0u);
}

TEST(Ipv6, RangeBanRefusesOnlyTheAddressesItCovers) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
  TestServer server(SettingsMap{{"BanList.Count", "1"}, {"BanList.Ip0", "::/64"}});
  ASSERT_TRUE(server.Started()) << server.StartError();
  TestClient six(server.Port(), "::1");
  ASSERT_TRUE(six.Connected());
  EXPECT_TRUE(six.ClosedWithoutData());
  EXPECT_NE(server.Registered("four"), nullptr);
}

}  // namespace
}  // namespace zelkord::testing
