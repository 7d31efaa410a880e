// The metrics a collector reads at /metrics: the server's counters, summed
// at the moment of the request, its gauges, and the process's own figures,
// in the text exposition format.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "base/version.h"
#include "server/server.h"
#include "text/encoding.h"

namespace zelkord::server {
namespace {

// The encodings' label values, in the order of text::Encoding.
constexpr std::array<std::string_view, text::kEncodingCount> kEncodingLabels{"iso-2022-jp", "utf-8",
                                                                             "shift_jis"};

// Appends families to one text: each family's HELP and TYPE lines, then
// its samples.
class Exposition {
 public:
  void Family(std::string_view name, std::string_view type, std::string_view help) {
    text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  // labels is empty or the pairs inside the braces, for example
  // transport="tls",encoding="utf-8".
  void Sample(std::string_view name, std::string_view labels, std::uint64_t value) {
    Name(name, labels).append(std::to_string(value)).append("\n");
  }
  void Sample(std::string_view name, std::string_view labels, double value) {
    char number[32];
    (void)std::snprintf(number, sizeof number, "%.6f", value);
    Name(name, labels).append(number).append("\n");
  }
  // A family of one sample without labels.
  void Single(std::string_view name, std::string_view type, std::string_view help,
              std::uint64_t value) {
    Family(name, type, help);
    Sample(name, {}, value);
  }
  [[nodiscard]] std::string Take() { return std::move(text_); }

 private:
  std::string& Name(std::string_view name, std::string_view labels) {
    text_.append(name);
    if (!labels.empty()) text_.append("{").append(labels).append("}");
    return text_.append(" ");
  }
  std::string text_;
};

// What is read under the protocol lock.
struct ProtocolFigures {
  // Connections by transport (plain, TLS) and encoding.
  std::array<std::array<std::uint64_t, text::kEncodingCount>, 2> connections{};
  std::uint64_t users = 0;
  std::uint64_t channels = 0;
  std::uint64_t registrations = 0;
  irc::ProtocolCounts counts;
};

ProtocolFigures ReadProtocolFigures(irc::ProtocolState& protocol) {
  ProtocolFigures figures;
  irc::ProtocolLock lock(protocol);
  figures.counts = protocol.counts;
  if (!protocol.users || !protocol.channels) return figures;
  const irc::UserTable& users = *protocol.users;
  for (int index = 0; index < users.Capacity(); ++index) {
    const irc::UserSlot& slot = users.Slot(index);
    if (!slot.inUse) continue;
    const auto encoding = static_cast<std::size_t>(slot.encoding.load());
    ++figures.connections[slot.tls ? 1 : 0][encoding];
  }
  figures.users = static_cast<std::uint64_t>(users.RegisteredCount());
  figures.registrations = users.Registrations();
  figures.channels = static_cast<std::uint64_t>(protocol.channels->Count());
  return figures;
}

double CpuSeconds() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

std::uint64_t OpenDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return 0;
  std::uint64_t count = 0;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(folder);
  return count > 0 ? count - 1 : 0;  // the folder's own descriptor is not the process's
}

}  // namespace

std::string Server::MetricsText() {
  const ProtocolFigures figures = ReadProtocolFigures(protocol);
  const irc::ProtocolCounts& counts = figures.counts;
  Exposition out;

  out.Family("zelkord_connections", "gauge", "Client connections by transport and encoding.");
  for (std::size_t transport = 0; transport < 2; ++transport) {
    for (std::size_t encoding = 0; encoding < kEncodingLabels.size(); ++encoding) {
      std::string labels = transport == 0 ? "transport=\"plain\"" : "transport=\"tls\"";
      labels.append(",encoding=\"").append(kEncodingLabels[encoding]).append("\"");
      out.Sample("zelkord_connections", labels, figures.connections[transport][encoding]);
    }
  }
  out.Single("zelkord_registered_users", "gauge", "Registered users.", figures.users);
  out.Single("zelkord_channels", "gauge", "Channels.", figures.channels);
  out.Single("zelkord_connection_threads", "gauge",
             "Threads serving connections (a parked connection counts as one).",
             static_cast<std::uint64_t>(liveConnectionThreads.load()));
  out.Single("zelkord_registrations_total", "counter", "Connections that completed registration.",
             figures.registrations);

  using irc::ReceivedCount;
  out.Single("zelkord_received_lines_total", "counter", "Lines received from clients.",
             protocol.received.Total(ReceivedCount::Lines));
  out.Single("zelkord_received_bytes_total", "counter",
             "Bytes of the lines received from clients, CR LF included.",
             protocol.received.Total(ReceivedCount::Bytes));
  using net::OutputCount;
  const base::Counters<OutputCount>& output = writer.Counts();
  out.Single("zelkord_sent_lines_total", "counter", "Lines queued to clients' connections.",
             counts.sentLines);
  out.Single("zelkord_sent_bytes_total", "counter",
             "Bytes of the lines queued to clients' connections, CR LF included.",
             counts.sentBytes);
  out.Single("zelkord_relayed_lines_total", "counter",
             "Lines relayed on a client's or the server's behalf, one for each recipient.",
             counts.relayedLines);
  out.Single("zelkord_output_overflows_total", "counter",
             "Connections dropped as slow readers: their output queue outgrew its bound.",
             output.Total(OutputCount::Overflows));
  out.Single("zelkord_output_unsent_on_close_total", "counter",
             "Closing connections whose last lines did not leave within the drain time.",
             output.Total(OutputCount::UnsentOnClose));
  out.Single("zelkord_flood_disconnects_total", "counter",
             "Connections closed for sending too many lines too fast.", counts.floodDisconnects);
  out.Family("zelkord_liveness_drops_total", "counter",
             "Connections the liveness sweep dropped: registered ones silent through a sweep"
             " (ping timeout), unregistered ones after the sweeps allowed.");
  out.Sample("zelkord_liveness_drops_total", "reason=\"ping_timeout\"", counts.pingTimeouts);
  out.Sample("zelkord_liveness_drops_total", "reason=\"unregistered\"", counts.unregisteredDrops);
  out.Family("zelkord_accept_backoffs_total", "counter",
             "Pauses after an accept failed for lack of descriptors or memory, by listener.");
  out.Sample("zelkord_accept_backoffs_total", "listener=\"irc\"", irc_.AcceptBackoffs());
  out.Sample("zelkord_accept_backoffs_total", "listener=\"tls\"", tls_.AcceptBackoffs());
  out.Sample("zelkord_accept_backoffs_total", "listener=\"web\"", web_.AcceptBackoffs());
  out.Single("zelkord_day_log_dropped_lines_total", "counter",
             "Day-log lines dropped because the writer's queue was full.",
             dayLogWriter_ ? dayLogWriter_->Dropped() : 0);
  out.Single("zelkord_history_dropped_lines_total", "counter",
             "History lines dropped because the store's queue was full.",
             history_ ? history_->Dropped() : 0);

  out.Family("process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.");
  out.Sample("process_cpu_seconds_total", {}, CpuSeconds());
  out.Single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
             ResidentBytes());
  out.Single("process_open_fds", "gauge", "Open file descriptors.", OpenDescriptors());
  out.Family("zelkord_build_info", "gauge", "The running build; the value is always 1.");
  out.Sample("zelkord_build_info", "version=\"" + std::string(base::kVersion) + "\"",
             std::uint64_t{1});
  return out.Take();
}

}  // namespace zelkord::server
