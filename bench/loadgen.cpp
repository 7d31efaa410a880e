// zelkord-loadgen: a single-threaded epoll load generator for IRC servers.
// It opens many TCP clients (plain, or TLS with --tls) on one thread,
// registers them, and runs one workload: A (a channel at a steady rate), B (a
// channel flooded as fast as a window of undelivered lines allows), C (many
// idle connections) or D (a community: many clients in channels of very
// different sizes, talking in them and privately at a fixed total rate). It
// measures what the clients see (throughput, latency, loss and order, from
// the probe text every line carries) and, given the server's process id,
// what the server spent (CPU time, resident memory). It prints a readable
// summary and one "RESULT key=value ..." line for scripts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "community.h"
#include "delivery_book.h"
#include "irc_line.h"
#include "latency_histogram.h"
#include "proc_stats.h"

namespace zelkord::bench {

namespace {

constexpr int kDefaultPort = 6667;
constexpr int kDefaultChannelClients = 64;
constexpr int kDefaultIdleClients = 1000;
constexpr int kDefaultCommunityClients = 1000;
constexpr double kDefaultSecondsD = 10;
constexpr double kDefaultTotalRate = 2000;
// Every peer daemon lets a client into this many channels with its stock
// settings, and it leaves room for the Zipf sizes (3 a client on average at
// 1,000 clients, under 5 at 19,000).
constexpr int kDefaultMaxChannels = 10;
constexpr int kMaxChannelsPerClient = 100;
constexpr std::uint64_t kDefaultSeed = 1;
constexpr std::uint64_t kSettleQuietNs = 1'000'000'000;
constexpr int kMaxSourceAddresses = 65534;
constexpr int kPickTries = 1000;
constexpr int kDefaultInFlightD = 100;
// Connections not yet registered at once in D: some daemons listen with a
// backlog of 10, and a SYN beyond it waits 1, 3, 7... seconds to be resent.
constexpr int kDefaultConnectWindow = 10;
constexpr double kDefaultSecondsA = 20;
constexpr double kDefaultSecondsB = 10;
constexpr double kDefaultSecondsC = 10;
constexpr double kDefaultRate = 10;
constexpr int kDefaultWindow = 32;
constexpr int kDefaultBatch = 50;
constexpr double kDefaultSetupTimeout = 60;
constexpr double kDefaultDrainSeconds = 3;
constexpr double kDrainCapSeconds = 30;
constexpr double kQuitGraceSeconds = 2;
constexpr double kMaxSeconds = 3600;
constexpr double kMaxRate = 100000;
// Past the 28,000 or so ephemeral ports of one source address only with
// --source-addresses, and past one process's descriptor limit not at all.
constexpr int kMaxClients = 1'000'000;
// A and B keep two counters for every sender/receiver pair.
constexpr int kMaxPairClients = 20000;
constexpr int kMaxWindow = 100000;
constexpr std::size_t kMaxPadding = 400;
constexpr int kEpollBatch = 256;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kNickRetries = 3;
constexpr int kSetupPollMs = 20;
constexpr int kIdlePollMs = 100;
constexpr int kFloodPollMs = 100;
constexpr int kDrainPollMs = 10;
constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
constexpr std::uint64_t kNsPerMs = 1'000'000;
constexpr std::uint64_t kStartDelayNs = 10 * kNsPerMs;

constexpr const char* kUsage =
    "usage: zelkord-loadgen --workload A|B|C|D [options]\n"
    "  --host ADDR           server address (default 127.0.0.1)\n"
    "  --port N              server port (default 6667)\n"
    "  --server-pid PID      server process, for CPU time and memory (optional)\n"
    "  --workload A|B|C|D    A: clients in one channel, each sending --rate lines/s\n"
    "                        B: clients in one channel, each sending as fast as a window\n"
    "                           of --window undelivered lines allows\n"
    "                        C: clients connecting --batch at a time, then idle\n"
    "                        D: clients in channels #<channel>1..K, K = N/4, channel k\n"
    "                           with max(2, round(N/2/k)) members drawn with --seed;\n"
    "                           --rate lines/s in all, half from a random client to one\n"
    "                           of its channels, half to a random other client\n"
    "  --clients N           clients (default 64 for A and B, 1000 for C and D)\n"
    "  --seconds S           sending time for A (20), B (10) and D (10), idle time for C (10)\n"
    "  --rate R              A: lines per second per client (default 10)\n"
    "                        D: lines per second in all (default 2000)\n"
    "  --max-channels N      D: channels one client joins at most (default 10)\n"
    "  --seed N              D: the seed of the channel members and the talk (default 1)\n"
    "  --source-addresses K  bind client i to 127.0.0.(1 + i mod K), so that more than\n"
    "                        one address's ephemeral ports are used (default: no bind)\n"
    "  --window W            B: undelivered lines allowed per sender (default 32)\n"
    "  --batch N             connections opened and registered at a time (default 50);\n"
    "                        D: clients registering and joining at once (default 100)\n"
    "  --connect-window N    D: of those, connecting or registering at once (default 10,\n"
    "                        for a listen backlog of 10; more for a slow registration)\n"
    "  --channel NAME        channel for A and B, name prefix for D (default #bench)\n"
    "  --label TEXT          name of the server in the output (default server)\n"
    "  --nick-prefix TEXT    nick prefix, letters (default: two random letters)\n"
    "  --setup-line LINE     line sent after registration, before JOIN (repeatable;\n"
    "                        %n stands for the client's nick)\n"
    "  --padding N           extra bytes in each message text (default 0)\n"
    "  --setup-timeout S     limit for each batch to register and join (default 60);\n"
    "                        D: for any client to finish, and for the joins to settle\n"
    "  --drain-seconds S     wait this long after the last arrival for missing lines (3)\n"
    "  --tls                 every client speaks TLS (certificate not checked)\n"
    "  --ping-at S           C: every client sends one PING this far into the idle time,\n"
    "                        to weigh a server's round trips against another's sweep\n"
    "  --reconnect           C: after the idle time every client drops its connection at\n"
    "                        once and connects and registers again, --batch at a time\n";

std::uint64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * kNsPerSecond +
         static_cast<std::uint64_t>(now.tv_nsec);
}

double SelfCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(std::uint64_t ns) {
  return static_cast<double>(ns) / 1e9;
}
double Ms(std::uint64_t ns) {
  return static_cast<double>(ns) / 1e6;
}

struct Options {
  std::string host = "127.0.0.1";
  int port = kDefaultPort;
  pid_t serverPid = 0;
  char workload = 0;
  int clients = 0;
  double seconds = 0;
  double rate = 0;  // 0: the workload's default
  int window = kDefaultWindow;
  int batch = 0;  // 0: the workload's default
  std::string channel = "#bench";
  std::string label = "server";
  std::string nickPrefix;
  std::vector<std::string> setupLines;
  std::size_t padding = 0;
  double setupTimeout = kDefaultSetupTimeout;
  double drainSeconds = kDefaultDrainSeconds;
  bool tls = false;
  double pingAt = -1;      // C: seconds into the idle time; < 0: never
  bool reconnect = false;  // C: after the idle time, every client drops and comes back
  int maxChannels = kDefaultMaxChannels;
  std::uint64_t seed = kDefaultSeed;
  int sourceAddresses = 0;
  int connectWindow = kDefaultConnectWindow;
};

bool ParseDouble(const char* text, double low, double high, double& value) {
  char* end = nullptr;
  const double parsed = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(parsed >= low && parsed <= high)) return false;
  value = parsed;
  return true;
}

bool ParseInt(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

// false (after saying why) when the command line is not understood.
bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (arg == "--tls") {
      options.tls = true;
      continue;
    }
    if (arg == "--reconnect") {
      options.reconnect = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "zelkord-loadgen: '%s' needs a value\n%s", argv[i], kUsage);
      return false;
    }
    const char* value = argv[++i];
    long number = 0;
    bool good = true;
    if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port") {
      good = ParseInt(value, 1, 65535, number);
      options.port = static_cast<int>(number);
    } else if (arg == "--server-pid") {
      good = ParseInt(value, 1, INT32_MAX, number);
      options.serverPid = static_cast<pid_t>(number);
    } else if (arg == "--workload") {
      const std::string_view name = value;
      good = name == "A" || name == "B" || name == "C" || name == "D";
      if (good) options.workload = name[0];
    } else if (arg == "--clients") {
      good = ParseInt(value, 1, kMaxClients, number);
      options.clients = static_cast<int>(number);
    } else if (arg == "--seconds") {
      good = ParseDouble(value, 0.1, kMaxSeconds, options.seconds);
    } else if (arg == "--rate") {
      good = ParseDouble(value, 0.01, kMaxRate, options.rate);
    } else if (arg == "--window") {
      good = ParseInt(value, 1, kMaxWindow, number);
      options.window = static_cast<int>(number);
    } else if (arg == "--batch") {
      good = ParseInt(value, 1, kMaxClients, number);
      options.batch = static_cast<int>(number);
    } else if (arg == "--channel") {
      options.channel = value;
      good = !options.channel.empty() && options.channel.find(' ') == std::string::npos;
    } else if (arg == "--label") {
      options.label = value;
      good = !options.label.empty() && options.label.find(' ') == std::string::npos;
    } else if (arg == "--nick-prefix") {
      options.nickPrefix = value;
      good = !options.nickPrefix.empty() &&
             std::all_of(options.nickPrefix.begin(), options.nickPrefix.end(),
                         [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
    } else if (arg == "--setup-line") {
      options.setupLines.emplace_back(value);
    } else if (arg == "--padding") {
      good = ParseInt(value, 0, static_cast<long>(kMaxPadding), number);
      options.padding = static_cast<std::size_t>(number);
    } else if (arg == "--setup-timeout") {
      good = ParseDouble(value, 1, kMaxSeconds, options.setupTimeout);
    } else if (arg == "--max-channels") {
      good = ParseInt(value, 1, kMaxChannelsPerClient, number);
      options.maxChannels = static_cast<int>(number);
    } else if (arg == "--seed") {
      good = ParseInt(value, 0, LONG_MAX, number);
      options.seed = static_cast<std::uint64_t>(number);
    } else if (arg == "--connect-window") {
      good = ParseInt(value, 1, kMaxClients, number);
      options.connectWindow = static_cast<int>(number);
    } else if (arg == "--source-addresses") {
      good = ParseInt(value, 1, kMaxSourceAddresses, number);
      options.sourceAddresses = static_cast<int>(number);
    } else if (arg == "--drain-seconds") {
      good = ParseDouble(value, 0.1, kDrainCapSeconds, options.drainSeconds);
    } else if (arg == "--ping-at") {
      good = ParseDouble(value, 0, kMaxSeconds, options.pingAt);
    } else {
      std::fprintf(stderr, "zelkord-loadgen: unknown option '%s'\n%s", argv[i - 1], kUsage);
      return false;
    }
    if (!good) {
      std::fprintf(stderr, "zelkord-loadgen: bad value '%s' for %s\n", value, argv[i - 1]);
      return false;
    }
  }
  if (options.workload == 0) {
    std::fprintf(stderr, "zelkord-loadgen: --workload is required\n%s", kUsage);
    return false;
  }
  const bool idle = options.workload == 'C';
  const bool community = options.workload == 'D';
  if (options.clients == 0) {
    options.clients = idle        ? kDefaultIdleClients
                      : community ? kDefaultCommunityClients
                                  : kDefaultChannelClients;
  }
  if (options.seconds == 0) {
    options.seconds = options.workload == 'A'   ? kDefaultSecondsA
                      : options.workload == 'B' ? kDefaultSecondsB
                      : options.workload == 'C' ? kDefaultSecondsC
                                                : kDefaultSecondsD;
  }
  if (options.rate == 0) options.rate = community ? kDefaultTotalRate : kDefaultRate;
  if (options.batch == 0) options.batch = community ? kDefaultInFlightD : kDefaultBatch;
  if ((options.workload == 'A' || options.workload == 'B') && options.clients > kMaxPairClients) {
    std::fprintf(stderr, "zelkord-loadgen: workloads A and B take at most %d clients\n",
                 kMaxPairClients);
    return false;
  }
  if (!idle && options.clients < 2) {
    std::fprintf(stderr, "zelkord-loadgen: workloads A, B and D need at least 2 clients\n");
    return false;
  }
  if (options.nickPrefix.empty()) {
    const auto seed = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(NowNs() >> 10);
    options.nickPrefix = {static_cast<char>('a' + seed % 26),
                          static_cast<char>('a' + seed / 26 % 26)};
  }
  return true;
}

enum class ClientState { kIdle, kConnecting, kRegistering, kJoining, kReady, kClosed };

struct Client {
  int fd = -1;
  int id = 0;
  ClientState state = ClientState::kIdle;
  std::string nick;
  int nickRetries = 0;
  bool wantWrite = false;
  bool quitting = false;
  std::string out;
  std::size_t outOffset = 0;
  std::string partial;
  std::uint64_t nextDueNs = 0;
  std::uint64_t sentLines = 0;
  SSL* ssl = nullptr;
  bool handshaking = false;
  bool writeWantsRead = false;  // the TLS session must read before it can write on
  int pendingJoins = 0;         // D: channels joined but not yet confirmed
};

class LoadGenerator {
 public:
  explicit LoadGenerator(Options options) : options_(std::move(options)) {}
  ~LoadGenerator();
  LoadGenerator(const LoadGenerator&) = delete;
  LoadGenerator& operator=(const LoadGenerator&) = delete;

  // Runs the chosen workload and prints its results. Returns the exit
  // status: 0 when the workload ran, 1 when it could not be set up.
  int Run();

 private:
  bool Open(Client& client);
  bool SetUp(bool join);
  bool SetUpPipelined();
  void Pump(int timeoutMs);
  void OnEvent(Client& client, std::uint32_t events);
  void OnConnected(Client& client);
  void OnReadable(Client& client);
  void OnTlsReadable(Client& client);
  void OnChunk(Client& client, std::string_view chunk, std::uint64_t nowNs);
  bool StartTls(Client& client);
  void Handshake(Client& client);
  void FlushTls(Client& client);
  void TlsFailed(Client& client, int result, std::string_view what);
  void OnLine(Client& client, std::string_view line, std::uint64_t nowNs);
  void Queue(Client& client, std::string_view text);
  void Flush(Client& client);
  void SetWriteInterest(Client& client, bool want);
  void Close(Client& client, bool expected, std::string_view reason);
  void Drain();
  void QuitAll();
  int RunChannel();
  int RunIdle();
  // C's --reconnect: every client drops its connection at once, then all
  // connect and register again as at the start. How long until the last
  // was registered, and how many were.
  std::pair<double, int> Reconnect();
  int RunCommunity();
  // What a sending run (A, B, D) comes to once drained: rate, latency and
  // the server's CPU per delivered copy.
  struct Figures {
    double spanSeconds = 0;
    double linesPerSecond = 0;
    double p50 = 0;
    double p99 = 0;
    double maxMs = 0;
    bool haveCpu = false;
    double serverCpu = 0;
    double cpuUsPerLine = 0;  // also CPU-s per million lines
  };
  [[nodiscard]] Figures Summarise(std::uint64_t delivered, std::uint64_t sendEndNs,
                                  const std::optional<double>& cpuBefore,
                                  const std::optional<double>& cpuAfter) const;
  // The throughput and latency lines of the report.
  static void PrintRate(const Figures& figures);
  void SendCommunityLine(bool toChannel, SplitMix64& pick, std::vector<int>& touched);
  void Settle();
  [[nodiscard]] std::uint64_t Pending() const;
  void PrintNotes() const;
  bool MakeTlsContext();
  [[nodiscard]] std::optional<double> ServerCpu() const;
  [[nodiscard]] int LiveClients() const;
  [[nodiscard]] int ErrorReplies() const;
  [[nodiscard]] long ReadProcessNumber(std::optional<long> (*reader)(pid_t)) const;

  Options options_;
  int epoll_ = -1;
  SSL_CTX* tls_ = nullptr;
  sockaddr_in address_{};
  std::vector<Client> clients_;
  std::unique_ptr<DeliveryBook> book_;
  std::unique_ptr<FanoutBook> fanout_;
  std::vector<std::string> channelNames_;
  std::vector<std::vector<int>> channelsOf_;
  std::uint64_t lastReadNs_ = 0;
  LatencyHistogram latency_;
  std::vector<char> readBuffer_ = std::vector<char>(kReadChunk);
  bool measuring_ = false;
  std::uint64_t firstSendNs_ = 0;
  std::uint64_t lastArrivalNs_ = 0;
  std::uint64_t setupStartNs_ = 0;
  std::uint64_t lastRegisteredNs_ = 0;
  int registered_ = 0;
  int joined_ = 0;
  int unexpectedCloses_ = 0;
  int closesWhileMeasuring_ = 0;
  // Idle time: pings the server sent and the pongs it answered ours with.
  int pingsAnswered_ = 0;
  int pongsReceived_ = 0;
  std::map<int, int> errorReplies_;
  std::map<std::string, int> closeReasons_;
};

LoadGenerator::~LoadGenerator() {
  for (Client& client : clients_) {
    if (client.ssl != nullptr) SSL_free(client.ssl);
    if (client.fd >= 0) close(client.fd);
  }
  if (epoll_ >= 0) close(epoll_);
  if (tls_ != nullptr) SSL_CTX_free(tls_);
}

std::optional<double> LoadGenerator::ServerCpu() const {
  if (options_.serverPid == 0) return std::nullopt;
  return ReadCpuSeconds(options_.serverPid);
}

int LoadGenerator::LiveClients() const {
  return static_cast<int>(std::count_if(clients_.begin(), clients_.end(), [](const Client& c) {
    return c.state != ClientState::kClosed && c.state != ClientState::kIdle;
  }));
}

// A /proc number of the server, or -1 when there is none to read.
long LoadGenerator::ReadProcessNumber(std::optional<long> (*reader)(pid_t)) const {
  if (options_.serverPid == 0) return -1;
  const std::optional<long> value = reader(options_.serverPid);
  return value ? *value : -1;
}

int LoadGenerator::ErrorReplies() const {
  int total = 0;
  for (const auto& [code, times] : errorReplies_) total += times;
  return total;
}

bool LoadGenerator::MakeTlsContext() {
  tls_ = SSL_CTX_new(TLS_client_method());
  if (tls_ == nullptr) {
    std::fprintf(stderr, "zelkord-loadgen: no TLS context\n");
    return false;
  }
  // A loopback bench: the server's certificate is made for the run and not
  // checked. Every connection does a full handshake, as a first one would.
  SSL_CTX_set_verify(tls_, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
  SSL_CTX_set_session_cache_mode(tls_, SSL_SESS_CACHE_OFF);
  // The output buffer grows while a write waits, and a write may go out in
  // parts; an end of stream without close_notify reads as a plain close.
  SSL_CTX_set_mode(tls_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_options(tls_, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_read_ahead(tls_, 1);
  SSL_CTX_set_default_read_buffer_len(tls_, kReadChunk);
  return true;
}

bool LoadGenerator::Open(Client& client) {
  client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (client.fd < 0) {
    Close(client, false, std::string("socket: ") + std::strerror(errno));
    return false;
  }
  // Small lines must leave at once, or the latency measured is ours.
  const int one = 1;
  (void)setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (options_.sourceAddresses > 0) {
    // The port is chosen at connect, per destination, so each address has
    // the whole ephemeral range.
    (void)setsockopt(client.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr =
        htonl(INADDR_LOOPBACK + static_cast<std::uint32_t>(client.id % options_.sourceAddresses));
    if (bind(client.fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) < 0) {
      Close(client, false, std::string("bind: ") + std::strerror(errno));
      return false;
    }
  }
  client.state = ClientState::kConnecting;
  if (connect(client.fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) < 0 &&
      errno != EINPROGRESS) {
    Close(client, false, std::string("connect: ") + std::strerror(errno));
    return false;
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
  event.data.u32 = static_cast<std::uint32_t>(client.id);
  client.wantWrite = true;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, client.fd, &event) < 0) {
    Close(client, false, std::string("epoll_ctl: ") + std::strerror(errno));
    return false;
  }
  return true;
}

void LoadGenerator::SetWriteInterest(Client& client, bool want) {
  if (client.wantWrite == want || client.fd < 0) return;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP | (want ? EPOLLOUT : 0u);
  event.data.u32 = static_cast<std::uint32_t>(client.id);
  if (epoll_ctl(epoll_, EPOLL_CTL_MOD, client.fd, &event) == 0) client.wantWrite = want;
}

void LoadGenerator::Close(Client& client, bool expected, std::string_view reason) {
  if (client.state == ClientState::kClosed) return;
  if (client.ssl != nullptr) SSL_free(client.ssl);  // no close_notify: the socket goes now
  client.ssl = nullptr;
  if (client.fd >= 0) close(client.fd);
  client.fd = -1;
  client.state = ClientState::kClosed;
  client.out.clear();
  client.outOffset = 0;
  if (!expected) {
    ++unexpectedCloses_;
    if (measuring_) ++closesWhileMeasuring_;
    ++closeReasons_[std::string(reason)];
  }
  if (book_) book_->DropMember(client.id);
  if (fanout_) fanout_->DropMember(client.id);
}

void LoadGenerator::Queue(Client& client, std::string_view text) {
  if (client.state == ClientState::kClosed) return;
  client.out.append(text);
}

void LoadGenerator::Flush(Client& client) {
  if (client.ssl != nullptr) {
    FlushTls(client);
    return;
  }
  while (client.state != ClientState::kClosed && client.state != ClientState::kConnecting &&
         client.outOffset < client.out.size()) {
    const ssize_t written = send(client.fd, client.out.data() + client.outOffset,
                                 client.out.size() - client.outOffset, MSG_NOSIGNAL);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        SetWriteInterest(client, true);
        return;
      }
      Close(client, client.quitting, std::string("send: ") + std::strerror(errno));
      return;
    }
    client.outOffset += static_cast<std::size_t>(written);
  }
  if (client.state == ClientState::kClosed || client.state == ClientState::kConnecting) return;
  client.out.clear();
  client.outOffset = 0;
  SetWriteInterest(client, false);
}

void LoadGenerator::OnConnected(Client& client) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
  if (error != 0) {
    Close(client, false, std::string("connect: ") + std::strerror(error));
    return;
  }
  client.state = ClientState::kRegistering;
  const std::string register_ =
      "NICK " + client.nick + "\r\nUSER " + client.nick + " 0 * :zelkord-loadgen\r\n";
  // Anything queued before the connection completed goes after the login.
  client.out.insert(0, register_);
  if (options_.tls) {
    if (StartTls(client)) Handshake(client);
    return;
  }
  Flush(client);
}

void LoadGenerator::OnEvent(Client& client, std::uint32_t events) {
  if (client.state == ClientState::kClosed) return;
  if (client.state == ClientState::kConnecting) {
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
    OnConnected(client);
    if (client.state == ClientState::kClosed || client.handshaking) return;
  } else if (client.handshaking) {
    Handshake(client);
    return;
  } else if (events & EPOLLOUT) {
    Flush(client);
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) return;
  if (client.ssl == nullptr) {
    OnReadable(client);
    return;
  }
  if (client.writeWantsRead) Flush(client);
  OnTlsReadable(client);
}

void LoadGenerator::OnReadable(Client& client) {
  while (client.state != ClientState::kClosed) {
    const ssize_t got = recv(client.fd, readBuffer_.data(), readBuffer_.size(), 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      Close(client, client.quitting, std::string("recv: ") + std::strerror(errno));
      return;
    }
    if (got == 0) {
      Close(client, client.quitting, "closed by the server");
      return;
    }
    OnChunk(client, std::string_view(readBuffer_.data(), static_cast<std::size_t>(got)), NowNs());
    if (static_cast<std::size_t>(got) < readBuffer_.size()) return;
  }
}

// Splits what arrived into lines, carrying an unfinished one over.
void LoadGenerator::OnChunk(Client& client, std::string_view chunk, std::uint64_t nowNs) {
  lastReadNs_ = nowNs;
  if (!client.partial.empty()) {
    const auto newline = chunk.find('\n');
    if (newline == std::string_view::npos) {
      client.partial.append(chunk);
      return;
    }
    client.partial.append(chunk.substr(0, newline));
    chunk.remove_prefix(newline + 1);
    std::string line;
    line.swap(client.partial);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    OnLine(client, line, nowNs);
  }
  while (client.state != ClientState::kClosed) {
    const auto newline = chunk.find('\n');
    if (newline == std::string_view::npos) {
      client.partial.assign(chunk);
      break;
    }
    std::string_view line = chunk.substr(0, newline);
    chunk.remove_prefix(newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    OnLine(client, line, nowNs);
  }
}

// --- TLS ------------------------------------------------------------------
// The sessions run on the same loop as the plain sockets: every call may ask
// to wait for the socket to become readable or writable, and is repeated
// when it does.

bool LoadGenerator::StartTls(Client& client) {
  client.ssl = SSL_new(tls_);
  if (client.ssl == nullptr || SSL_set_fd(client.ssl, client.fd) != 1) {
    Close(client, false, "TLS: no session");
    return false;
  }
  SSL_set_connect_state(client.ssl);
  client.handshaking = true;
  return true;
}

void LoadGenerator::Handshake(Client& client) {
  ERR_clear_error();
  const int result = SSL_do_handshake(client.ssl);
  if (result == 1) {
    client.handshaking = false;
    Flush(client);  // the login queued at connect
    // Read-ahead may already hold the server's first lines, which epoll
    // would not announce again.
    OnTlsReadable(client);
    return;
  }
  const int error = SSL_get_error(client.ssl, result);
  if (error == SSL_ERROR_WANT_READ) {
    SetWriteInterest(client, false);
  } else if (error == SSL_ERROR_WANT_WRITE) {
    SetWriteInterest(client, true);
  } else {
    TlsFailed(client, error, "TLS handshake");
  }
}

void LoadGenerator::FlushTls(Client& client) {
  if (client.handshaking) return;  // the handshake sends the queue when it is done
  client.writeWantsRead = false;
  while (client.state != ClientState::kClosed && client.outOffset < client.out.size()) {
    ERR_clear_error();
    std::size_t written = 0;
    const int result = SSL_write_ex(client.ssl, client.out.data() + client.outOffset,
                                    client.out.size() - client.outOffset, &written);
    if (result == 1) {
      client.outOffset += written;
      continue;
    }
    const int error = SSL_get_error(client.ssl, result);
    if (error == SSL_ERROR_WANT_WRITE) {
      SetWriteInterest(client, true);
      return;
    }
    if (error == SSL_ERROR_WANT_READ) {
      client.writeWantsRead = true;
      return;
    }
    TlsFailed(client, error, "TLS write");
    return;
  }
  if (client.state == ClientState::kClosed) return;
  client.out.clear();
  client.outOffset = 0;
  SetWriteInterest(client, false);
}

// Reads until the session has nothing more: read-ahead lets one recv bring
// in many records, so a flooded client costs few system calls.
void LoadGenerator::OnTlsReadable(Client& client) {
  while (client.state != ClientState::kClosed && !client.handshaking) {
    ERR_clear_error();
    std::size_t got = 0;
    const int result = SSL_read_ex(client.ssl, readBuffer_.data(), readBuffer_.size(), &got);
    if (result == 1) {
      OnChunk(client, std::string_view(readBuffer_.data(), got), NowNs());
      continue;
    }
    const int error = SSL_get_error(client.ssl, result);
    if (error == SSL_ERROR_WANT_READ) return;
    if (error == SSL_ERROR_WANT_WRITE) {
      SetWriteInterest(client, true);
      return;
    }
    if (error == SSL_ERROR_ZERO_RETURN) {
      Close(client, client.quitting, "closed by the server");
      return;
    }
    TlsFailed(client, error, "TLS read");
    return;
  }
}

void LoadGenerator::TlsFailed(Client& client, int error, std::string_view what) {
  const int systemError = errno;
  std::string reason(what);
  const unsigned long code = ERR_get_error();
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    reason += ": ";
    reason += text;
  } else if (error == SSL_ERROR_SYSCALL && systemError != 0) {
    reason += ": ";
    reason += std::strerror(systemError);
  } else {
    reason += ": connection closed";
  }
  Close(client, client.quitting, reason);
}

void LoadGenerator::OnLine(Client& client, std::string_view line, std::uint64_t nowNs) {
  const ServerLine parsed = ClassifyLine(line);
  switch (parsed.kind) {
    case LineKind::kPrivmsg: {
      if (!measuring_ || (!book_ && !fanout_)) return;
      const auto probe = ParseProbe(parsed.text);
      if (!probe) return;
      const Arrival arrival =
          fanout_ ? fanout_->Record(client.id, static_cast<int>(probe->sender), probe->seq)
                  : book_->Record(client.id, static_cast<int>(probe->sender), probe->seq);
      if (arrival == Arrival::kStray) return;
      latency_.Add(nowNs > probe->sentNs ? nowNs - probe->sentNs : 0);
      lastArrivalNs_ = nowNs;
      return;
    }
    case LineKind::kPing: {
      if (measuring_) ++pingsAnswered_;
      std::string pong = "PONG ";
      pong.append(parsed.text);
      pong += "\r\n";
      Queue(client, pong);
      Flush(client);
      return;
    }
    case LineKind::kError:
      ++closeReasons_["ERROR " + std::string(parsed.text)];
      return;
    case LineKind::kNumeric:
      break;
    case LineKind::kOther:
      if (measuring_ && line.find(" PONG ") != std::string_view::npos) ++pongsReceived_;
      return;
  }
  const int code = parsed.numeric;
  if (code == 1 && client.state == ClientState::kRegistering) {
    ++registered_;
    lastRegisteredNs_ = nowNs;
    if (options_.workload == 'C') {
      client.state = ClientState::kReady;
      return;
    }
    for (const std::string& setup : options_.setupLines) {
      std::string text = setup;
      for (auto at = text.find("%n"); at != std::string::npos; at = text.find("%n", at)) {
        text.replace(at, 2, client.nick);
        at += client.nick.size();
      }
      Queue(client, text + "\r\n");
    }
    if (options_.workload == 'D') {
      // One JOIN a channel: some daemons cap the targets of one command.
      const std::vector<int>& channels = channelsOf_[static_cast<std::size_t>(client.id)];
      for (const int channel : channels) {
        Queue(client, "JOIN " + channelNames_[static_cast<std::size_t>(channel)] + "\r\n");
      }
      client.pendingJoins = static_cast<int>(channels.size());
    } else {
      Queue(client, "JOIN " + options_.channel + "\r\n");
      client.pendingJoins = 1;
    }
    client.state = client.pendingJoins > 0 ? ClientState::kJoining : ClientState::kReady;
    Flush(client);
    return;
  }
  if (code == 366 && client.state == ClientState::kJoining) {
    if (--client.pendingJoins > 0) return;
    ++joined_;
    client.state = ClientState::kReady;
    return;
  }
  // 422 only says there is no message of the day.
  if (code < 400 || code == 422) return;
  ++errorReplies_[code];
  if (client.state == ClientState::kRegistering && (code == 432 || code == 433 || code == 436)) {
    if (client.nickRetries++ >= kNickRetries) {
      Close(client, false, "nickname refused: " + std::string(line));
      return;
    }
    client.nick += '_';
    Queue(client, "NICK " + client.nick + "\r\n");
    Flush(client);
    return;
  }
  const bool joinRefused = code == 403 || code == 405 || code == 437 || code == 471 ||
                           code == 473 || code == 474 || code == 475 || code == 476 ||
                           code == 477 || code == 479;
  if (client.state == ClientState::kJoining && joinRefused) {
    Close(client, false, "JOIN refused: " + std::string(line));
  }
}

void LoadGenerator::Pump(int timeoutMs) {
  epoll_event events[kEpollBatch];
  const int count = epoll_wait(epoll_, events, kEpollBatch, timeoutMs);
  for (int i = 0; i < count; ++i) {
    const std::uint32_t index = events[i].data.u32;
    if (index < clients_.size()) OnEvent(clients_[index], events[i].events);
  }
}

bool LoadGenerator::SetUp(bool join) {
  const ClientState target = ClientState::kReady;
  const int count = options_.clients;
  setupStartNs_ = NowNs();
  for (int first = 0; first < count; first += options_.batch) {
    const int last = std::min(count, first + options_.batch);
    for (int i = first; i < last; ++i) (void)Open(clients_[static_cast<std::size_t>(i)]);
    const std::uint64_t deadline =
        NowNs() + static_cast<std::uint64_t>(options_.setupTimeout * kNsPerSecond);
    for (;;) {
      const bool pending =
          std::any_of(clients_.begin() + first, clients_.begin() + last, [target](const Client& c) {
            return c.state != target && c.state != ClientState::kClosed;
          });
      if (!pending) break;
      if (NowNs() >= deadline) {
        std::fprintf(stderr,
                     "zelkord-loadgen: clients %d..%d not %s within %.0f s (%d registered, %d "
                     "joined so far)\n",
                     first, last - 1, join ? "joined" : "registered", options_.setupTimeout,
                     registered_, joined_);
        return false;
      }
      Pump(kSetupPollMs);
    }
    if (join && LiveClients() < last) {
      std::fprintf(stderr, "zelkord-loadgen: %d of the first %d clients were refused or dropped\n",
                   last - LiveClients(), last);
      return false;
    }
  }
  return true;
}

// D's set-up: a client joins as soon as it is registered, and a new one
// starts whenever one is done, so a daemon that takes its time over each
// client still has --batch clients to work on. The JOIN storm runs meanwhile.
bool LoadGenerator::SetUpPipelined() {
  const int count = options_.clients;
  const auto timeoutNs = static_cast<std::uint64_t>(options_.setupTimeout * kNsPerSecond);
  setupStartNs_ = NowNs();
  std::uint64_t progressNs = setupStartNs_;
  int first = 0;  // every client before it is ready or closed
  int next = 0;   // the next client to open
  int doneBefore = 0;
  while (first < count) {
    int busy = 0;
    int unregistered = 0;
    int done = first;
    for (int i = first; i < next; ++i) {
      const ClientState state = clients_[static_cast<std::size_t>(i)].state;
      if (state == ClientState::kReady || state == ClientState::kClosed) {
        ++done;
        continue;
      }
      ++busy;
      if (state != ClientState::kJoining) ++unregistered;
    }
    if (done != doneBefore) progressNs = NowNs();
    doneBefore = done;
    if (NowNs() - progressNs >= timeoutNs) {
      std::fprintf(stderr,
                   "zelkord-loadgen: no client registered and joined for %.0f s (%d registered, "
                   "%d joined so far)\n",
                   options_.setupTimeout, registered_, joined_);
      return false;
    }
    for (; next < count && busy < options_.batch && unregistered < options_.connectWindow; ++next) {
      if (Open(clients_[static_cast<std::size_t>(next)])) {
        ++busy;
        ++unregistered;
      }
    }
    Pump(kSetupPollMs);
    while (first < next &&
           (clients_[static_cast<std::size_t>(first)].state == ClientState::kReady ||
            clients_[static_cast<std::size_t>(first)].state == ClientState::kClosed)) {
      ++first;
    }
  }
  if (LiveClients() < count) {
    std::fprintf(stderr, "zelkord-loadgen: %d of %d clients were refused or dropped\n",
                 count - LiveClients(), count);
    return false;
  }
  return true;
}

void LoadGenerator::Drain() {
  const std::uint64_t capNs = NowNs() + static_cast<std::uint64_t>(kDrainCapSeconds * kNsPerSecond);
  const auto quietNs = static_cast<std::uint64_t>(options_.drainSeconds * kNsPerSecond);
  std::uint64_t lastCheckNs = 0;
  for (;;) {
    const std::uint64_t nowNs = NowNs();
    if (nowNs - lastCheckNs >= kDrainPollMs * kNsPerMs) {
      lastCheckNs = nowNs;
      if (Pending() == 0 || nowNs >= capNs) return;
      const std::uint64_t since = std::max(lastArrivalNs_, firstSendNs_);
      if (nowNs > since && nowNs - since >= quietNs) return;
    }
    Pump(kDrainPollMs);
  }
}

std::uint64_t LoadGenerator::Pending() const {
  if (fanout_) return fanout_->Pending();
  return book_ ? book_->Missing() : 0;
}

void LoadGenerator::QuitAll() {
  for (Client& client : clients_) {
    if (client.state == ClientState::kClosed || client.state == ClientState::kIdle) continue;
    client.quitting = true;
    Queue(client, "QUIT :zelkord-loadgen done\r\n");
    Flush(client);
  }
  // Waiting for the server to close each connection lets the next run reuse
  // the nicknames; whatever is still open after the grace time is closed.
  const std::uint64_t deadline =
      NowNs() + static_cast<std::uint64_t>(kQuitGraceSeconds * kNsPerSecond);
  while (LiveClients() > 0 && NowNs() < deadline) Pump(kSetupPollMs);
  for (Client& client : clients_) Close(client, true, "");
}

int LoadGenerator::RunChannel() {
  const bool windowed = options_.workload == 'B';
  if (!SetUp(true)) {
    PrintNotes();
    return 1;
  }
  const double setupSeconds = Seconds(NowNs() - setupStartNs_);
  const int count = options_.clients;
  book_ = std::make_unique<DeliveryBook>(count, windowed ? options_.window : 0);
  const std::optional<double> cpuBefore = ServerCpu();
  const double selfBefore = SelfCpuSeconds();
  const std::uint64_t measureStartNs = NowNs();
  measuring_ = true;
  std::string batch;

  const std::uint64_t startNs = NowNs() + kStartDelayNs;
  const std::uint64_t endNs = startNs + static_cast<std::uint64_t>(options_.seconds * kNsPerSecond);
  firstSendNs_ = startNs;
  if (!windowed) {
    // Senders are spread evenly over one period, so the server sees a steady
    // stream rather than 64 lines at each tick.
    const auto periodNs = static_cast<std::uint64_t>(kNsPerSecond / options_.rate);
    const auto perClient =
        static_cast<std::uint64_t>(std::llround(options_.rate * options_.seconds));
    for (Client& client : clients_) {
      client.nextDueNs = startNs + periodNs * static_cast<std::uint64_t>(client.id) /
                                       static_cast<std::uint64_t>(count);
    }
    for (;;) {
      std::uint64_t nowNs = NowNs();
      std::uint64_t nextNs = UINT64_MAX;
      for (Client& client : clients_) {
        if (client.state != ClientState::kReady) continue;
        while (client.sentLines < perClient && client.nextDueNs <= nowNs) {
          Probe probe{static_cast<std::uint32_t>(client.id), book_->NextSeq(client.id), NowNs()};
          AppendProbeLine(client.out, options_.channel, probe, options_.padding);
          ++client.sentLines;
          client.nextDueNs += periodNs;
        }
        Flush(client);
        if (client.sentLines < perClient) nextNs = std::min(nextNs, client.nextDueNs);
      }
      if (nextNs == UINT64_MAX) break;
      nowNs = NowNs();
      const int waitMs =
          nextNs > nowNs ? static_cast<int>((nextNs - nowNs + kNsPerMs - 1) / kNsPerMs) : 0;
      Pump(waitMs);
    }
  } else {
    while (NowNs() < startNs) Pump(1);
    for (;;) {
      const std::uint64_t nowNs = NowNs();
      if (nowNs >= endNs) break;
      for (Client& client : clients_) {
        if (client.state != ClientState::kReady) continue;
        const auto room = static_cast<std::uint64_t>(options_.window);
        while (book_->Outstanding(client.id) < room) {
          Probe probe{static_cast<std::uint32_t>(client.id), book_->NextSeq(client.id), NowNs()};
          AppendProbeLine(client.out, options_.channel, probe, options_.padding);
          ++client.sentLines;
        }
        Flush(client);
      }
      const std::uint64_t leftMs = (endNs - nowNs) / kNsPerMs;
      Pump(static_cast<int>(std::min<std::uint64_t>(leftMs, kFloodPollMs)));
    }
  }
  const std::uint64_t sendEndNs = NowNs();
  Drain();
  measuring_ = false;
  const std::optional<double> cpuAfter = ServerCpu();
  const double selfSeconds = SelfCpuSeconds() - selfBefore;
  // Near 1, this process was the limit rather than the server.
  const double selfBusy = selfSeconds / std::max(Seconds(NowNs() - measureStartNs), 1e-3);

  const std::uint64_t delivered = book_->Delivered();
  const std::uint64_t lost = book_->Missing();
  const Figures f = Summarise(delivered, sendEndNs, cpuBefore, cpuAfter);
  const bool serverAlive = options_.serverPid == 0 || ServerCpu().has_value();

  std::printf("zelkord-loadgen workload %c against %s (%s:%d%s): %d clients in %s, ",
              options_.workload, options_.label.c_str(), options_.host.c_str(), options_.port,
              options_.tls ? ", TLS" : "", count, options_.channel.c_str());
  if (windowed) {
    std::printf("window %d, %.1f s\n", options_.window, options_.seconds);
  } else {
    std::printf("%.1f lines/s each, %.1f s\n", options_.rate, options_.seconds);
  }
  std::printf("  set-up      %.2f s to register and join\n", setupSeconds);
  std::printf("  sent        %llu lines; delivered %llu of %llu expected\n",
              static_cast<unsigned long long>(book_->Sent()),
              static_cast<unsigned long long>(delivered),
              static_cast<unsigned long long>(book_->Expected()));
  std::printf("  lost        %llu   reordered %llu   stray %llu   dropped clients %d\n",
              static_cast<unsigned long long>(lost),
              static_cast<unsigned long long>(book_->Reordered()),
              static_cast<unsigned long long>(book_->Stray()), closesWhileMeasuring_);
  PrintRate(f);
  if (f.haveCpu) {
    std::printf("  server CPU  %.2f s, %.2f s per million delivered lines\n", f.serverCpu,
                f.cpuUsPerLine);
  } else {
    std::printf("  server CPU  not measured (no --server-pid, or the process is gone)\n");
  }
  std::printf("  own CPU     %.2f s, %.0f%% of one core\n", selfSeconds, selfBusy * 100);
  if (!serverAlive) std::printf("  server      the process %d is gone\n", options_.serverPid);
  PrintNotes();
  std::printf(
      "RESULT workload=%c label=%s clients=%d seconds=%.1f window=%d rate=%.2f setup_s=%.3f "
      "sent=%llu delivered=%llu expected=%llu lost=%llu reordered=%llu stray=%llu dropped=%d "
      "lines_per_s=%.1f lat_p50_ms=%.3f lat_p99_ms=%.3f lat_max_ms=%.3f server_cpu_s=%s "
      "cpu_s_per_m_lines=%s loadgen_cpu_s=%.2f error_replies=%d server_alive=%d tls=%d "
      "loadgen_busy=%.2f\n",
      options_.workload, options_.label.c_str(), count, options_.seconds,
      windowed ? options_.window : 0, windowed ? 0.0 : options_.rate, setupSeconds,
      static_cast<unsigned long long>(book_->Sent()), static_cast<unsigned long long>(delivered),
      static_cast<unsigned long long>(book_->Expected()), static_cast<unsigned long long>(lost),
      static_cast<unsigned long long>(book_->Reordered()),
      static_cast<unsigned long long>(book_->Stray()), closesWhileMeasuring_, f.linesPerSecond,
      f.p50, f.p99, f.maxMs, f.haveCpu ? std::to_string(f.serverCpu).c_str() : "na",
      f.haveCpu ? std::to_string(f.cpuUsPerLine).c_str() : "na", selfSeconds, ErrorReplies(),
      serverAlive ? 1 : 0, options_.tls ? 1 : 0, selfBusy);
  std::fflush(stdout);
  QuitAll();
  return 0;
}

int LoadGenerator::RunIdle() {
  const long rssBefore = ReadProcessNumber(ReadRssKiB);
  const long threadsBefore = ReadProcessNumber(ReadThreadCount);
  const std::optional<double> cpuBefore = ServerCpu();
  const double selfBefore = SelfCpuSeconds();
  const bool allUp = SetUp(false);
  const std::optional<double> cpuAfterConnect = ServerCpu();
  const double selfConnect = SelfCpuSeconds() - selfBefore;
  const std::uint64_t connectNs =
      lastRegisteredNs_ > setupStartNs_ ? lastRegisteredNs_ - setupStartNs_ : 0;
  const double connPerSecond =
      connectNs > 0 ? static_cast<double>(registered_) / Seconds(connectNs) : 0;

  measuring_ = true;
  const std::optional<double> cpuIdleStart = ServerCpu();
  const std::uint64_t idleStartNs = NowNs();
  const std::uint64_t idleEndNs =
      idleStartNs + static_cast<std::uint64_t>(options_.seconds * kNsPerSecond);
  const std::uint64_t pingNs =
      options_.pingAt < 0
          ? idleEndNs
          : idleStartNs + static_cast<std::uint64_t>(options_.pingAt * kNsPerSecond);
  bool pinged = options_.pingAt < 0;
  while (NowNs() < idleEndNs) {
    if (!pinged && NowNs() >= pingNs) {
      pinged = true;
      for (Client& client : clients_) {
        Queue(client, "PING :loadgen\r\n");
        Flush(client);
      }
    }
    Pump(kIdlePollMs);
  }
  measuring_ = false;
  const std::optional<double> cpuIdleEnd = ServerCpu();
  const double idleCpu = cpuIdleStart && cpuIdleEnd ? *cpuIdleEnd - *cpuIdleStart : 0;
  const int stillOpen = LiveClients();
  const long rssAfter = ReadProcessNumber(ReadRssKiB);
  const long threadsAfter = ReadProcessNumber(ReadThreadCount);
  const bool haveRss = rssBefore >= 0 && rssAfter >= 0 && registered_ > 0;
  const double kibPerConnection =
      haveRss ? static_cast<double>(rssAfter - rssBefore) / registered_ : 0;
  const bool haveCpu = cpuBefore && cpuAfterConnect;
  const double connectCpu = haveCpu ? *cpuAfterConnect - *cpuBefore : 0;
  const double selfBusy = connectNs > 0 ? selfConnect / Seconds(connectNs) : 0;
  const auto [reconnectSeconds, reconnected] =
      options_.reconnect ? Reconnect() : std::pair<double, int>{0, 0};
  const bool serverAlive = options_.serverPid == 0 || ServerCpu().has_value();

  std::printf(
      "zelkord-loadgen workload C against %s (%s:%d%s): %d clients, %d at a time, idle %.1f s\n",
      options_.label.c_str(), options_.host.c_str(), options_.port, options_.tls ? ", TLS" : "",
      options_.clients, options_.batch, options_.seconds);
  std::printf("  registered  %d of %d in %.2f s: %.1f connections/s\n", registered_,
              options_.clients, Seconds(connectNs), connPerSecond);
  std::printf("  idle        %d still connected after %.1f s (dropped while idle: %d)\n", stillOpen,
              options_.seconds, closesWhileMeasuring_);
  if (haveRss) {
    std::printf("  server RSS  %ld KiB before, %ld KiB after: %.1f KiB per idle connection\n",
                rssBefore, rssAfter, kibPerConnection);
  } else {
    std::printf("  server RSS  not measured (no --server-pid, or the process is gone)\n");
  }
  if (threadsBefore >= 0 && threadsAfter >= 0) {
    std::printf("  threads     %ld before, %ld with the clients connected\n", threadsBefore,
                threadsAfter);
  }
  if (haveCpu) {
    std::printf("  server CPU  %.2f s while connecting, %.3f s while idle\n", connectCpu, idleCpu);
  }
  std::printf("  own CPU     %.2f s while connecting, %.0f%% of one core\n", selfConnect,
              selfBusy * 100);
  std::printf("  pings       %d from the server answered, %d answers to ours while idle\n",
              pingsAnswered_, pongsReceived_);
  if (options_.reconnect) {
    std::printf("  reconnect   all dropped at once; %d of %d registered again in %.2f s\n",
                reconnected, options_.clients, reconnectSeconds);
  }
  if (!serverAlive) std::printf("  server      the process %d is gone\n", options_.serverPid);
  PrintNotes();
  const std::string reconnectResult = options_.reconnect
                                          ? " reconnected=" + std::to_string(reconnected) +
                                                " reconnect_s=" + std::to_string(reconnectSeconds)
                                          : std::string();
  std::printf(
      "RESULT workload=C label=%s clients=%d batch=%d seconds=%.1f registered=%d connect_s=%.3f "
      "conn_per_s=%.1f still_open=%d dropped=%d rss_before_kib=%ld rss_after_kib=%ld "
      "kib_per_conn=%s threads_before=%ld threads_after=%ld connect_cpu_s=%s error_replies=%d "
      "server_alive=%d tls=%d loadgen_busy=%.2f idle_cpu_s=%.4f pings_answered=%d "
      "pongs_received=%d%s\n",
      options_.label.c_str(), options_.clients, options_.batch, options_.seconds, registered_,
      Seconds(connectNs), connPerSecond, stillOpen, closesWhileMeasuring_, rssBefore, rssAfter,
      haveRss ? std::to_string(kibPerConnection).c_str() : "na", threadsBefore, threadsAfter,
      haveCpu ? std::to_string(connectCpu).c_str() : "na", ErrorReplies(), serverAlive ? 1 : 0,
      options_.tls ? 1 : 0, selfBusy, idleCpu, pingsAnswered_, pongsReceived_,
      reconnectResult.c_str());
  std::fflush(stdout);
  QuitAll();
  return allUp && (!options_.reconnect || reconnected == options_.clients) ? 0 : 1;
}

std::pair<double, int> LoadGenerator::Reconnect() {
  // Reset without a QUIT, as a crashed client or a restarted gateway
  // leaves them: the server finds out from its sockets alone. A reset also
  // leaves no TIME_WAIT to keep the ports from coming back.
  for (Client& client : clients_) {
    if (client.fd >= 0) {
      const linger reset{1, 0};
      (void)setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    Close(client, true, "");
  }
  for (Client& client : clients_) {
    client.state = ClientState::kIdle;
    client.nickRetries = 0;
    client.quitting = false;
    client.partial.clear();
    client.handshaking = false;
    client.writeWantsRead = false;
  }
  registered_ = 0;
  const std::uint64_t droppedNs = NowNs();
  (void)SetUp(false);
  const std::uint64_t backNs = lastRegisteredNs_ > droppedNs ? lastRegisteredNs_ : droppedNs;
  return {Seconds(backNs - droppedNs), registered_};
}

LoadGenerator::Figures LoadGenerator::Summarise(std::uint64_t delivered, std::uint64_t sendEndNs,
                                                const std::optional<double>& cpuBefore,
                                                const std::optional<double>& cpuAfter) const {
  Figures f;
  const std::uint64_t spanNs =
      lastArrivalNs_ > firstSendNs_ ? lastArrivalNs_ - firstSendNs_ : sendEndNs - firstSendNs_;
  f.spanSeconds = Seconds(spanNs);
  f.linesPerSecond = spanNs > 0 ? static_cast<double>(delivered) / f.spanSeconds : 0;
  f.p50 = Ms(latency_.Quantile(0.5));
  f.p99 = Ms(latency_.Quantile(0.99));
  f.maxMs = Ms(latency_.Max());
  f.haveCpu = cpuBefore && cpuAfter;
  f.serverCpu = f.haveCpu ? *cpuAfter - *cpuBefore : 0;
  f.cpuUsPerLine =
      f.haveCpu && delivered > 0 ? f.serverCpu * 1e6 / static_cast<double>(delivered) : 0;
  return f;
}

void LoadGenerator::PrintRate(const Figures& f) {
  std::printf("  throughput  %.0f delivered lines/s over %.2f s\n", f.linesPerSecond,
              f.spanSeconds);
  std::printf("  latency     p50 %.3f ms   p99 %.3f ms   max %.3f ms\n", f.p50, f.p99, f.maxMs);
}

void LoadGenerator::Settle() {
  // Joins confirmed to the joiner may still be on their way to the others
  // (a big channel's JOIN storm is quadratic): wait for the sockets to go
  // quiet, so none of it falls into the measured period.
  const std::uint64_t capNs =
      NowNs() + static_cast<std::uint64_t>(options_.setupTimeout * kNsPerSecond);
  lastReadNs_ = NowNs();
  while (NowNs() - lastReadNs_ < kSettleQuietNs && NowNs() < capNs) Pump(kSetupPollMs);
}

void LoadGenerator::SendCommunityLine(bool toChannel, SplitMix64& pick, std::vector<int>& touched) {
  const auto count = static_cast<std::uint64_t>(options_.clients);
  for (int tries = 0; tries < kPickTries; ++tries) {
    const auto sender = static_cast<int>(pick.Below(count));
    Client& client = clients_[static_cast<std::size_t>(sender)];
    const std::vector<int>& channels = channelsOf_[static_cast<std::size_t>(sender)];
    if (client.state != ClientState::kReady || (toChannel && channels.empty())) continue;
    std::uint64_t seq = 0;
    std::string_view target;
    if (toChannel) {
      const int channel = channels[pick.Below(channels.size())];
      seq = fanout_->SendToChannel(sender, channel);
      target = channelNames_[static_cast<std::size_t>(channel)];
    } else {
      auto receiver = static_cast<int>(pick.Below(count - 1));
      if (receiver >= sender) ++receiver;
      seq = fanout_->SendToClient(sender, receiver);
      target = clients_[static_cast<std::size_t>(receiver)].nick;
    }
    AppendProbeLine(client.out, target, Probe{static_cast<std::uint32_t>(sender), seq, NowNs()},
                    options_.padding);
    ++client.sentLines;
    touched.push_back(sender);
    return;
  }
}

int LoadGenerator::RunCommunity() {
  const int count = options_.clients;
  std::vector<std::vector<int>> channels =
      AssignZipfChannels(count, options_.maxChannels, options_.seed);
  std::size_t memberships = 0;
  for (std::size_t k = 0; k < channels.size(); ++k) {
    channelNames_.push_back(options_.channel + std::to_string(k + 1));
    memberships += channels[k].size();
  }
  fanout_ = std::make_unique<FanoutBook>(count, std::move(channels));
  channelsOf_.resize(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) channelsOf_[static_cast<std::size_t>(i)] = fanout_->ChannelsOf(i);
  const std::size_t biggest = channelNames_.empty() ? 0 : fanout_->Members(0).size();

  const long rssBefore = ReadProcessNumber(ReadRssKiB);
  if (!SetUpPipelined()) {
    PrintNotes();
    return 1;
  }
  const std::uint64_t settleStartNs = NowNs();
  Settle();
  const double setupSeconds = Seconds(NowNs() - setupStartNs_);
  const double settleSeconds = Seconds(NowNs() - settleStartNs);
  const long rssAfter = ReadProcessNumber(ReadRssKiB);

  const std::optional<double> cpuBefore = ServerCpu();
  const double selfBefore = SelfCpuSeconds();
  measuring_ = true;
  SplitMix64 pick(options_.seed ^ 0x7a656c6b6f7264ull);
  std::vector<int> touched;
  const std::uint64_t startNs = NowNs() + kStartDelayNs;
  const double periodNs = 1e9 / options_.rate;
  const auto total = static_cast<std::uint64_t>(std::llround(options_.rate * options_.seconds));
  firstSendNs_ = startNs;
  std::uint64_t queued = 0;
  // One schedule for the whole community: line i leaves at start + i / rate,
  // from whichever client the draw names.
  auto dueNs = [&](std::uint64_t line) {
    return startNs + static_cast<std::uint64_t>(static_cast<double>(line) * periodNs);
  };
  while (queued < total) {
    const std::uint64_t nowNs = NowNs();
    for (; queued < total && dueNs(queued) <= nowNs; ++queued) {
      SendCommunityLine(queued % 2 == 0, pick, touched);
    }
    for (const int id : touched) Flush(clients_[static_cast<std::size_t>(id)]);
    touched.clear();
    if (queued >= total) break;
    const std::uint64_t nextNs = dueNs(queued);
    const std::uint64_t afterNs = NowNs();
    Pump(nextNs > afterNs ? static_cast<int>((nextNs - afterNs + kNsPerMs - 1) / kNsPerMs) : 0);
  }
  const std::uint64_t sendEndNs = NowNs();
  Drain();
  measuring_ = false;
  const std::optional<double> cpuAfter = ServerCpu();
  const double selfSeconds = SelfCpuSeconds() - selfBefore;

  const std::uint64_t delivered = fanout_->Delivered();
  const std::uint64_t lost = fanout_->Missing();
  const std::uint64_t expected = fanout_->Expected();
  const Figures f = Summarise(delivered, sendEndNs, cpuBefore, cpuAfter);
  const bool haveRss = rssBefore >= 0 && rssAfter >= 0;
  const double kibPerClient = haveRss ? static_cast<double>(rssAfter - rssBefore) / count : 0;
  const bool serverAlive = options_.serverPid == 0 || ServerCpu().has_value();

  std::printf(
      "zelkord-loadgen workload D against %s (%s:%d): %d clients in %zu channels (largest %zu, "
      "%zu memberships), %.0f lines/s in all, %.1f s\n",
      options_.label.c_str(), options_.host.c_str(), options_.port, count, channelNames_.size(),
      biggest, memberships, options_.rate, options_.seconds);
  std::printf("  set-up      %.2f s to register and join, %.2f s of it settling\n", setupSeconds,
              settleSeconds);
  std::printf("  sent        %llu lines; delivered %llu of %llu expected\n",
              static_cast<unsigned long long>(fanout_->Sent()),
              static_cast<unsigned long long>(delivered),
              static_cast<unsigned long long>(expected));
  std::printf("  lost        %llu   reordered %llu   stray %llu   dropped clients %d\n",
              static_cast<unsigned long long>(lost),
              static_cast<unsigned long long>(fanout_->Reordered()),
              static_cast<unsigned long long>(fanout_->Stray()), closesWhileMeasuring_);
  PrintRate(f);
  if (f.haveCpu) {
    std::printf("  server CPU  %.2f s, %.3f us per delivered line\n", f.serverCpu, f.cpuUsPerLine);
  } else {
    std::printf("  server CPU  not measured (no --server-pid, or the process is gone)\n");
  }
  if (haveRss) {
    std::printf("  server RSS  %ld KiB before any client, %ld KiB joined: %.1f KiB per client\n",
                rssBefore, rssAfter, kibPerClient);
  }
  std::printf("  own CPU     %.2f s\n", selfSeconds);
  if (!serverAlive) std::printf("  server      the process %d is gone\n", options_.serverPid);
  PrintNotes();
  std::printf(
      "RESULT workload=D label=%s clients=%d channels=%zu biggest=%zu memberships=%zu "
      "seconds=%.1f rate=%.2f setup_s=%.3f settle_s=%.3f sent=%llu delivered=%llu expected=%llu "
      "lost=%llu reordered=%llu stray=%llu dropped=%d lines_per_s=%.1f lat_p50_ms=%.3f "
      "lat_p99_ms=%.3f lat_max_ms=%.3f server_cpu_s=%s cpu_us_per_line=%s rss_before_kib=%ld "
      "rss_after_kib=%ld kib_per_client=%s loadgen_cpu_s=%.2f error_replies=%d server_alive=%d\n",
      options_.label.c_str(), count, channelNames_.size(), biggest, memberships, options_.seconds,
      options_.rate, setupSeconds, settleSeconds, static_cast<unsigned long long>(fanout_->Sent()),
      static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(expected),
      static_cast<unsigned long long>(lost), static_cast<unsigned long long>(fanout_->Reordered()),
      static_cast<unsigned long long>(fanout_->Stray()), closesWhileMeasuring_, f.linesPerSecond,
      f.p50, f.p99, f.maxMs, f.haveCpu ? std::to_string(f.serverCpu).c_str() : "na",
      f.haveCpu ? std::to_string(f.cpuUsPerLine).c_str() : "na", rssBefore, rssAfter,
      haveRss ? std::to_string(kibPerClient).c_str() : "na", selfSeconds, ErrorReplies(),
      serverAlive ? 1 : 0);
  std::fflush(stdout);
  QuitAll();
  return 0;
}

void LoadGenerator::PrintNotes() const {
  for (const auto& [code, times] : errorReplies_) {
    std::printf("  note        error reply %03d received %d times\n", code, times);
  }
  for (const auto& [reason, times] : closeReasons_) {
    std::printf("  note        %d x %s\n", times, reason.c_str());
  }
}

int LoadGenerator::Run() {
  if (inet_pton(AF_INET, options_.host.c_str(), &address_.sin_addr) != 1) {
    std::fprintf(stderr, "zelkord-loadgen: --host must be a dotted IPv4 address\n");
    return 2;
  }
  address_.sin_family = AF_INET;
  address_.sin_port = htons(static_cast<std::uint16_t>(options_.port));
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) {
    std::perror("zelkord-loadgen: epoll_create1");
    return 1;
  }
  if (options_.tls && !MakeTlsContext()) return 1;
  clients_.resize(static_cast<std::size_t>(options_.clients));
  const char letter = static_cast<char>(options_.workload - 'A' + 'a');
  for (int i = 0; i < options_.clients; ++i) {
    Client& client = clients_[static_cast<std::size_t>(i)];
    client.id = i;
    client.nick = options_.nickPrefix + letter + std::to_string(i);
  }
  switch (options_.workload) {
    case 'C':
      return RunIdle();
    case 'D':
      return RunCommunity();
    default:
      return RunChannel();
  }
}

// Many clients need many descriptors: take what the hard limit allows.
void RaiseDescriptorLimit(int clients) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(clients) + 64;
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = std::min(limit.rlim_max, wanted);
  (void)setrlimit(RLIMIT_NOFILE, &limit);  // on failure the connects say why
}

}  // namespace

}  // namespace zelkord::bench

int main(int argc, char** argv) {
  zelkord::bench::Options options;
  if (!zelkord::bench::ParseOptions(argc, argv, options)) return 2;
  signal(SIGPIPE, SIG_IGN);
  zelkord::bench::RaiseDescriptorLimit(options.clients);
  zelkord::bench::LoadGenerator generator(std::move(options));
  return generator.Run();
}
