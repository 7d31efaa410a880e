// Fuzzes the socket line reader's framing: the input's bytes travel through
// a real socket pair into net::LineReader, and the lines it returns must
// be exactly those a reader taking one byte at a time would frame: a line
// ends only at CR LF, the limit counts the CR LF, and an overlong line or
// the end of the stream gives -1. A writer thread can hand the bytes over in
// chunks, each sent only once the previous one was read, so every split of
// a line (a CR at the end of one chunk, its LF in the next) is reached. The
// reader's capacity and the limit asked for vary with the input too. Where
// the reader says a line is already held, it is asked for it without any
// time to wait. With another flag the reader is asked for lines that may
// start with a tag part, which has a limit of its own: a line whose tag
// part runs past it is reported and skipped, and reading goes on.
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz_check.h"
#include "net/tcp.h"

namespace zelkord::fuzz {
namespace {

// Limits around the interesting edges: below the minimum, the IRC and web
// limits, and the buffer size.
constexpr std::array<std::size_t, 20> kLimits = {
    0, 1, 2, 3, 4, 5, 8, 16, 64, 511, 512, 513, 1023, 1024, 1025, 4094, 4095, 4096, 4097, 100000};
constexpr std::size_t kHeaderBytes = 4;
// More than a socket pair buffers would block the single-threaded mode.
constexpr std::size_t kMaxStreamBytes = 64 * 1024;
// Reader capacities: the default, the IRC and web sizes, and the clamps.
constexpr std::array<std::size_t, 8> kCapacities = {
    net::kMaxLineLimit, 512, 1024, 0, 2, 3, 100, 5000};
constexpr int kTimeoutMs = 5000;
constexpr std::uint8_t kUseTimeout = 1;
constexpr std::uint8_t kChunked = 2;
constexpr int kCapacityShift = 2;  // flag bits 2-4 pick the capacity
constexpr std::uint8_t kTagged = 32;
constexpr std::array<std::size_t, 10> kTagLimits = {0, 1, 2, 3, 8, 100, 511, 4095, 4096, 8191};

// One ReceiveLine result: the line, or failure.
struct Framed {
  bool ok;
  std::string line;
  bool operator==(const Framed&) const = default;
};

// The framing as the one-byte-at-a-time reader defines it, for a reader of
// the given capacity; stops at the first failure, as the reader's owner does.
std::vector<Framed> ReferenceFraming(std::string_view stream, std::size_t limit,
                                     std::size_t capacity) {
  capacity = std::clamp<std::size_t>(capacity, 2, net::kMaxLineLimit);
  if (limit > capacity) limit = capacity;
  if (limit < 2) limit = 2;
  std::vector<Framed> result;
  std::string held;
  for (char byte : stream) {
    held.push_back(byte);
    const std::size_t n = held.size();
    if (n >= 2 && held[n - 2] == '\r' && held[n - 1] == '\n') {
      result.push_back({true, held.substr(0, n - 2)});
      held.clear();
    } else if (n == limit) {
      result.push_back({false, {}});
      return result;
    }
  }
  result.push_back({false, {}});
  return result;
}

// The same for tagged lines: a line starting with '@' may run to the rest's
// limit past the first space among its first tagLimit bytes; without such a
// space, a line reaching tagLimit bytes is reported ({false, "tags"}) and
// dropped up to its CR LF.
std::vector<Framed> TaggedFraming(std::string_view stream, std::size_t tagLimit,
                                  std::size_t limit) {
  std::vector<Framed> result;
  std::string held;
  bool skipping = false;
  for (char byte : stream) {
    held.push_back(byte);
    const std::size_t n = held.size();
    const bool ended = n >= 2 && held[n - 2] == '\r' && held[n - 1] == '\n';
    if (skipping) {
      if (ended) {
        skipping = false;
        held.clear();
      } else {
        held.erase(0, n - 1);
      }
      continue;
    }
    if (ended) {
      result.push_back({true, held.substr(0, n - 2)});
      held.clear();
      continue;
    }
    std::size_t lineLimit = limit;
    bool tagsOpen = false;
    if (held[0] == '@') {
      const std::size_t space = held.find(' ');
      tagsOpen = space == std::string::npos || space >= tagLimit;
      lineLimit = tagsOpen ? tagLimit : space + 1 + limit;
    }
    // The reader grows for a long line, whatever its capacity.
    lineLimit = std::min(std::max<std::size_t>(lineLimit, 2), net::kMaxTaggedLineLimit);
    if (n < lineLimit) continue;
    if (!tagsOpen) {
      result.push_back({false, {}});
      return result;
    }
    result.push_back({false, "tags"});
    skipping = true;
    held.erase(0, n - 1);
  }
  result.push_back({false, {}});
  return result;
}

// Chunk sizes from a small generator seeded by the input, 1 to maxChunk bytes.
std::vector<std::size_t> ChunkSizes(std::size_t total, std::uint8_t seed, std::uint8_t spread) {
  std::vector<std::size_t> sizes;
  std::uint32_t state = seed * 2654435761u + 1;
  const std::size_t maxChunk = 1 + spread;
  while (total > 0) {
    state = state * 1103515245u + 12345u;
    std::size_t size = 1 + (state >> 16) % maxChunk;
    if (size > total) size = total;
    sizes.push_back(size);
    total -= size;
  }
  return sizes;
}

void WriteAll(int socket, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

// Sends each chunk once the reader has taken everything before it.
void WriteChunks(int writer, int reader, std::string_view stream,
                 const std::vector<std::size_t>& sizes, const std::atomic<bool>& done) {
  for (std::size_t size : sizes) {
    for (;;) {
      int unread = 0;
      if (done.load() || ioctl(reader, FIONREAD, &unread) != 0 || unread == 0) break;
      sched_yield();
    }
    if (done.load()) break;
    WriteAll(writer, stream.substr(0, size));
    stream.remove_prefix(size);
  }
  shutdown(writer, SHUT_WR);
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelkord;
  if (size < fuzz::kHeaderBytes || size - fuzz::kHeaderBytes > fuzz::kMaxStreamBytes) return 0;
  const std::size_t limit = fuzz::kLimits[data[0] % fuzz::kLimits.size()];
  const std::uint8_t flags = data[1];
  const std::size_t capacity =
      fuzz::kCapacities[(flags >> fuzz::kCapacityShift) % fuzz::kCapacities.size()];
  const std::string_view stream(reinterpret_cast<const char*>(data) + fuzz::kHeaderBytes,
                                size - fuzz::kHeaderBytes);
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;

  std::atomic<bool> done{false};
  std::thread writer;
  if ((flags & fuzz::kChunked) != 0) {
    writer = std::thread(fuzz::WriteChunks, pair[1], pair[0], stream,
                         fuzz::ChunkSizes(stream.size(), data[2], data[3]), std::cref(done));
  } else {
    fuzz::WriteAll(pair[1], stream);
    shutdown(pair[1], SHUT_WR);
  }

  const bool tagged = (flags & fuzz::kTagged) != 0;
  const std::size_t tagLimit = fuzz::kTagLimits[data[2] % fuzz::kTagLimits.size()];
  const std::vector<fuzz::Framed> expected = tagged
                                                 ? fuzz::TaggedFraming(stream, tagLimit, limit)
                                                 : fuzz::ReferenceFraming(stream, limit, capacity);
  std::vector<fuzz::Framed> got;
  net::LineReader reader(pair[0], capacity);
  const int timeout = (flags & fuzz::kUseTimeout) != 0 ? fuzz::kTimeoutMs : -1;
  for (;;) {
    std::string line = "stale";
    // A reader that says it holds a line must give it (or its failure)
    // without waiting for the socket at all.
    const bool held = reader.HasLine();
    const int wait = held ? 0 : timeout;
    const int length = tagged ? reader.ReceiveTaggedLine(line, tagLimit, limit, wait)
                              : reader.ReceiveLine(line, limit, wait);
    ZELKORD_FUZZ_CHECK(!held || length != net::LineReader::kTimedOut);
    if (length == net::LineReader::kTagsTooLong) {
      got.push_back({false, "tags"});
      if (got.size() > expected.size()) break;
      continue;
    }
    if (length < 0) {
      got.push_back({false, {}});
      break;
    }
    ZELKORD_FUZZ_CHECK(static_cast<std::size_t>(length) == line.size());
    got.push_back({true, line});
    if (got.size() > expected.size()) break;
  }
  done = true;
  if (writer.joinable()) writer.join();
  close(pair[0]);
  close(pair[1]);
  ZELKORD_FUZZ_CHECK(got == expected);
  return 0;
}
