// /metrics over real sockets: the text exposition format a collector
// parses, counters and gauges that follow real traffic over plain and TLS
// connections, the web password, and the limit to one local address.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "base/version.h"
#include "support/http_fetch.h"
#include "support/tls_client.h"

namespace zelkord::testing {
namespace {

const std::string kMetricsHeader =
    "HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n";

// A scrape as a collector reads it: each sample line ("name{labels} value")
// must follow the # HELP and # TYPE lines of its family (a counter's name
// ending in _total), once each, and carry a number. Samples are keyed by
// name with labels; problem names the first line that breaks the format.
struct Scrape {
  std::map<std::string, std::string> types;  // family -> type
  std::map<std::string, double> samples;
  std::string problem;

  explicit Scrape(const std::string& response) {
    const std::size_t body = response.find("\r\n\r\n");
    if (response.rfind(kMetricsHeader, 0) != 0 || body == std::string::npos) {
      problem = "no metrics header";
      return;
    }
    std::istringstream lines(response.substr(body + 4));
    std::set<std::string> helped;
    for (std::string line; std::getline(lines, line) && problem.empty();) {
      std::istringstream words(line);
      std::string first, second, third;
      words >> first >> second >> third;
      if (first == "#" && second == "HELP" && helped.insert(third).second) continue;
      if (first == "#" && second == "TYPE" && helped.count(third) != 0 &&
          types.emplace(third, line.substr(line.rfind(' ') + 1)).second) {
        continue;
      }
      const std::string name = first.substr(0, first.find('{'));
      char* end = nullptr;
      const double value = std::strtod(second.c_str(), &end);
      if (types.count(name) == 0 || second.empty() || *end != '\0' || !third.empty() ||
          samples.count(first) != 0) {
        problem = line;
        break;
      }
      samples[first] = value;
    }
  }
  [[nodiscard]] double At(const std::string& key) const {
    const auto found = samples.find(key);
    return found == samples.end() ? -1 : found->second;
  }
};

TEST(Metrics, FamiliesParseAndFollowTraffic) {
  TempDir keys;
  SettingsMap settings = TlsPortSettings(keys);
  settings.emplace("Web.Metrics", "Enable");
  settings.emplace("Web.PassWord", "Pw");
  WebServer web(settings);
  ASSERT_TRUE(web.server->Started()) << web.server->StartError();
  auto [ann] = RegisteredAll(*web.server, {"ann"}, {"#m"});
  ASSERT_TRUE(ann);
  auto bob = RegisteredTls(web.server->Server().TlsPort(), "bob");
  ASSERT_TRUE(bob);
  bob->Send("JOIN #m");
  ASSERT_NE(bob->ReadUntil(" 366 "), "<timeout>");
  ASSERT_NE(ann->ReadUntil(" JOIN "), "<timeout>");

  // The page is behind the password like every other, and only there.
  EXPECT_EQ(Get(web.Port(), "/metrics"), "");
  EXPECT_EQ(Get(web.Port(), "/wrong/metrics"), "");
  const Scrape before(Get(web.Port(), "/pw/metrics"));
  ASSERT_EQ(before.problem, "");
  ann->Send("PRIVMSG #m :hello over the relay");
  ASSERT_NE(bob->ReadUntil("hello over the relay"), "<timeout>");
  const Scrape after(Get(web.Port(), "/PW/metrics"));
  ASSERT_EQ(after.problem, "");

  const struct {
    const char* family;
    const char* type;
  } kFamilies[] = {
      {"zelkord_connections", "gauge"},
      {"zelkord_registered_users", "gauge"},
      {"zelkord_channels", "gauge"},
      {"zelkord_connection_threads", "gauge"},
      {"zelkord_registrations_total", "counter"},
      {"zelkord_received_lines_total", "counter"},
      {"zelkord_received_bytes_total", "counter"},
      {"zelkord_sent_lines_total", "counter"},
      {"zelkord_sent_bytes_total", "counter"},
      {"zelkord_relayed_lines_total", "counter"},
      {"zelkord_output_overflows_total", "counter"},
      {"zelkord_output_unsent_on_close_total", "counter"},
      {"zelkord_flood_disconnects_total", "counter"},
      {"zelkord_liveness_drops_total", "counter"},
      {"zelkord_accept_backoffs_total", "counter"},
      {"zelkord_day_log_dropped_lines_total", "counter"},
      {"zelkord_history_dropped_lines_total", "counter"},
      {"process_cpu_seconds_total", "counter"},
      {"process_resident_memory_bytes", "gauge"},
      {"process_open_fds", "gauge"},
      {"zelkord_build_info", "gauge"},
  };
  for (const auto& family : kFamilies) {
    EXPECT_EQ(after.types.count(family.family) ? after.types.at(family.family) : "<missing>",
              family.type)
        << family.family;
  }
  EXPECT_EQ(after.types.size(), std::size(kFamilies));

  // Gauges as they are; counters by what the one relayed line added.
  const std::string plainIso = "zelkord_connections{transport=\"plain\",encoding=\"iso-2022-jp\"}";
  const std::string tlsIso = "zelkord_connections{transport=\"tls\",encoding=\"iso-2022-jp\"}";
  const std::string tlsUtf8 = "zelkord_connections{transport=\"tls\",encoding=\"utf-8\"}";
  EXPECT_EQ(after.At(plainIso), 1);
  EXPECT_EQ(after.At(tlsIso), 1);
  EXPECT_EQ(after.At(tlsUtf8), 0);
  EXPECT_EQ(after.At("zelkord_registered_users"), 2);
  EXPECT_EQ(after.At("zelkord_channels"), 1);
  EXPECT_EQ(after.At("zelkord_registrations_total"), 2);
  EXPECT_EQ(after.At("zelkord_build_info{version=\"" + std::string(base::kVersion) + "\"}"), 1);
  const std::string line = "PRIVMSG #m :hello over the relay\r\n";
  const struct {
    const char* counter;
    double least, most;
  } kMoved[] = {
      {"zelkord_received_lines_total", 1, 1},
      {"zelkord_received_bytes_total", static_cast<double>(line.size()),
       static_cast<double>(line.size())},
      {"zelkord_relayed_lines_total", 1, 1},
      {"zelkord_sent_lines_total", 1, 1},
      {"zelkord_sent_bytes_total", 40, 80},  // the relay with ann's prefix
      {"zelkord_output_overflows_total", 0, 0},
      {"zelkord_flood_disconnects_total", 0, 0},
      {"zelkord_liveness_drops_total{reason=\"ping_timeout\"}", 0, 0},
      {"zelkord_accept_backoffs_total{listener=\"irc\"}", 0, 0},
  };
  for (const auto& moved : kMoved) {
    const double delta = after.At(moved.counter) - before.At(moved.counter);
    EXPECT_GE(delta, moved.least) << moved.counter;
    EXPECT_LE(delta, moved.most) << moved.counter;
  }
  EXPECT_GT(after.At("process_resident_memory_bytes"), 1 << 20);
  EXPECT_GT(after.At("process_open_fds"), 4);
}

TEST(Metrics, ServedOnlyWhereSwitchedOnAndAddressed) {
  const struct {
    const char* metrics;
    const char* address;
    const char* host;
    bool served;
  } kCases[] = {
      {"Disable", "", "127.0.0.1", false},
      {"Enable", "", "127.0.0.1", true},
      {"Enable", "", "::1", true},
      {"Enable", "127.0.0.1", "127.0.0.1", true},
      {"Enable", "127.0.0.1", "::1", false},
      {"Enable", "0:0::1", "::1", true},  // any spelling of the address
      {"Enable", "::1", "127.0.0.1", false},
  };
  for (const auto& c : kCases) {
    WebServer web({{"Web.Metrics", c.metrics}, {"Web.MetricsAddress", c.address}});
    ASSERT_TRUE(web.server->Started()) << web.server->StartError();
    if (std::string(c.host) == "::1" && !TestClient(web.Port(), "::1").Connected()) {
      GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    }
    const std::string response =
        Fetch(web.Port(), "GET /metrics HTTP/1.0\r\n\r\n", kReadTimeoutMs, c.host);
    EXPECT_EQ(response.rfind(kMetricsHeader, 0) == 0, c.served)
        << c.metrics << " " << c.address << " from " << c.host << ": " << response;
  }
  TestServer refused(SettingsMap{{"Web.MetricsAddress", "localhost"}});
  EXPECT_FALSE(refused.Started());
  EXPECT_NE(refused.StartError().find("Web.MetricsAddress \"localhost\" is not a numeric address"),
            std::string::npos)
      << refused.StartError();
}

}  // namespace
}  // namespace zelkord::testing
