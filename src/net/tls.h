// TLS for the server's TLS port: the credentials (certificate and key,
// loaded and checked together), the server handshake, and the established
// session as a stream over memory, which the connection's own reader and its
// output queue drive: the reader feeds it the ciphertext it receives and
// takes plaintext lines out, the queue's sender seals the lines it takes
// into records and sends them like any other bytes. So a TLS connection is
// one socket and one thread, and its output is bounded and backpressured
// exactly like a plain one's. RelayTls relays a session to a plain socket,
// for a client that did its own handshake.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/mutex.h"

struct bio_st;
struct ssl_ctx_st;
struct ssl_st;

namespace zelkord::net {

// How long a client has to complete its handshake.
inline constexpr std::chrono::milliseconds kTlsHandshakeTime{10000};
// How long a closing relay may take to pass the last bytes on.
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
// not free the session. For a client that did its own handshake.
Relayed RelayTls(ssl_st* session, int tlsSocket, int plainSocket, int idleMs = -1);

// The most plaintext one record carries.
inline constexpr std::size_t kTlsRecordBytes = 16 * 1024;

// An established session over two memory buffers instead of its socket:
// the caller moves the ciphertext between them and the socket. The lock
// covers only the library's work in memory, never a system call, so the
// reader and the sender of a connection may use it from two threads at
// once. Whatever a call leaves to send (records, a key update's answer,
// an alert) waits in one outgoing buffer that only Seal and Close empty, in
// the order it was made; only the connection's one current sender calls
// them, so records leave in order.
class TlsStream {
 public:
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // What Open did.
  struct Opened {
    std::size_t bytes = 0;  // plaintext written
    bool ended = false;     // the peer closed the session, or it failed
    bool held = false;      // received bytes still wait in the session
    bool more = false;      // room ran out before the session did
    bool toSend = false;    // the session has bytes of its own to send
  };
  // Takes ciphertext received from the socket (may be empty) and writes
  // up to room bytes of plaintext to plain. The reader's thread.
  [[nodiscard]] Opened Open(std::span<const char> ciphertext, char* plain, std::size_t room)
      EXCLUDES(mutex_);

  // Seals plain into records of up to kTlsRecordBytes and appends them to
  // ciphertext, after whatever the session had waiting to send. false when
  // the session has failed: nothing more can be sent. The current sender.
  [[nodiscard]] bool Seal(std::string_view plain, std::string& ciphertext) EXCLUDES(mutex_);

  // Appends the close notification, after whatever waits to be sent. The
  // connection's owner, once nobody sends any more.
  void Close(std::string& ciphertext) EXCLUDES(mutex_);

  // The peer's certificate fingerprint (PeerFingerprint).
  [[nodiscard]] std::string Fingerprint() EXCLUDES(mutex_);

 private:
  friend std::unique_ptr<TlsStream> AcceptTls(const TlsCredentials&, int,
                                              const std::function<bool()>&);
  TlsStream(ssl_st* session, bio_st* in, bio_st* out) : session_(session), in_(in), out_(out) {}
  // Appends what waits in out_ to ciphertext.
  void Drain(std::string& ciphertext) REQUIRES(mutex_);

  base::Mutex mutex_;
  ssl_st* const session_ GUARDED_BY(mutex_);
  bio_st* const in_ GUARDED_BY(mutex_);   // ciphertext received, not yet opened
  bio_st* const out_ GUARDED_BY(mutex_);  // ciphertext made, not yet taken
};

// Takes one accepted TLS connection through its handshake on the calling
// thread, over the socket itself. The handshake gets kTlsHandshakeTime;
// keepGoing is asked at least every 100 ms meanwhile, and false ends it (a
// server shutting down). The socket is left blocking, as it came, and is
// not owned by the stream. nullptr, with the socket closed, when the
// handshake failed.
[[nodiscard]] std::unique_ptr<TlsStream> AcceptTls(const TlsCredentials& credentials, int socket,
                                                   const std::function<bool()>& keepGoing);

// The SHA-256 fingerprint of the peer's certificate, lowercase hex; empty
// without one.
[[nodiscard]] std::string PeerFingerprint(ssl_st* session);

}  // namespace zelkord::net
