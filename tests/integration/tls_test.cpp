// The TLS port: the plain port's protocol and admission over TLS, client
// certificate fingerprints in WHOIS, certificate reload on SIGHUP, a bad
// pair stopping start-up, connections that never complete a handshake
// costing only themselves, and key updates in the middle of a stream.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/tcp.h"
#include "support/program.h"
#include "support/test_server.h"
#include "support/tls_client.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

// Writes a certificate and key as "name.crt" and "name.key" in dir.
void WritePair(const TempDir& dir, const std::string& name, const TestCertificate& pair) {
  (void)dir.Write(name + ".crt", pair.certificatePem);
  (void)dir.Write(name + ".key", pair.keyPem);
}

// The settings of a TLS port on a kernel-chosen port, with the pair in
// "server.crt" and "server.key" beside the settings file (relative paths).
SettingsMap TlsSettings() {
  return {{"Server.TlsPort", "0"},
          {"Server.TlsCertificate", "server.crt"},
          {"Server.TlsKey", "server.key"}};
}

TEST(Tls, ServesTheProtocolBesidePlainClientsAndShowsClientCertificates) {
  TempDir keys;
  TestServer server(TlsPortSettings(keys));
  ASSERT_TRUE(server.Started()) << server.StartError();
  const int tlsPort = server.Server().TlsPort();
  ASSERT_GT(tlsPort, 0);

  const TestCertificate mine = MakeCertificate(7, "ann's client");
  auto ann = RegisteredTls(tlsPort, "ann", &mine);
  auto bob = server.Registered("bob");
  auto cid = RegisteredTls(tlsPort, "cid");
  ASSERT_TRUE(ann && bob && cid);
  ASSERT_TRUE(JoinAll({ann.get(), bob.get()}, "#a"));
  ann->Send("PRIVMSG #a :over TLS");
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :over TLS");
  bob->Send("PRIVMSG #a :in the clear");
  EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 PRIVMSG #a :in the clear");

  // Only a client that offered a certificate has the extra WHOIS reply,
  // just before the end.
  bob->Send("WHOIS ann");
  EXPECT_EQ(bob->ReadLines(4).back(), kServerPrefix +
                                          "276 bob ann :has client certificate "
                                          "fingerprint " +
                                          mine.fingerprint);
  EXPECT_EQ(bob->ReadLine(), kServerPrefix + "318 bob ann :End of /WHOIS list");
  bob->Send("WHOIS cid");
  EXPECT_NE(bob->ReadUntil(" 318 ").find(" 318 "), std::string::npos);
  bob->Send("WHOIS bob");
  const std::vector<std::string> whois = bob->ReadLines(4);
  EXPECT_EQ(whois.back(), kServerPrefix + "318 bob bob :End of /WHOIS list");

  // A TLS client that quits is cleaned up like any other.
  cid->Send("QUIT");
  EXPECT_EQ(cid->ReadLine(), "<closed>");
  EXPECT_TRUE(server.WaitRegistered(2));
}

TEST(Tls, HandshakesThatFailOrStallCostOnlyThemselves) {
  TempDir keys;
  SettingsMap settings = TlsPortSettings(keys);
  settings["Program.UserMax"] = "4";
  TestServer server(settings);
  ASSERT_TRUE(server.Started()) << server.StartError();
  const int tlsPort = server.Server().TlsPort();
  auto watcher = server.Registered("watch");
  ASSERT_NE(watcher, nullptr);

  // Garbage and a plain IRC line end their handshake at once.
  for (const std::string& opening : {std::string("\x00\xff garbage \x01\x02", 14),
                                     std::string("NICK plain\r\nUSER u h s :r\r\n")}) {
    TestClient bad(tlsPort);
    bad.SendRaw(opening);
    EXPECT_EQ(bad.ReadUntil("\n"), "<closed>");  // perhaps after an alert
  }
  // Half a ClientHello stalls until the handshake's time is up; one that
  // resets after it; 500 connections that never say a word.
  const std::string halfHello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  TestClient stalled(tlsPort);
  stalled.SendRaw(halfHello);
  {
    const int reset = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(tlsPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(reset, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(send(reset, halfHello.data(), halfHello.size(), 0),
              static_cast<ssize_t>(halfHello.size()));
    const linger abort{1, 0};
    (void)setsockopt(reset, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(reset);
  }
  std::vector<std::unique_ptr<TestClient>> silent;
  for (int i = 0; i < 500; ++i) silent.push_back(std::make_unique<TestClient>(tlsPort));
  for (const auto& client : silent) ASSERT_TRUE(client->Connected());

  // Throughout, the plain port answers, and the slots were never taken:
  // three more clients (UserMax 4) still register, one of them over TLS.
  watcher->Send("PING :still here");
  EXPECT_NE(watcher->ReadUntil(" PONG ", 1000), "<timeout>");
  auto tls = RegisteredTls(tlsPort, "tls");
  auto more = server.Registered("more");
  auto last = server.Registered("last");
  EXPECT_TRUE(tls && more && last);
  EXPECT_EQ(stalled.ReadUntil("\n", 15000), "<closed>");
  silent.clear();
}

// A silent TLS client parks with no thread, like a plain one; traffic
// either way wakes it, and a close while parked is cleaned up after.
TEST(Tls, SilentSessionsAreParkedAndServedAgain) {
  TempDir keys;
  TestServer server(TlsPortSettings(keys));
  ASSERT_TRUE(server.Started()) << server.StartError();
  auto ann = RegisteredTls(server.Server().TlsPort(), "ann");
  auto bob = server.Registered("bob");
  ASSERT_TRUE(ann && bob);
  ASSERT_TRUE(JoinAll({ann.get(), bob.get()}, "#a"));
  net::ParkingLot& lot = server.Server().parking;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(WaitUntil([&] { return lot.Parked() == 2; }));
    bob->Send("PRIVMSG #a :to TLS");
    EXPECT_EQ(ann->ReadLine(), ":bob!user@127.0.0.1 PRIVMSG #a :to TLS");
    ASSERT_TRUE(WaitUntil([&] { return lot.Parked() == 2; }));
    ann->Send("PRIVMSG #a :from TLS");
    EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #a :from TLS");
  }
  ASSERT_TRUE(WaitUntil([&] { return lot.Parked() == 2; }));
  ann->Close();
  EXPECT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PART #a");
  EXPECT_TRUE(server.WaitRegistered(1));
}

// A TLS client on the test's own thread, without a relay, so that it can
// ask for key updates between its writes.
class DirectTls {
 public:
  explicit DirectTls(int port) : context_(SSL_CTX_new(TLS_client_method())) {
    socket_ = net::TcpConnect("127.0.0.1", port);
    const timeval wait{kReadTimeoutMs / 1000, 0};
    (void)setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    session_ = SSL_new(context_);
    ready_ = socket_ >= 0 && SSL_set_fd(session_, socket_) == 1 && SSL_connect(session_) == 1;
  }
  ~DirectTls() {
    SSL_free(session_);
    SSL_CTX_free(context_);
    net::TcpClose(socket_);
  }
  [[nodiscard]] bool Send(std::string_view bytes) {
    std::size_t written = 0;
    return ready_ && SSL_write_ex(session_, bytes.data(), bytes.size(), &written) == 1;
  }
  // Sent ahead of the next write; the server answers with one of its own.
  void UpdateKeys() { (void)SSL_key_update(session_, SSL_KEY_UPDATE_REQUESTED); }
  // The next line, "<timeout>", "<closed>" after the close notification, or
  // "<cut>" when the connection ended without one.
  [[nodiscard]] std::string ReadLine() {
    for (std::size_t end; (end = buffer_.find("\r\n")) == std::string::npos;) {
      char chunk[4096];
      std::size_t got = 0;
      if (SSL_read_ex(session_, chunk, sizeof chunk, &got) != 1) {
        const int error = SSL_get_error(session_, 0);
        return error == SSL_ERROR_ZERO_RETURN ? "<closed>"
               : error == SSL_ERROR_WANT_READ ? "<timeout>"
                                              : "<cut>";
      }
      buffer_.append(chunk, got);
    }
    const std::size_t end = buffer_.find("\r\n");
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return line;
  }
  [[nodiscard]] bool ReadUntil(std::string_view needle) {
    for (std::string line = ReadLine(); line.front() != '<'; line = ReadLine()) {
      if (line.find(needle) != std::string::npos) return true;
    }
    return false;
  }

 private:
  SSL_CTX* context_;
  SSL* session_ = nullptr;
  int socket_ = -1;
  bool ready_ = false;
  std::string buffer_;
};

// Lines cross in bulk both ways while the TLS client renews its keys twice
// and the server answers each time between its own records; every line
// arrives intact and in order, and the server's close is a notified one.
TEST(Tls, LinesCrossKeyUpdatesIntactAndInOrder) {
  TempDir keys;
  TestServer server(TlsPortSettings(keys));
  ASSERT_TRUE(server.Started()) << server.StartError();
  DirectTls ann(server.Server().TlsPort());
  ASSERT_TRUE(ann.Send("NICK ann\r\nUSER user host server :Real Name\r\n"));
  ASSERT_TRUE(ann.ReadUntil(" 422 "));
  auto bob = server.Registered("bob");
  ASSERT_NE(bob, nullptr);
  ASSERT_TRUE(ann.Send("JOIN #k\r\n") && ann.ReadUntil(" 366 "));
  ASSERT_TRUE(bob->Join("#k"));
  ASSERT_TRUE(ann.ReadUntil("JOIN"));

  // Three rounds of 700 lines each way, both readers idle meanwhile (well
  // within the queues' bound); a key update ahead of the second and third.
  constexpr int kRounds = 3;
  constexpr int kPerRound = 700;
  const std::string padding(30, 'p');
  const auto text = [&](char who, int n) {
    return std::string(1, who) + std::to_string(n) + padding;
  };
  for (int round = 0; round < kRounds; ++round) {
    std::string fromAnn;
    std::string fromBob;
    for (int n = round * kPerRound; n < (round + 1) * kPerRound; ++n) {
      fromAnn += "PRIVMSG #k :" + text('a', n) + "\r\n";
      fromBob += "PRIVMSG #k :" + text('b', n) + "\r\n";
    }
    if (round > 0) ann.UpdateKeys();
    ASSERT_TRUE(ann.Send(fromAnn));
    bob->SendRaw(fromBob);
  }
  for (int n = 0; n < kRounds * kPerRound; ++n) {
    ASSERT_EQ(ann.ReadLine(), ":bob!user@127.0.0.1 PRIVMSG #k :" + text('b', n));
    ASSERT_EQ(bob->ReadLine(), ":ann!user@127.0.0.1 PRIVMSG #k :" + text('a', n));
  }
  ASSERT_TRUE(ann.Send("QUIT\r\n"));
  EXPECT_TRUE(ann.ReadUntil(" QUIT "));
  EXPECT_EQ(ann.ReadLine(), "<closed>");
}

// The real program: a key that does not belong to the certificate stops
// start-up; a reload on SIGHUP serves a renewed certificate to new clients
// while old ones stay connected, and keeps it when the files go bad.
TEST(Program, TlsPairIsCheckedAtStartAndReloadedOnSighup) {
  TempDir dir;
  const TestCertificate first = MakeCertificate(1, "first");
  const TestCertificate second = MakeCertificate(2, "second");
  (void)dir.Write("server.crt", first.certificatePem);
  (void)dir.Write("server.key", second.keyPem);
  const std::string config = dir.Write("zelkord.INI", TestInstanceIni(TlsSettings()));
  {
    Program mismatched(config);
    ASSERT_TRUE(mismatched.Started());
    ASSERT_TRUE(mismatched.Exited(10000));
    EXPECT_TRUE(mismatched.ExitedWith(1)) << mismatched.Status();
    EXPECT_NE(mismatched.Stderr().find("does not belong to the certificate"), std::string::npos)
        << mismatched.Stderr();
  }

  WritePair(dir, "server", first);
  Program program(config);
  ASSERT_GT(program.WaitForPort(), 0) << program.Stderr();
  const int tlsPort = program.TlsPort();
  ASSERT_GT(tlsPort, 0);
  TlsPeer seen;
  auto old = ConnectTls(tlsPort, nullptr, &seen);
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(seen.serial, 1);
  ASSERT_TRUE(old->Register("old"));

  WritePair(dir, "server", second);
  program.Signal(SIGHUP);
  EXPECT_TRUE(WaitUntil([&] {
    auto fresh = ConnectTls(tlsPort, nullptr, &seen);
    return fresh != nullptr && seen.serial == 2;
  }));
  old->Send("PING :x");
  EXPECT_NE(old->ReadUntil(" PONG "), "<timeout>");

  // A broken pair is reported; the port keeps the certificate it had.
  (void)dir.Write("server.key", first.keyPem);
  program.Signal(SIGHUP);
  EXPECT_TRUE(
      WaitUntil([&] { return program.Stderr().find("nothing changed") != std::string::npos; }));
  auto after = ConnectTls(tlsPort, nullptr, &seen);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(seen.serial, 2);
  program.Signal(SIGTERM);
  ASSERT_TRUE(program.Exited(20000));
  EXPECT_TRUE(program.ExitedWith(0)) << program.Status();
}

}  // namespace
}  // namespace zelkord::testing
