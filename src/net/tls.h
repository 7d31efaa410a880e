// TLS for the server's TLS port: the credentials (certificate and key,
// loaded and checked together), the server handshake, and a relay that
// turns a TLS connection into a plain socket, which the rest of the server
// reads and writes like any other connection. One thread at a time drives a
// session (a silent one may be parked between threads), and the relay
// never reads more from the plain side than the TLS peer has taken: a peer
// that stops reading backs up into the plain socket, where the output
// queue's bound and backpressure apply as usual.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace zelkord::net {

// How long a client has to complete its handshake.
inline constexpr std::chrono::milliseconds kTlsHandshakeTime{10000};
// How long a closing relay may take to pass the server's last bytes on.
inline constexpr std::chrono::milliseconds kTlsDrainTime{2000};

// A certificate (with its chain) and its key, for TLS 1.2 and 1.3 with the
// library's default ciphers. A client certificate is asked for and taken
// without verification: it only identifies the client by its fingerprint.
// Immutable once loaded; shared by every handshake that starts with it.
class TlsCredentials {
 public:
  // Loads PEM files; nullptr, with the reason for a person in error, when a
  // file is missing or unreadable or the key does not belong to the
  // certificate. Any thread.
  [[nodiscard]] static std::shared_ptr<const TlsCredentials> Load(
      const std::string& certificateFile, const std::string& keyFile, std::string& error);
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  [[nodiscard]] ssl_ctx_st* Context() const { return context_; }

 private:
  explicit TlsCredentials(ssl_ctx_st* context) : context_(context) {}
  ssl_ctx_st* context_;
};

// How a relay stopped.
enum class Relayed { Ended, Idle };

// Relays between an established session on tlsSocket and plainSocket until
// either side ends (Ended; a plain side that closes gets kTlsDrainTime to
// pass its last bytes on, then the session's close notification), or, when
// idleMs >= 0, until neither side has said anything for idleMs with nothing
// held between them (Idle): the relay may then be taken up again later, by
// any one thread. Makes both sockets non-blocking; closes neither and does
// not free the session. Used by TlsConnection, and by a client that did its
// own handshake.
Relayed RelayTls(ssl_st* session, int tlsSocket, int plainSocket, int idleMs = -1);

// An established TLS session and the plain socket it is relayed to. Closes
// both sockets and frees the session at its end. One thread at a time.
class TlsConnection {
 public:
  TlsConnection(ssl_st* session, int tlsSocket, int plainSocket)
      : session_(session), tlsSocket_(tlsSocket), plainSocket_(plainSocket) {}
  ~TlsConnection();
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;

  // RelayTls over this connection.
  [[nodiscard]] Relayed Relay(int idleMs);
  [[nodiscard]] int TlsSocket() const { return tlsSocket_; }
  [[nodiscard]] int PlainSocket() const { return plainSocket_; }

 private:
  ssl_st* session_;
  int tlsSocket_;
  int plainSocket_;
};

// Takes one accepted TLS connection through its handshake on the calling
// thread. The handshake gets kTlsHandshakeTime; keepGoing is asked at least
// every 100 ms meanwhile, and false ends it (a server shutting down). Once
// it succeeds, ready receives the client certificate's SHA-256 fingerprint
// (lowercase hex, empty without one) and returns the plain socket to relay
// to, or kNoSocket to close. nullptr, with the socket closed, when the
// handshake failed or ready gave no plain socket.
[[nodiscard]] std::unique_ptr<TlsConnection> AcceptTls(
    const TlsCredentials& credentials, int socket, const std::function<bool()>& keepGoing,
    const std::function<int(const std::string& fingerprint)>& ready);

// The SHA-256 fingerprint of the peer's certificate, lowercase hex; empty
// without one.
[[nodiscard]] std::string PeerFingerprint(ssl_st* session);

}  // namespace zelkord::net
