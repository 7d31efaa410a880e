// The TLS credentials, the handshake (on a non-blocking socket with poll, so
// it keeps its time limit), the stream over memory buffers it then becomes,
// and the relay, over OpenSSL.
#include "net/tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "base/deadline.h"
#include "net/tcp.h"

namespace zelkord::net {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRelayChunk = 16 * 1024;  // one TLS record's worth
constexpr int kHandshakeSliceMs = 100;  // how often a handshake asks keepGoing

// The oldest error the library queued, as text, and the queue emptied.
std::string LibraryError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  std::array<char, 256> text{};
  ERR_error_string_n(code, text.data(), text.size());
  return text.data();
}

void SetNonBlocking(int socket) {
  const int flags = fcntl(socket, F_GETFL);
  if (flags >= 0) (void)fcntl(socket, F_SETFL, flags | O_NONBLOCK);
}

// What an operation that returned result waits for: POLLIN or POLLOUT on
// the TLS socket, or 0 when the session has failed or closed.
short Wants(ssl_st* session, int result) {
  switch (SSL_get_error(session, result)) {
    case SSL_ERROR_WANT_READ:
      return POLLIN;
    case SSL_ERROR_WANT_WRITE:
      return POLLOUT;
    default:
      return 0;
  }
}

// The handshake on a non-blocking socket, in slices so keepGoing is asked.
bool Handshake(ssl_st* session, int socket, const std::function<bool()>& keepGoing) {
  const Clock::time_point deadline = Clock::now() + kTlsHandshakeTime;
  for (;;) {
    const int result = SSL_accept(session);
    if (result == 1) return true;
    const short wants = Wants(session, result);
    if (wants == 0) return false;
    for (;;) {
      const int left = base::MillisecondsUntil(deadline);
      if (left == 0 || !keepGoing()) return false;
      pollfd waitFor{socket, wants, 0};
      const int ready = poll(&waitFor, 1, std::min(left, kHandshakeSliceMs));
      if (ready > 0) break;
      if (ready < 0 && errno != EINTR) return false;
    }
  }
}

}  // namespace

std::shared_ptr<const TlsCredentials> TlsCredentials::Load(const std::string& certificateFile,
                                                           const std::string& keyFile,
                                                           std::string& error) {
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    error = "cannot set up TLS: " + LibraryError();
    return nullptr;
  }
  std::shared_ptr<const TlsCredentials> credentials(new TlsCredentials(context));
  (void)SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  // A take is sealed a record at a time, each SSL_write given what is left.
  // An idle session gives its record buffers back (about 33 KiB): most
  // connections are idle most of the time.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                SSL_MODE_RELEASE_BUFFERS);
  // Ask for a client certificate, take any: it is shown, never trusted.
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
  if (SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1) {
    error = "cannot load the TLS certificate " + certificateFile + ": " + LibraryError();
    return nullptr;
  }
  const bool keyLoaded =
      SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
  // A key that loads but does not fit is refused by the load itself.
  if (!keyLoaded && ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
    error = "cannot load the TLS key " + keyFile + ": " + LibraryError();
    return nullptr;
  }
  if (!keyLoaded || SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    error = "the TLS key " + keyFile + " does not belong to the certificate " + certificateFile;
    return nullptr;
  }
  return credentials;
}

TlsCredentials::~TlsCredentials() {
  SSL_CTX_free(context_);
}

std::string PeerFingerprint(ssl_st* session) {
  X509* certificate = SSL_get1_peer_certificate(session);
  if (certificate == nullptr) return {};
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  std::string hex;
  if (X509_digest(certificate, EVP_sha256(), digest.data(), &length) == 1) {
    constexpr char kDigits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
      hex.push_back(kDigits[digest[i] >> 4]);
      hex.push_back(kDigits[digest[i] & 15]);
    }
  }
  X509_free(certificate);
  return hex;
}

std::unique_ptr<TlsStream> AcceptTls(const TlsCredentials& credentials, int socket,
                                     const std::function<bool()>& keepGoing) {
  const int flags = fcntl(socket, F_GETFL);
  SetNonBlocking(socket);
  SSL* session = SSL_new(credentials.Context());
  BIO* in = nullptr;
  BIO* out = nullptr;
  if (session != nullptr && SSL_set_fd(session, socket) == 1 &&
      Handshake(session, socket, keepGoing) && (in = BIO_new(BIO_s_mem())) != nullptr &&
      (out = BIO_new(BIO_s_mem())) != nullptr) {
    // Without read-ahead the library has read no further than the last
    // handshake record, and what it sent (session tickets included) is out
    // before SSL_accept returns: neither buffer is left holding anything.
    SSL_set_bio(session, in, out);
    if (flags >= 0) (void)fcntl(socket, F_SETFL, flags);
    return std::unique_ptr<TlsStream>(new TlsStream(session, in, out));
  }
  BIO_free(in);
  // The queue is per thread: a failed handshake leaves its errors behind.
  ERR_clear_error();
  SSL_free(session);
  TcpClose(socket);
  return nullptr;
}

TlsStream::~TlsStream() {
  base::MutexLock lock(mutex_);
  SSL_free(session_);  // frees both buffers
  ERR_clear_error();
}

TlsStream::Opened TlsStream::Open(std::span<const char> ciphertext, char* plain, std::size_t room) {
  Opened opened;
  base::MutexLock lock(mutex_);
  // A memory buffer takes everything it is given.
  if (!ciphertext.empty() &&
      BIO_write(in_, ciphertext.data(), static_cast<int>(ciphertext.size())) <= 0) {
    opened.ended = true;
  }
  while (!opened.ended && opened.bytes < room) {
    std::size_t got = 0;
    if (SSL_read_ex(session_, plain + opened.bytes, room - opened.bytes, &got) == 1) {
      opened.bytes += got;
      continue;
    }
    // Wanting more ciphertext is the normal end of what was received;
    // anything else (the close notification, a failure) ends the session.
    opened.ended = SSL_get_error(session_, 0) != SSL_ERROR_WANT_READ;
    ERR_clear_error();
    break;
  }
  opened.held = SSL_has_pending(session_) == 1 || BIO_ctrl_pending(in_) > 0;
  opened.more = opened.held && !opened.ended && opened.bytes == room;
  opened.toSend = BIO_ctrl_pending(out_) > 0;
  return opened;
}

bool TlsStream::Seal(std::string_view plain, std::string& ciphertext) {
  base::MutexLock lock(mutex_);
  while (!plain.empty()) {
    std::size_t written = 0;
    if (SSL_write_ex(session_, plain.data(), std::min(plain.size(), kTlsRecordBytes), &written) !=
        1) {
      ERR_clear_error();
      return false;
    }
    plain.remove_prefix(written);
    // Drained record by record, so the buffer never holds more than one.
    Drain(ciphertext);
  }
  Drain(ciphertext);
  return true;
}

void TlsStream::Close(std::string& ciphertext) {
  base::MutexLock lock(mutex_);
  (void)SSL_shutdown(session_);  // the notification only: the peer's is not waited for
  ERR_clear_error();
  Drain(ciphertext);
}

std::string TlsStream::Fingerprint() {
  base::MutexLock lock(mutex_);
  return PeerFingerprint(session_);
}

void TlsStream::Drain(std::string& ciphertext) {
  const std::size_t waiting = BIO_ctrl_pending(out_);
  if (waiting == 0) return;
  const std::size_t at = ciphertext.size();
  ciphertext.resize(at + waiting);
  const int got = BIO_read(out_, ciphertext.data() + at, static_cast<int>(waiting));
  ciphertext.resize(at + static_cast<std::size_t>(std::max(got, 0)));
}

Relayed RelayTls(ssl_st* session, int tlsSocket, int plainSocket, int idleMs) {
  SetNonBlocking(tlsSocket);
  SetNonBlocking(plainSocket);
  std::array<char, kRelayChunk> fromTls{};
  std::array<char, kRelayChunk> fromPlain{};
  std::size_t toPlainBegin = 0, toPlainEnd = 0;  // fromTls bytes not yet passed on
  std::size_t toTlsBegin = 0, toTlsEnd = 0;      // fromPlain bytes not yet passed on
  bool plainOpen = true;                         // the plain side may send more
  Clock::time_point drainBy{};
  for (;;) {
    bool progress = false;
    short tlsEvents = 0;
    short plainEvents = 0;
    // TLS to plain, a chunk at a time: nothing more is read from the peer
    // until the plain side has taken the last chunk. Once the server has
    // closed, what the peer still says has nowhere to go.
    if (plainOpen && toPlainBegin == toPlainEnd) {
      const int got = SSL_read(session, fromTls.data(), kRelayChunk);
      if (got <= 0) {
        const short wants = Wants(session, got);
        // The peer closed or failed: the plain side sees its close.
        if (wants == 0) return Relayed::Ended;
        tlsEvents |= wants;
      } else {
        toPlainBegin = 0;
        toPlainEnd = static_cast<std::size_t>(got);
        progress = true;
      }
    }
    if (plainOpen && toPlainBegin != toPlainEnd) {
      const ssize_t sent =
          send(plainSocket, fromTls.data() + toPlainBegin, toPlainEnd - toPlainBegin, MSG_NOSIGNAL);
      if (sent > 0) {
        toPlainBegin += static_cast<std::size_t>(sent);
        progress = true;
      } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        plainEvents |= POLLOUT;
      } else if (sent < 0 && errno == EINTR) {
        progress = true;
      } else {
        return Relayed::Ended;  // the server closed the connection
      }
    }
    // Plain to TLS, likewise a chunk at a time.
    if (plainOpen && toTlsBegin == toTlsEnd) {
      const ssize_t got = recv(plainSocket, fromPlain.data(), kRelayChunk, 0);
      if (got > 0) {
        toTlsBegin = 0;
        toTlsEnd = static_cast<std::size_t>(got);
        progress = true;
      } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        plainEvents |= POLLIN;
      } else if (got < 0 && errno == EINTR) {
        progress = true;
      } else {
        plainOpen = false;
        drainBy = Clock::now() + kTlsDrainTime;
        progress = true;
      }
    }
    if (toTlsBegin != toTlsEnd) {
      const int sent = SSL_write(session, fromPlain.data() + toTlsBegin,
                                 static_cast<int>(toTlsEnd - toTlsBegin));
      if (sent > 0) {
        toTlsBegin += static_cast<std::size_t>(sent);
        progress = true;
      } else {
        const short wants = Wants(session, sent);
        if (wants == 0) return Relayed::Ended;
        tlsEvents |= wants;
      }
    }
    if (!plainOpen && toTlsBegin == toTlsEnd) {
      (void)SSL_shutdown(session);  // best effort: the peer may have gone
      return Relayed::Ended;
    }
    if (progress) continue;
    // A side nothing is wanted from is left out, so its hang-up cannot spin
    // the loop while the other side is waited for.
    std::array<pollfd, 2> waitFor{pollfd{tlsEvents != 0 ? tlsSocket : -1, tlsEvents, 0},
                                  pollfd{plainEvents != 0 ? plainSocket : -1, plainEvents, 0}};
    // Both sides waited for, nothing held: the relay may stop here.
    const bool between = plainOpen && toPlainBegin == toPlainEnd && toTlsBegin == toTlsEnd &&
                         tlsEvents == POLLIN && plainEvents == POLLIN;
    const int timeout = !plainOpen ? base::MillisecondsUntil(drainBy) : between ? idleMs : -1;
    if (!plainOpen && timeout == 0) return Relayed::Ended;
    const int ready = poll(waitFor.data(), waitFor.size(), timeout);
    if (ready == 0 && between) return Relayed::Idle;
    if (ready < 0 && errno != EINTR) return Relayed::Ended;
  }
}

}  // namespace zelkord::net
