// The thin socket layer: every network byte of the server passes through
// here. Plain blocking TCP sockets, listening on IPv6 and IPv4 alike (IPv4
// alone where the machine has no IPv6); -1 (kNoSocket) means no socket
// throughout. Receiving is buffered but frames exactly as a reader that takes
// one byte at a time would, and nothing else ever reads a socket that has a
// LineReader, so buffering past the current line loses nothing.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/mutex.h"

namespace zelkord::net {

class TlsStream;

inline constexpr int kNoSocket = -1;
// A burst of connections must wait in the kernel while the chain of
// connection threads catches up; with a backlog of a handful, the rest are
// dropped and retried a second later.
inline constexpr int kListenBacklog = 256;
inline constexpr std::size_t kMaxLineLimit = 4096;
// The most a line starting with a tag part may take: 8191 bytes of tags
// beside the 512 of the rest.
inline constexpr std::size_t kMaxTaggedLineLimit = 8191 + 512;

// Ignores SIGPIPE process-wide, so a send to a closed peer is an error
// result, not a signal. Any thread, before any socket is used.
void TcpStartup();

// Creates a listening socket bound to all local addresses on port (0 lets
// the kernel choose), with SO_REUSEADDR and a backlog of kListenBacklog:
// dual-stack where the machine has IPv6, else IPv4 alone. Returns the
// socket or kNoSocket. Any thread.
[[nodiscard]] int TcpListen(int port);

// A peer's address as the server shows it: IPv4 dotted (also when it came
// as an IPv4-mapped IPv6 address), IPv6 in its shortest text with a "0"
// put before a leading ':' ("0::1"), since a field starting with ':' would
// break an IRC line. Empty for other families. Any thread.
[[nodiscard]] std::string AddressText(const sockaddr_storage& address);

// The port a listening socket is bound to, or -1. Any thread.
[[nodiscard]] int TcpBoundPort(int socket);

// Connects to a dotted IPv4 address and port. Returns the socket (with
// TCP_NODELAY) or kNoSocket. When beforeConnect is given, the socket is bound
// to a local port first and beforeConnect receives that port before the
// connection is made, so the peer can know the connection when it arrives.
// Any thread.
[[nodiscard]] int TcpConnect(std::string_view address, int port,
                             const std::function<void(int)>& beforeConnect = {});

// The peer's port of a connected socket, or -1. Any thread.
[[nodiscard]] int TcpPeerPort(int socket);

// The local address a connected socket was reached at, as AddressText
// shows it; empty for a socket that is not IPv4 or IPv6. Any thread.
[[nodiscard]] std::string LocalAddressText(int socket);

// A numeric IPv4 or IPv6 address as AddressText would show it, so that two
// spellings of one address compare equal; empty when text is not one.
// Any thread.
[[nodiscard]] std::string CanonicalAddressText(const std::string& text);

// Accepts one connection, blocking. Writes the peer's address (AddressText)
// to address. Returns the new socket (with TCP_NODELAY) or kNoSocket when the
// accept fails, which is how a closed listener ends its waiting thread.
// Interrupted calls are retried. Any thread.
[[nodiscard]] int TcpAccept(int listener, std::string& address);

// The first pause after an accept failed for lack of descriptors or memory,
// and the longest one: each retry that fails again doubles it.
inline constexpr std::chrono::milliseconds kAcceptBackoffFirst{100};
inline constexpr std::chrono::milliseconds kAcceptBackoffMax{1000};

// One listener's spell of accepts failing for lack of descriptors or memory,
// shared by every thread waiting on that listener: however many of them
// meet the spell, it is told once as it starts and once as it ends. Any
// thread.
class AcceptSpell {
 public:
  // report(error) tells the start of a spell (error is the errno) and
  // report(0) its end. It is called under the spell's lock, so it may only
  // queue the news.
  explicit AcceptSpell(std::function<void(int error)> report) : report_(std::move(report)) {}

  // Taken before each try and handed to Failed when the try fails.
  [[nodiscard]] std::uint64_t BeforeTry() const { return accepted_.load(); }
  void Failed(int error, std::uint64_t beforeTry) EXCLUDES(mutex_);
  void Accepted() EXCLUDES(mutex_);
  // Pauses taken so far: every failed try is followed by one. Any thread.
  [[nodiscard]] std::uint64_t Backoffs() const { return backoffs_.load(std::memory_order_relaxed); }

 private:
  const std::function<void(int error)> report_;
  // Held while the state changes and is told, so that the desk hears of a
  // start and an end met by two threads at once in the order they happened.
  base::Mutex mutex_;
  bool failing_ GUARDED_BY(mutex_) = false;
  // Connections accepted so far; written under mutex_. A failure whose try
  // began before another thread's accept is stale and not told, or it
  // would be the last word while the listener accepts again.
  std::atomic<std::uint64_t> accepted_{0};
  std::atomic<std::uint64_t> backoffs_{0};
};

// Accepts like TcpAccept on listener(), asked again before every try. An
// accept that fails for lack of descriptors or memory (EMFILE, ENFILE,
// ENOBUFS, ENOMEM) is passing: it is retried after a pause for as long as
// the listener is open, and shutting the listener down ends the pause at
// once. Every such failure and every accepted connection is told to spell,
// which the threads accepting on the same listener share. Returns kNoSocket
// only when the listener is closed or fails otherwise. Any thread.
[[nodiscard]] int TcpAcceptRetrying(const std::function<int()>& listener, std::string& address,
                                    AcceptSpell& spell);

// Closes the socket if it is one. Always returns kNoSocket. Owning thread only.
int TcpClose(int socket);

// Shuts both directions down, waking a thread blocked in receive on it.
// Any thread; the socket stays open until its owner closes it.
void TcpShutdown(int socket);

// Makes a blocking receive on the socket give up after ms milliseconds (0:
// never), which LineReader reports as kTimedOut: a wait with a timeout at
// the cost of the receive alone. false when the socket refuses it.
// Owning thread only.
[[nodiscard]] bool TcpSetReceiveTimeout(int socket, int ms);

// Sends all bytes, blocking; returns false on failure. Never raises SIGPIPE.
// Any thread that owns the socket's sending side.
[[nodiscard]] bool TcpSend(int socket, std::string_view bytes);

// Sends the text followed by CR LF in one call. Same contract as TcpSend.
[[nodiscard]] bool TcpSendLine(int socket, std::string_view text);

// Buffered reader for one socket. Framing: a line ends only at CR LF; the
// limit counts the CR LF; an overlong line, a close or an error mid-line
// gives -1 and the partial line is lost; a lone CR or LF stays in the line.
class LineReader {
 public:
  // capacity is the longest line it will ever be asked for (at most 4096);
  // an IRC connection needs 512, so an idle connection holds little.
  explicit LineReader(int socket, std::size_t capacity = kMaxLineLimit);
  // The same over the caller's storage (at least 2 bytes), which must
  // outlive the reader: a connection thread keeps it on its
  // stack, in a page it touches anyway, rather than on the heap for as long as it idles.
  LineReader(int socket, std::span<char> storage);
  // The same over a TLS session on the socket: lines are read from what
  // the session opens of the ciphertext received. wantsToSend is called
  // when the session has bytes of its own to send (an answer to the
  // peer's key update, an alert); this thread holds no lock then.
  LineReader(int socket, std::span<char> storage, TlsStream& tls,
             std::function<void()> wantsToSend);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads one line into line (without CR LF). Returns its length (0 for an
  // empty line), -1 when the connection closed, failed or sent an overlong
  // line, or kTimedOut. limit is taken as at most the capacity. timeoutMs < 0
  // waits for ever (or for the socket's receive timeout); otherwise a line
  // not complete within the time gives kTimedOut, keeping what has arrived
  // of it for the next call.
  // Owning thread only.
  static constexpr int kTimedOut = -2;
  [[nodiscard]] int ReceiveLine(std::string& line, std::size_t limit, int timeoutMs = -1);

  // ReceiveLine for a line that may start with a tag part ('@' up to the
  // first space): that part may take up to tagLimit bytes (its space
  // included) beside the limit of the rest, all within kMaxTaggedLineLimit.
  // A tag part longer than that gives kTagsTooLong, and the line is skipped
  // up to its CR LF by the next calls. A line longer than the capacity is
  // read into a heap buffer, given up again once what is left fits the
  // capacity: an idle connection holds no more than before. Owning thread
  // only.
  static constexpr int kTagsTooLong = -3;
  [[nodiscard]] int ReceiveTaggedLine(std::string& line, std::size_t tagLimit, std::size_t limit,
                                      int timeoutMs = -1);

  // true when bytes already received wait to be read, TLS records not yet
  // opened included. Owning thread only.
  [[nodiscard]] bool HasBuffered() const { return end_ > begin_ || tlsHeld_; }

  // true when the next ReceiveLine returns without reading from the socket:
  // a whole line, or one already too long for the capacity, is buffered.
  // Owning thread only.
  [[nodiscard]] bool HasLine() const;

 private:
  enum class FillResult { Filled, TimedOut, Ended };
  // Refills the buffer.
  [[nodiscard]] FillResult Fill(int timeoutMs);
  // Waits up to timeoutMs (< 0: the socket's own receive timeout) and
  // receives into to; the received count, 0 at the end of the connection,
  // or -1 when the time ran out.
  [[nodiscard]] ssize_t Receive(char* to, std::size_t size, int timeoutMs);
  // Fill over the TLS session: plaintext it already holds first, else
  // ciphertext from the socket. Filled also when a received part of a
  // record opened nothing yet, so the caller's deadline is looked at.
  [[nodiscard]] FillResult FillTls(int timeoutMs);
  // Fill until the deadline (no deadline when timeoutMs < 0): 0 when bytes
  // came, kTimedOut, or -1 when the connection ended (the buffer emptied).
  [[nodiscard]] int FillUntil(std::chrono::steady_clock::time_point deadline, int timeoutMs);
  // Moves what is held into a heap buffer of kMaxTaggedLineLimit, or back
  // into the reader's own storage once it fits there again.
  void Grow();
  void Shrink();

  int socket_;
  std::size_t capacity_;
  std::unique_ptr<char[]> owned_;  // empty over the caller's storage
  char* buffer_;
  char* home_;  // the reader's own storage, of homeCapacity_ bytes
  std::size_t homeCapacity_;
  std::unique_ptr<char[]> grown_;  // while a long tagged line is read
  std::size_t begin_ = 0;          // first unread byte
  std::size_t end_ = 0;            // one past the last received byte
  bool skipping_ = false;          // dropping a line with too long a tag part
  TlsStream* tls_ = nullptr;       // the session the socket carries, if any
  std::function<void()> wantsToSend_;
  bool tlsHeld_ = false;   // the session holds received bytes not yet in buffer_
  bool tlsMore_ = false;   // it can open more of them without receiving
  bool tlsEnded_ = false;  // the session has ended; what it opened is all there is
};

}  // namespace zelkord::net
