// The soak: hundreds of clients against one in-process server for a while,
// with the connection and channel tables held at their limits. A set of
// stable clients stays in fixed channels and keeps talking there; churn
// clients around them register, join, part, talk, change nicks, kick, ask
// queries, quit, and drop abruptly, mid-line or with a reset. At
// checkpoints and at the end the server's tables must agree with each
// other, every line a stable client sent must have reached every other
// stable member of its channel once and in order, and once the server is
// stopped its threads and sockets must be gone.
//
// The default run suits the test suite (about 15 s, 160 clients, also under
// the sanitizers). ZELKORD_SOAK_SECONDS and ZELKORD_SOAK_CLIENTS make it
// longer and bigger; scripts/soak.sh runs it that way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/sjis.h"
#include "net/tcp.h"
#include "support/test_server.h"
#include "support/wait.h"

namespace zelkord::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// Sanitized servers run several times slower; the churn slows down with them
// so the run measures the same mix rather than a backlog.
constexpr int kPace = kSanitized ? 3 : 1;

constexpr int kDefaultSeconds = 15;
constexpr int kDefaultClients = 160;
constexpr int kChurnChannels = 16;     // names churn clients pick from
constexpr int kSpareChannelSlots = 8;  // table room beyond the stable channels
constexpr int kStableWindow = 24;      // lines a stable sender may have in flight
constexpr int kCheckpointMs = 250;
constexpr int kSweepEveryCheckpoints = 12;  // a liveness sweep every 3 s
constexpr int kSettleMs = 20000;            // for every wait at the end
constexpr int kMaxReportedProblems = 20;

struct Plan {
  int seconds = kDefaultSeconds;
  int stable = 0;
  int churn = 0;
  int stableChannels = 0;
  int userMax = 0;
  int chanMax = 0;
};

int EnvNumber(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  const int value = std::atoi(text);
  return value > 0 ? value : fallback;
}

Plan MakePlan() {
  Plan plan;
  plan.seconds = EnvNumber("ZELKORD_SOAK_SECONDS", kDefaultSeconds);
  const int clients = std::max(20, EnvNumber("ZELKORD_SOAK_CLIENTS", kDefaultClients));
  plan.stable = std::max(8, clients / 4);
  plan.churn = clients - plan.stable;
  plan.stableChannels = std::max(4, plan.stable / 10);
  // Fewer slots than clients, so churn keeps running into the table's end.
  plan.userMax = plan.stable + plan.churn * 2 / 3;
  plan.chanMax = plan.stableChannels + kSpareChannelSlots;
  return plan;
}

int ThreadCount() {
  return EntriesIn("/proc/self/task");
}

int FdCount() {
  return EntriesIn("/proc/self/fd") - 1;  // the directory being read
}

std::string StableChannel(int index) {
  return "#st" + std::to_string(index);
}

std::string ChurnChannel(int index) {
  return "#ch" + std::to_string(index);
}

// The server's own view, read under the protocol lock: every disagreement
// between the connection table, the user list and the channel table.
struct TableCensus {
  int inUse = 0;
  int registered = 0;
  int channels = 0;
  std::vector<std::string> problems;
  std::map<std::string, std::set<std::string>> members;  // channel -> nicks
  std::set<std::string> nicks;                           // registered
};

TableCensus TakeCensus(server::Server& server) {
  TableCensus census;
  irc::ProtocolLock lock(server.protocol);
  const irc::UserTable& users = *server.protocol.users;
  const irc::ChannelTable& table = *server.protocol.channels;
  auto problem = [&](std::string text) { census.problems.push_back(std::move(text)); };
  std::multiset<std::string> registeredNicks;
  std::size_t joinedEntries = 0;
  for (int i = 0; i < users.Capacity(); ++i) {
    const irc::UserSlot& slot = users.Slot(i);
    if (!slot.inUse) continue;
    ++census.inUse;
    if (!slot.Registered()) {
      if (!slot.channels.empty()) problem("unregistered slot " + slot.Nick() + " has channels");
      continue;
    }
    ++census.registered;
    registeredNicks.insert(slot.Nick());
    census.nicks.insert(slot.Nick());
    if (users.FindUserByNick(slot.Nick()) != i) problem("nick " + slot.Nick() + " is not unique");
    std::set<std::string> seen;
    for (const irc::JoinedChannel& joined : slot.channels) {
      ++joinedEntries;
      if (!seen.insert(joined.name).second)
        problem(slot.Nick() + " joined " + joined.name + " twice");
      const int index = table.FindChannel(joined.name);
      if (index < 0) {
        problem(slot.Nick() + " is in missing channel " + joined.name);
        continue;
      }
      const auto& list = table.Entry(index).members;
      if (std::none_of(list.begin(), list.end(),
                       [&](const std::string& m) { return base::EqualsFolded(m, slot.Nick()); })) {
        problem(slot.Nick() + " is not listed in " + joined.name);
      }
    }
  }
  if (census.registered != users.RegisteredCount()) {
    problem("RegisteredCount " + std::to_string(users.RegisteredCount()) + " but " +
            std::to_string(census.registered) + " registered slots");
  }
  std::vector<std::string> listed = users.UserList();
  std::sort(listed.begin(), listed.end());
  if (listed != std::vector<std::string>(registeredNicks.begin(), registeredNicks.end())) {
    problem("the user list differs from the registered nicks");
  }
  census.channels = table.Count();
  if (census.channels > table.Capacity()) problem("more channels than the table holds");
  if (census.inUse > users.Capacity()) problem("more slots in use than exist");
  std::size_t memberEntries = 0;
  for (int index = 0; index < table.Count(); ++index) {
    const irc::ChannelEntry& entry = table.Entry(index);
    if (table.FindChannel(entry.name) != index) problem("channel " + entry.name + " twice");
    if (entry.members.empty()) problem("channel " + entry.name + " is empty");
    std::set<std::string> folded;
    for (const std::string& member : entry.members) {
      ++memberEntries;
      census.members[entry.name].insert(member);
      if (!folded.insert(base::UpperCase(member)).second) {
        problem(member + " listed twice in " + entry.name);
      }
      const int slot = users.FindUserByNick(member);
      if (slot < 0 || !users.Slot(slot).Registered()) {
        problem("member " + member + " of " + entry.name + " is not a registered user");
        continue;
      }
      const auto& joined = users.Slot(slot).channels;
      if (std::none_of(joined.begin(), joined.end(),
                       [&](const irc::JoinedChannel& c) { return c.name == entry.name; })) {
        problem(member + " is listed in " + entry.name + " but has not joined it");
      }
    }
  }
  if (memberEntries != joinedEntries) problem("member and joined entries differ in number");
  return census;
}

enum class Role { Stable, Churn };
enum class Phase { Offline, Connecting, Registering, Online, Quitting };
enum class Ending { Quit, MidLineClose, MidLineReset, Reset, Close };

struct Agent {
  Role role = Role::Churn;
  int id = 0;
  Phase phase = Phase::Offline;
  int fd = -1;
  std::string in;
  std::string out;
  std::string nick;
  std::vector<std::string> ownNicks;  // every nick this churn client used
  int generation = 0;
  bool idleSession = false;  // connects and never registers
  Clock::time_point nextAction;
  Clock::time_point sessionEnd;
  Clock::time_point phaseDeadline;
  std::set<std::string> joined;  // churn: as far as the relays told it
  std::vector<int> channels;     // stable: the stable channel indexes
  int joinsConfirmed = 0;        // stable: 366 replies seen at set-up
};

struct Figures {
  long sessions = 0;
  long refused = 0;  // closed before the welcome
  long quits = 0;
  long abrupt = 0;
  long actions = 0;
  long stableLines = 0;
  long deliveries = 0;
  int maxInUse = 0;
  int maxChannels = 0;
  int checkpoints = 0;
};

class Soak {
 public:
  Soak(const Plan& plan, TestServer& server) : plan_(plan), server_(server), random_(20261207) {
    for (int i = 0; i < plan.stable; ++i) {
      Agent agent;
      agent.role = Role::Stable;
      agent.id = i;
      agent.nick = "s" + std::to_string(i);
      agent.channels = {i % plan.stableChannels, (i + 1) % plan.stableChannels};
      agents_.push_back(agent);
    }
    for (int i = 0; i < plan.churn; ++i) {
      Agent agent;
      agent.role = Role::Churn;
      agent.id = i;
      agents_.push_back(agent);
    }
    const std::size_t s = static_cast<std::size_t>(plan.stable);
    const std::size_t k = static_cast<std::size_t>(plan.stableChannels);
    sent_.assign(s * k, 0);
    received_.assign(s * s * k, 0);
    for (int c = 0; c < plan.stableChannels; ++c) stableMembers_.emplace_back();
    for (int i = 0; i < plan.stable; ++i) {
      for (int c : agents_[static_cast<std::size_t>(i)].channels) {
        stableMembers_[static_cast<std::size_t>(c)].push_back(i);
      }
    }
  }

  ~Soak() {
    for (Agent& agent : agents_) CloseSocket(agent);
  }

  // Connects and registers the stable clients and joins their channels.
  bool SetUpStable() {
    for (Agent& agent : agents_) {
      if (agent.role != Role::Stable) continue;
      agent.fd = net::TcpConnect("127.0.0.1", server_.Port());
      if (agent.fd < 0) return Fail("stable client " + agent.nick + " cannot connect");
      (void)fcntl(agent.fd, F_SETFL, O_NONBLOCK);
      agent.phase = Phase::Registering;
      Queue(agent, "NICK " + agent.nick);
      Queue(agent, "USER stable host server :Stable " + agent.nick);
      for (int c : agent.channels) Queue(agent, "JOIN " + StableChannel(c));
      Pump(0);
    }
    const auto deadline = Clock::now() + milliseconds(kSettleMs);
    while (Clock::now() < deadline) {
      Pump(5);
      const bool ready = std::all_of(agents_.begin(), agents_.end(), [](const Agent& a) {
        return a.role != Role::Stable || a.joinsConfirmed == static_cast<int>(a.channels.size());
      });
      if (ready) return problems_.empty();
    }
    return Fail("the stable clients did not all register and join in time");
  }

  // The churn phase: everything runs until the plan's time is up.
  void Run() {
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(plan_.seconds);
    auto nextCheckpoint = start + milliseconds(kCheckpointMs);
    for (Agent& agent : agents_) {
      if (agent.role == Role::Churn) agent.nextAction = start + milliseconds(Uniform(0, 500));
    }
    while (Clock::now() < end) {
      Pump(2);
      const auto now = Clock::now();
      for (Agent& agent : agents_) {
        if (agent.role == Role::Churn) {
          StepChurn(agent, now);
        } else {
          SendStable(agent, now);
        }
      }
      if (now >= nextCheckpoint) {
        Checkpoint();
        nextCheckpoint = now + milliseconds(kCheckpointMs);
      }
    }
  }

  // Ends every churn session (most with QUIT, some abruptly) and waits until
  // the server has let go of all of them.
  void StopChurn() {
    for (Agent& agent : agents_) {
      if (agent.role != Role::Churn) continue;
      if (agent.phase == Phase::Online) {
        EndSession(agent, Uniform(0, 3) == 0 ? Ending::MidLineReset : Ending::Quit);
      } else if (agent.phase != Phase::Quitting) {
        CloseSocket(agent);
      }
    }
    stopping_ = true;
    const auto deadline = Clock::now() + milliseconds(kSettleMs);
    while (Clock::now() < deadline && AnyChurnSocket()) Pump(5);
    if (AnyChurnSocket()) Fail("the server did not close every quitting churn client");
  }

  // Lets the stable clients' last lines arrive. true when every line did.
  bool DrainStable() {
    const auto deadline = Clock::now() + milliseconds(kSettleMs);
    while (Clock::now() < deadline) {
      if (AllDelivered()) return true;
      Pump(5);
    }
    return AllDelivered();
  }

  // Every stable line reached every other stable member of its channel.
  bool AllDelivered() const {
    for (int c = 0; c < plan_.stableChannels; ++c) {
      for (int sender : stableMembers_[static_cast<std::size_t>(c)]) {
        for (int receiver : stableMembers_[static_cast<std::size_t>(c)]) {
          if (receiver != sender && Received(receiver, sender, c) != Sent(sender, c)) return false;
        }
      }
    }
    return true;
  }

  // The stable clients quit; the server must close each of them.
  void QuitStable() {
    for (Agent& agent : agents_) {
      if (agent.role == Role::Stable && agent.fd >= 0) {
        Queue(agent, "QUIT :done");
        agent.phase = Phase::Quitting;
      }
    }
    const auto deadline = Clock::now() + milliseconds(kSettleMs);
    while (Clock::now() < deadline && AnySocket()) Pump(5);
    if (AnySocket()) Fail("the server did not close every quitting stable client");
  }

  // Waits until the server's census satisfies done, checking it each time.
  template <typename Done>
  TableCensus WaitForCensus(Done done) {
    const auto deadline = Clock::now() + milliseconds(kSettleMs);
    TableCensus census = TakeCensus(server_.Server());
    while (!done(census) && Clock::now() < deadline) {
      Pump(20);
      census = TakeCensus(server_.Server());
    }
    return census;
  }

  bool Fail(std::string text) {
    if (problems_.size() < kMaxReportedProblems) problems_.push_back(std::move(text));
    ++problemCount_;
    return false;
  }

  [[nodiscard]] const std::vector<std::string>& Problems() const { return problems_; }
  [[nodiscard]] int ProblemCount() const { return problemCount_; }
  [[nodiscard]] const Figures& Stats() const { return figures_; }
  [[nodiscard]] std::set<std::string> StableNicks() const {
    std::set<std::string> nicks;
    for (const Agent& agent : agents_) {
      if (agent.role == Role::Stable) nicks.insert(agent.nick);
    }
    return nicks;
  }
  [[nodiscard]] std::map<std::string, std::set<std::string>> StableMembership() const {
    std::map<std::string, std::set<std::string>> members;
    for (int c = 0; c < plan_.stableChannels; ++c) {
      for (int i : stableMembers_[static_cast<std::size_t>(c)]) {
        members[StableChannel(c)].insert(agents_[static_cast<std::size_t>(i)].nick);
      }
    }
    return members;
  }

 private:
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  long& Sent(int sender, int channel) {
    return sent_[static_cast<std::size_t>(sender * plan_.stableChannels + channel)];
  }
  long Sent(int sender, int channel) const {
    return sent_[static_cast<std::size_t>(sender * plan_.stableChannels + channel)];
  }
  long& Received(int receiver, int sender, int channel) {
    return received_[static_cast<std::size_t>(
        (receiver * plan_.stable + sender) * plan_.stableChannels + channel)];
  }
  long Received(int receiver, int sender, int channel) const {
    return received_[static_cast<std::size_t>(
        (receiver * plan_.stable + sender) * plan_.stableChannels + channel)];
  }

  bool AnySocket() const {
    return std::any_of(agents_.begin(), agents_.end(), [](const Agent& a) { return a.fd >= 0; });
  }
  bool AnyChurnSocket() const {
    return std::any_of(agents_.begin(), agents_.end(),
                       [](const Agent& a) { return a.role == Role::Churn && a.fd >= 0; });
  }

  void Queue(Agent& agent, const std::string& line) {
    agent.out.append(line).append("\r\n");
    Flush(agent);
  }

  void Flush(Agent& agent) {
    while (agent.fd >= 0 && !agent.out.empty() && agent.phase != Phase::Connecting) {
      const ssize_t sent = send(agent.fd, agent.out.data(), agent.out.size(), MSG_NOSIGNAL);
      if (sent > 0) {
        agent.out.erase(0, static_cast<std::size_t>(sent));
        continue;
      }
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      agent.out.clear();  // the peer is gone; the receive side notices it
      return;
    }
  }

  void CloseSocket(Agent& agent, bool reset = false) {
    if (agent.fd >= 0) {
      if (reset) {
        linger abort{1, 0};
        (void)setsockopt(agent.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      close(agent.fd);
    }
    agent.fd = -1;
    agent.in.clear();
    agent.out.clear();
    agent.joined.clear();
    agent.phase = Phase::Offline;
  }

  // One round of the event loop: waits up to waitMs for any socket, then
  // reads, frames and handles what arrived and sends what is queued.
  void Pump(int waitMs) {
    std::vector<pollfd> fds;
    std::vector<Agent*> owners;
    for (Agent& agent : agents_) {
      if (agent.fd < 0) continue;
      short events = POLLIN;
      if (agent.phase == Phase::Connecting || !agent.out.empty()) events |= POLLOUT;
      fds.push_back({agent.fd, events, 0});
      owners.push_back(&agent);
    }
    if (fds.empty()) {
      // Nothing to poll: the round's wait all the same, so callers pace alike.
      usleep(static_cast<useconds_t>(waitMs) * 1000);
      return;
    }
    if (poll(fds.data(), fds.size(), waitMs) <= 0) return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      Agent& agent = *owners[i];
      if (fds[i].revents == 0 || agent.fd != fds[i].fd) continue;
      if (agent.phase == Phase::Connecting) {
        ConnectDone(agent);
        continue;
      }
      if ((fds[i].revents & POLLOUT) != 0) Flush(agent);
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) Receive(agent);
    }
  }

  void Receive(Agent& agent) {
    char chunk[16384];
    for (;;) {
      const ssize_t got = recv(agent.fd, chunk, sizeof chunk, 0);
      if (got > 0) {
        agent.in.append(chunk, static_cast<std::size_t>(got));
        continue;
      }
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
      HandleLines(agent);
      Closed(agent);
      return;
    }
    HandleLines(agent);
  }

  void HandleLines(Agent& agent) {
    std::size_t start = 0;
    for (std::size_t end;
         agent.fd >= 0 && (end = agent.in.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
      const std::string line = agent.in.substr(start, end - start);
      if (agent.role == Role::Stable) {
        StableLine(agent, line);
      } else {
        ChurnLine(agent, line);
      }
    }
    if (agent.fd >= 0) agent.in.erase(0, start);
  }

  // The server closed the connection.
  void Closed(Agent& agent) {
    if (agent.role == Role::Stable) {
      if (agent.phase != Phase::Quitting) Fail("stable client " + agent.nick + " was disconnected");
    }
    // A client the full table refused waits longer before it tries again.
    const bool refused = agent.phase == Phase::Registering && !agent.idleSession;
    if (refused) ++figures_.refused;
    CloseSocket(agent);
    agent.nextAction =
        Clock::now() + milliseconds((refused ? Uniform(300, 1500) : Uniform(20, 300)) * kPace);
  }

  static bool IsPing(const std::string& line) { return line.rfind("PING ", 0) == 0; }

  void StableLine(Agent& agent, const std::string& line) {
    if (IsPing(line)) {
      Queue(agent, "PONG " + line.substr(5));
      return;
    }
    if (line.find(" 366 " + agent.nick + " #st") != std::string::npos) {
      ++agent.joinsConfirmed;
      return;
    }
    if (line.find(" KICK ") != std::string::npos &&
        line.find(" " + agent.nick + " :") != std::string::npos &&
        line.find(" KICK #st") != std::string::npos) {
      Fail("stable client " + agent.nick + " was kicked: " + line);
      return;
    }
    const std::size_t marker = line.find(" :seq ");
    if (marker == std::string::npos || line.find(" PRIVMSG #st") == std::string::npos) return;
    int channel = -1;
    int sender = -1;
    long number = -1;
    if (std::sscanf(line.c_str() + marker + 6, "%d %d %ld", &channel, &sender, &number) != 3 ||
        channel < 0 || channel >= plan_.stableChannels || sender < 0 || sender >= plan_.stable) {
      Fail("unreadable stable line: " + line);
      return;
    }
    if (line.find(" PRIVMSG " + StableChannel(channel) + " :") == std::string::npos ||
        line.rfind(":s" + std::to_string(sender) + "!", 0) != 0) {
      Fail("stable line relayed wrongly: " + line);
      return;
    }
    long& next = Received(agent.id, sender, channel);
    if (number != next) {
      Fail(agent.nick + " got line " + std::to_string(number) + " of s" + std::to_string(sender) +
           " in " + StableChannel(channel) + " when " + std::to_string(next) + " was due");
    }
    next = number + 1;
    ++figures_.deliveries;
  }

  // A stable client says its next line when the slowest other member of
  // that channel is less than a window behind it.
  void SendStable(Agent& agent, Clock::time_point now) {
    if (stopping_ || agent.fd < 0 || agent.phase == Phase::Quitting || now < agent.nextAction) {
      return;
    }
    agent.nextAction = now + milliseconds(Uniform(20, 60) * kPace);
    const int channel = agent.channels[static_cast<std::size_t>(Uniform(0, 1))];
    long slowest = Sent(agent.id, channel);
    for (int receiver : stableMembers_[static_cast<std::size_t>(channel)]) {
      if (receiver != agent.id) slowest = std::min(slowest, Received(receiver, agent.id, channel));
    }
    if (Sent(agent.id, channel) - slowest >= kStableWindow) return;
    const long number = Sent(agent.id, channel)++;
    Queue(agent, "PRIVMSG " + StableChannel(channel) + " :seq " + std::to_string(channel) + " " +
                     std::to_string(agent.id) + " " + std::to_string(number) + " " +
                     std::string(static_cast<std::size_t>(Uniform(0, 200)), 'x'));
    ++figures_.stableLines;
  }

  // Churn: whether a relay line names this client (under any nick it had).
  bool IsMe(const Agent& agent, const std::string& line) const {
    if (line.empty() || line[0] != ':') return false;
    const std::size_t bang = line.find('!');
    if (bang == std::string::npos) return false;
    const std::string who = line.substr(1, bang - 1);
    return std::find(agent.ownNicks.begin(), agent.ownNicks.end(), who) != agent.ownNicks.end();
  }

  void ChurnLine(Agent& agent, const std::string& line) {
    if (IsPing(line)) {
      Queue(agent, "PONG " + line.substr(5));
      return;
    }
    if (agent.phase == Phase::Registering) {
      if (line.find(" 001 ") != std::string::npos) {
        agent.phase = Phase::Online;
        agent.nextAction = Clock::now() + milliseconds(Uniform(10, 100) * kPace);
      } else if (line.find(" 433 ") != std::string::npos) {
        NewNick(agent);
        Queue(agent, "NICK " + agent.nick);
      }
      return;
    }
    if (agent.phase != Phase::Online) return;
    const std::size_t join = line.find(" JOIN :");
    if (join != std::string::npos && IsMe(agent, line)) {
      agent.joined.insert(line.substr(join + 7));
      return;
    }
    const std::size_t part = line.find(" PART ");
    if (part != std::string::npos && IsMe(agent, line)) {
      agent.joined.erase(line.substr(part + 6));
      return;
    }
    const std::size_t kick = line.find(" KICK ");
    if (kick != std::string::npos) {
      const std::size_t nameEnd = line.find(' ', kick + 6);
      const std::size_t targetEnd = line.find(' ', nameEnd + 1);
      if (nameEnd != std::string::npos && targetEnd != std::string::npos &&
          line.compare(nameEnd + 1, targetEnd - nameEnd - 1, agent.nick) == 0) {
        agent.joined.erase(line.substr(kick + 6, nameEnd - kick - 6));
      }
    }
  }

  void NewNick(Agent& agent) {
    agent.nick = "c" + std::to_string(agent.id) + "n" + std::to_string(agent.generation++);
    agent.ownNicks.push_back(agent.nick);
  }

  void StartSession(Agent& agent, Clock::time_point now) {
    agent.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (agent.fd < 0) {
      Fail("no socket for a churn client");
      return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server_.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int result = connect(agent.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (result != 0 && errno != EINPROGRESS) {
      CloseSocket(agent);
      agent.nextAction = now + milliseconds(100);
      return;
    }
    ++figures_.sessions;
    agent.phase = Phase::Connecting;
    agent.phaseDeadline = now + std::chrono::seconds(5);
    agent.idleSession = Uniform(0, 19) == 0;
    agent.ownNicks.clear();
    agent.sessionEnd = now + milliseconds(Uniform(1000, 5000) * kPace);
    if (result == 0) ConnectDone(agent);
  }

  void ConnectDone(Agent& agent) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(agent.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      CloseSocket(agent);
      agent.nextAction = Clock::now() + milliseconds(100);
      return;
    }
    agent.phase = Phase::Registering;
    agent.phaseDeadline = Clock::now() + milliseconds(kSettleMs);
    if (agent.idleSession) {
      // Says nothing, or half a line, and waits: the table slot is held
      // until the client gives up or a liveness sweep drops it.
      if (Uniform(0, 1) == 0) agent.out = "NICK half";
      Flush(agent);
      agent.sessionEnd = Clock::now() + milliseconds(Uniform(500, 3000) * kPace);
      return;
    }
    NewNick(agent);
    Queue(agent, "NICK " + agent.nick);
    Queue(agent, "USER churn host server :Churn " + std::to_string(agent.id));
  }

  std::string AnyChannel() {
    if (Uniform(0, 4) == 0) return StableChannel(Uniform(0, plan_.stableChannels - 1));
    return ChurnChannel(Uniform(0, kChurnChannels - 1));
  }

  std::string JoinedOrAny(Agent& agent) {
    if (agent.joined.empty() || Uniform(0, 5) == 0) return AnyChannel();
    auto it = agent.joined.begin();
    std::advance(it, Uniform(0, static_cast<int>(agent.joined.size()) - 1));
    return *it;
  }

  std::string AnyNick() {
    const Agent& other =
        agents_[static_cast<std::size_t>(Uniform(0, static_cast<int>(agents_.size()) - 1))];
    return other.nick.empty() ? "nobody" : other.nick;
  }

  void EndSession(Agent& agent, Ending ending) {
    switch (ending) {
      case Ending::Quit:
        ++figures_.quits;
        Queue(agent, "QUIT :bye from " + agent.nick);
        agent.phase = Phase::Quitting;
        agent.phaseDeadline = Clock::now() + milliseconds(kSettleMs);
        return;
      case Ending::MidLineClose:
      case Ending::MidLineReset:
        agent.out.append("PRIVMSG " + JoinedOrAny(agent) + " :half a li");
        Flush(agent);
        break;
      case Ending::Reset:
      case Ending::Close:
        break;
    }
    ++figures_.abrupt;
    CloseSocket(agent, ending == Ending::MidLineReset || ending == Ending::Reset);
    agent.nextAction = Clock::now() + milliseconds(Uniform(20, 300) * kPace);
  }

  void StepChurn(Agent& agent, Clock::time_point now) {
    switch (agent.phase) {
      case Phase::Offline:
        if (!stopping_ && now >= agent.nextAction) StartSession(agent, now);
        return;
      case Phase::Connecting:
        if (now >= agent.phaseDeadline) CloseSocket(agent);  // the backlog was full: retry
        return;
      case Phase::Registering:
        if (agent.idleSession && now >= agent.sessionEnd) {
          CloseSocket(agent);
        } else if (!agent.idleSession && now >= agent.phaseDeadline) {
          Fail("churn client " + agent.nick + " was neither welcomed nor refused");
          CloseSocket(agent);
        }
        return;
      case Phase::Quitting:
        if (now >= agent.phaseDeadline) {
          Fail("the server did not close " + agent.nick + " after its QUIT");
          CloseSocket(agent);
        }
        return;
      case Phase::Online:
        break;
    }
    if (now < agent.nextAction) return;
    if (now >= agent.sessionEnd) {
      EndSession(agent, static_cast<Ending>(Uniform(0, 4) < 2 ? 0 : Uniform(1, 4)));
      return;
    }
    agent.nextAction = now + milliseconds(Uniform(30, 150) * kPace);
    if (!agent.out.empty()) return;  // still sending the last one
    ++figures_.actions;
    const int pick = Uniform(0, 99);
    if (pick < 20) {
      Queue(agent, "PRIVMSG " + JoinedOrAny(agent) + " :churn " + agent.nick + " " +
                       std::string(static_cast<std::size_t>(Uniform(0, 300)), 'y'));
    } else if (pick < 25) {
      Queue(agent, "PRIVMSG " + AnyNick() + " :psst");
    } else if (pick < 42) {
      Queue(agent, "JOIN " + AnyChannel());
    } else if (pick < 54) {
      Queue(agent, "PART " + JoinedOrAny(agent));
    } else if (pick < 59) {
      NewNick(agent);
      Queue(agent, "NICK " + agent.nick);
    } else if (pick < 66) {
      Queue(agent, "KICK " + JoinedOrAny(agent) + " " + AnyNick() + " :out");
    } else if (pick < 71) {
      Queue(agent, "TOPIC " + JoinedOrAny(agent) + " :<b>" + agent.nick + "</b> & more");
    } else if (pick < 96) {
      static const char* const kQueries[] = {"LIST",   "NAMES ", "WHO ",  "WHOIS ",
                                             "LUSERS", "MODE ",  "TOPIC "};
      const std::string query = kQueries[Uniform(0, 6)];
      const std::string argument =
          query == "WHOIS " ? AnyNick() : (query.back() == ' ' ? JoinedOrAny(agent) : "");
      Queue(agent, query + argument);
    } else {
      Queue(agent, "PING :" + agent.nick);
    }
  }

  void Checkpoint() {
    const TableCensus census = TakeCensus(server_.Server());
    ++figures_.checkpoints;
    for (const std::string& problem : census.problems) Fail("checkpoint: " + problem);
    figures_.maxInUse = std::max(figures_.maxInUse, census.inUse);
    figures_.maxChannels = std::max(figures_.maxChannels, census.channels);
    // The stable clients never leave their channels.
    for (const auto& [channel, nicks] : StableMembership()) {
      const auto found = census.members.find(channel);
      for (const std::string& nick : nicks) {
        if (found == census.members.end() || found->second.count(nick) == 0) {
          Fail("checkpoint: " + nick + " is missing from " + channel);
        }
      }
    }
    if (figures_.checkpoints % kSweepEveryCheckpoints == 0) server_.Server().RequestSweep();
  }

  const Plan plan_;
  TestServer& server_;
  std::mt19937 random_;
  std::vector<Agent> agents_;
  std::vector<long> sent_;                       // [sender][channel]
  std::vector<long> received_;                   // [receiver][sender][channel]
  std::vector<std::vector<int>> stableMembers_;  // [channel] -> stable ids
  std::vector<std::string> problems_;
  int problemCount_ = 0;
  bool stopping_ = false;
  Figures figures_;
};

// Enough descriptors for both ends of every client, when the soft limit is low.
void RaiseDescriptorLimit(int clients) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t want = static_cast<rlim_t>(clients) * 2 + 256;
  if (limit.rlim_cur >= want) return;
  limit.rlim_cur = std::min(want, limit.rlim_max);
  (void)setrlimit(RLIMIT_NOFILE, &limit);  // a failure shows up as connect errors
}

TEST(Soak, ManyClientsKeepTheTablesConsistentAndLoseNoLine) {
  const Plan plan = MakePlan();
  RaiseDescriptorLimit(plan.stable + plan.churn);
  // A sanitizer runtime starts a helper thread along with the first thread
  // of the process; one is started and ended here so the count excludes it.
  // A joined thread can still be listed for a moment: wait until it is not.
  pid_t probe = 0;
  std::thread([&probe] { probe = gettid(); }).join();
  ASSERT_TRUE(WaitUntil(
      [&] { return access(("/proc/self/task/" + std::to_string(probe)).c_str(), F_OK) != 0; }));
  const int threadsBefore = ThreadCount();
  const int fdsBefore = FdCount();
  const std::size_t heapBefore = mallinfo2().uordblks;
  Figures figures;
  {
    TestServer server(SettingsMap{{"Program.UserMax", std::to_string(plan.userMax)},
                                  {"Program.ChanMax", std::to_string(plan.chanMax)},
                                  {"Log.Lines", "50"}});
    ASSERT_TRUE(server.Started()) << server.StartError();
    Soak soak(plan, server);
    ASSERT_TRUE(soak.SetUpStable()) << ::testing::PrintToString(soak.Problems());
    soak.Run();
    soak.StopChurn();
    EXPECT_TRUE(soak.DrainStable()) << "stable lines still missing after the drain";

    // Only the stable clients are left, exactly in their channels.
    const std::set<std::string> stableNicks = soak.StableNicks();
    const auto stableMembers = soak.StableMembership();
    TableCensus census = soak.WaitForCensus([&](const TableCensus& c) {
      return c.inUse == plan.stable && c.nicks == stableNicks && c.members == stableMembers;
    });
    EXPECT_TRUE(census.problems.empty()) << ::testing::PrintToString(census.problems);
    EXPECT_EQ(census.inUse, plan.stable);
    EXPECT_EQ(census.registered, plan.stable);
    EXPECT_EQ(census.nicks, stableNicks);
    EXPECT_EQ(census.members, stableMembers);

    soak.QuitStable();
    census =
        soak.WaitForCensus([](const TableCensus& c) { return c.inUse == 0 && c.channels == 0; });
    EXPECT_TRUE(census.problems.empty()) << ::testing::PrintToString(census.problems);
    EXPECT_EQ(census.inUse, 0);
    EXPECT_EQ(census.channels, 0);
    EXPECT_EQ(soak.ProblemCount(), 0) << ::testing::PrintToString(soak.Problems());

    figures = soak.Stats();
    // The limits were really reached: some sessions found the table full,
    // and the channel table was full at some checkpoint.
    EXPECT_GT(figures.refused, 0);
    EXPECT_EQ(figures.maxChannels, plan.chanMax);
    EXPECT_EQ(figures.maxInUse, plan.userMax);
    EXPECT_GT(figures.deliveries, 0);
  }
  // Threads take a moment to vanish after they signalled their end.
  EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }))
      << "threads left behind: " << ThreadCount() << " of " << threadsBefore;
  EXPECT_TRUE(WaitUntil([&] { return FdCount() == fdsBefore; }))
      << "descriptors left open: " << FdCount() << " of " << fdsBefore;
  if (!kSanitized) {
    // The sanitizer builds check leaks at exit instead; here the heap in use
    // must be back near where it was (a little for lazily made statics).
    const std::size_t heapAfter = mallinfo2().uordblks;
    EXPECT_LT(heapAfter, heapBefore + 256 * 1024) << heapBefore << " -> " << heapAfter;
  }
  std::printf(
      "soak: %d s, %d stable + %d churn clients, UserMax %d, ChanMax %d: %ld sessions "
      "(%ld refused at the table's end, %ld quits, %ld abrupt drops), %ld churn actions, %ld "
      "stable lines sent, %ld delivered in order, %d checkpoints, peak %d slots and %d "
      "channels\n",
      plan.seconds, plan.stable, plan.churn, plan.userMax, plan.chanMax, figures.sessions,
      figures.refused, figures.quits, figures.abrupt, figures.actions, figures.stableLines,
      figures.deliveries, figures.checkpoints, figures.maxInUse, figures.maxChannels);
}

}  // namespace
}  // namespace zelkord::testing
