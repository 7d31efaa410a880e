// Program entry: reads the command line and the environment, finds the
// instance's files and runs the server with the window, or headless when
// there is no display (or when asked). Headless, SIGINT and SIGTERM are the
// close request and SIGHUP reloads the settings file.
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/version.h"
#include "config/operator_password.h"
#include "config/settings.h"
#include "server/config_check.h"
#include "server/history_import.h"
#include "server/server.h"
#include "text/sjis_utf8.h"
#include "window/headless_desk.h"

#if defined(ZELKORD_HAVE_WINDOW)
#include "window/qt/run_window.h"
#endif

namespace {

constexpr const char* kUsage =
    "usage: zelkord [--headless] [--verbose] [--config FILE]\n"
    "       zelkord --hash-password\n"
    "       zelkord --import-day-logs DIR [--config FILE]\n"
    "       zelkord --check-config [--config FILE]\n"
    "  --headless     run without the window (also when no display is available)\n"
    "  --verbose      headless: also print every line sent and received\n"
    "  --config FILE  use FILE as the settings file; the other files default beside it\n"
    "  --hash-password  read a password (without echo on a terminal) and print its\n"
    "                 hash for a name=hash line of the [Operators] section\n"
    "  --import-day-logs DIR  read the day logs below DIR (DIR/<channel>/yyyymmdd.TXT)\n"
    "                 into the history store the settings name; again adds nothing\n"
    "  --check-config read the settings file, the message of the day, the templates\n"
    "                 and the TLS pair as a start would, binding and writing nothing;\n"
    "                 print each problem with its section and key, exit 0 when none\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "signals (headless):\n"
    "  SIGTERM, SIGINT  stop: close the listeners, end every connection, exit 0\n"
    "  SIGHUP           reload the settings file: the message of the day, the ban list,\n"
    "                   the operators, the web switch, password and templates, and the\n"
    "                   TLS pair apply at once; other changes wait for the next start\n"
    "\n"
    "files (FOLDER is the settings file's folder):\n"
    "  zelkord.INI beside the program, or FILE      the settings\n"
    "  FOLDER/zelkord.MTD (FILE's name with .MTD)   the message of the day\n"
    "  FOLDER/IndexForm.html, FOLDER/LogForm.html   the status page templates\n"
    "  FOLDER/<channel>/yyyymmdd.TXT                the day logs (Log.Path)\n"
    "  FOLDER/history.sqlite                        the history store (History.Path)\n"
    "  a missing message of the day or template at its default place is copied\n"
    "  at start from share/zelkord/ of an installed program (or from the build\n"
    "  folder, for a program run from there)\n"
    "\n"
    "settings (section.key, default):\n"
    "  Program.UserMax 64          connections at once\n"
    "  Program.ChanMax 10          channels one user may join\n"
    "  Program.AddressMax 0        connections one address may hold (0: no limit)\n"
    "  Program.RegisterTimeout 0   seconds to register (0: the liveness sweeps decide)\n"
    "  Program.FloodBurst 0        lines a client may send at once (0: no flood control)\n"
    "  Program.FloodRate 1         lines a second after the burst\n"
    "  Server.Port 6667            the IRC port\n"
    "  Server.PassWord (empty)     the connection password\n"
    "  Server.Name Zel.Server(^^   the server's name\n"
    "  Server.Information Harbor City\n"
    "  Server.UserMode oirw, Server.ChanMode abiklmnopqstv\n"
    "  Server.MotdPath FOLDER/zelkord.MTD\n"
    "  Server.Charset ISO-2022-JP  a new connection's encoding (or UTF-8, Shift_JIS)\n"
    "  Server.TlsPort (empty)      the TLS port (empty: none)\n"
    "  Server.TlsCertificate FOLDER/zelkord.crt, Server.TlsKey FOLDER/zelkord.key\n"
    "  Client.Nick ZELKNIK, Client.Real Zelkord Admin   the operator client\n"
    "  Log.Lines 200               lines a channel view keeps\n"
    "  Log.Save Disable            Enable writes the day logs\n"
    "  Log.Path FOLDER/            the day logs' folder\n"
    "  Web.Port 80, Web.PassWord (empty), Web.Send Disable\n"
    "  Web.IndexForm FOLDER/IndexForm.html, Web.LogForm FOLDER/LogForm.html\n"
    "  Color.WebLogBack clGray, Color.WebLogFore clWindowText,\n"
    "  Color.LogBack clWindow, Color.LogFore clWindowText\n"
    "  History.Save Enable         keep channel lines in the history store\n"
    "  History.Path FOLDER/history.sqlite, History.Days 365 (0: keep all),\n"
    "  History.Max 100             the most lines one history request returns\n"
    "  Position.Top 100, Position.Left 100, Position.Height 386, Position.Width 546\n"
    "  BanList.Count 0, BanList.Ip0 ... the ban patterns\n"
    "  Operators.NAME HASH         an operator for OPER NAME (see --hash-password)\n";

struct Options {
  bool headless = false;
  bool verbose = false;
  bool hashPassword = false;
  bool checkConfig = false;
  std::string importFolder;  // --import-day-logs
  std::string config;
};

// false (after saying why) when the command line is not understood.
bool ParseOptions(int argc, char** argv, Options& options, bool& exitNow) {
  exitNow = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--headless") {
      options.headless = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--hash-password") {
      options.hashPassword = true;
    } else if (arg == "--check-config") {
      options.checkConfig = true;
    } else if (arg == "--import-day-logs" && i + 1 < argc) {
      options.importFolder = argv[++i];
    } else if (arg == "--config" && i + 1 < argc) {
      options.config = argv[++i];
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      exitNow = true;
    } else if (arg == "--version") {
      std::printf("Zelkord %.*s\n", static_cast<int>(zelkord::base::kVersion.size()),
                  zelkord::base::kVersion.data());
      exitNow = true;
    } else {
      std::fprintf(stderr, "zelkord: unknown argument '%s'\n%s", arg.c_str(), kUsage);
      return false;
    }
  }
  return true;
}

// What the environment asks of the server, read here once: nothing below
// main reads the environment.
zelkord::server::ServerOptions ServerOptionsFromEnvironment() {
  zelkord::server::ServerOptions options;
  options.shippedFolder = zelkord::config::ShippedFolder();
  // ZELKORD_PARK_AFTER_MS: the idle time before a connection is parked (0
  // to compare without parking); anything but a whole number is ignored.
  if (const char* park = std::getenv("ZELKORD_PARK_AFTER_MS"); park != nullptr) {
    const std::string_view text(park);
    int ms = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (error == std::errc() && end == text.data() + text.size() && ms >= 0) {
      options.parkAfter = std::chrono::milliseconds(ms);
    }
  }
  // ZELKORD_BATCHED_SENDS=0 keeps to one send() per connection, to compare.
  const char* batched = std::getenv("ZELKORD_BATCHED_SENDS");
  options.batchedSends = batched == nullptr || std::string_view(batched) != "0";
  return options;
}

std::string ProgramFile(const char* argv0) {
  char path[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length > 0) return std::string(path, static_cast<std::size_t>(length));
  return argv0;
}

// How often the service manager's status line is brought up to date.
constexpr timespec kStatusEvery{10, 0};

// Tells the service manager, when one started the program (NOTIFY_SOCKET);
// nothing otherwise.
void NotifyServiceManager(const std::string& state) {
  (void)sd_notify(0, state.c_str());
}

std::string CountsStatus(zelkord::server::Server& server) {
  const auto [users, channels] = server.UserAndChannelCounts();
  return "STATUS=" + std::to_string(users) + " users, " + std::to_string(channels) + " channels";
}

// Reads one line from standard input, without echo when it is a terminal,
// and prints its hash for the [Operators] section. Returns the exit status.
int PrintPasswordHash() {
  const bool terminal = isatty(STDIN_FILENO) != 0;
  termios saved{};
  const bool quiet = terminal && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
  }
  if (terminal) std::fputs("Password: ", stderr);
  std::string password;
  for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
    password.push_back(static_cast<char>(c));
  }
  if (quiet) {
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  if (password.ends_with('\r')) password.pop_back();
  if (password.empty()) {
    std::fputs("zelkord: no password given\n", stderr);
    return 1;
  }
  const std::string hash = zelkord::config::HashPassword(password);
  std::fill(password.begin(), password.end(), '\0');
  if (hash.empty()) {
    std::fputs("zelkord: the password could not be hashed\n", stderr);
    return 1;
  }
  std::printf("%s\n", hash.c_str());
  return 0;
}

// Prints each problem a start would meet and a closing line. Returns the
// exit status: 0 when there is none.
int CheckConfig(const zelkord::config::InstancePaths& paths) {
  const std::vector<std::string> problems =
      zelkord::server::CheckConfiguration(paths, zelkord::config::ShippedFolder());
  for (const std::string& problem : problems) {
    std::printf("%s\n", zelkord::text::SjisToDisplayUtf8(problem).c_str());
  }
  if (problems.empty()) {
    std::puts("configuration OK");
    return 0;
  }
  std::printf("%zu problem%s\n", problems.size(), problems.size() == 1 ? "" : "s");
  return 1;
}

long long MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int RunHeadless(const zelkord::config::InstancePaths& paths,
                const zelkord::server::ServerOptions& serverOptions, bool verbose) {
  // The close and reload requests arrive as signals; every thread started
  // from here on inherits the block, and only the wait below takes them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  zelkord::window::HeadlessDesk desk(stdout, stderr, verbose);
  int status = 0;
  {
    zelkord::server::Server server(desk, paths, serverOptions);
    const zelkord::server::StartResult started = server.Start();
    if (!started.ok) {
      desk.ShowError(started.error);
      status = 1;
    } else {
      // The service manager (when there is one) hears of the listeners
      // bound, each reload, the counts now and then, and the stop.
      NotifyServiceManager("READY=1\n" + CountsStatus(server));
      for (;;) {
        const int signal = sigtimedwait(&signals, nullptr, &kStatusEvery);
        if (signal < 0) {
          NotifyServiceManager(CountsStatus(server));
          continue;
        }
        if (signal != SIGHUP) break;
        NotifyServiceManager("RELOADING=1\nMONOTONIC_USEC=" +
                             std::to_string(MonotonicMicroseconds()));
        (void)server.Reload();
        NotifyServiceManager("READY=1\n" + CountsStatus(server));
      }
      NotifyServiceManager("STOPPING=1\nSTATUS=stopping");
    }
    server.ShutDown();
    server.WaitDrained();
  }
  desk.ShowStatus(status == 0 ? "stopped" : "not started");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool exitNow = false;
  if (!ParseOptions(argc, argv, options, exitNow)) return 2;
  if (exitNow) return 0;
  if (options.hashPassword) return PrintPasswordHash();
  const zelkord::config::InstancePaths paths =
      options.config.empty() ? zelkord::config::PathsFor(ProgramFile(argv[0]))
                             : zelkord::config::PathsForConfig(options.config);
  if (!options.importFolder.empty()) {
    return zelkord::server::ImportDayLogsCommand(paths, options.importFolder);
  }
  if (options.checkConfig) return CheckConfig(paths);
  const zelkord::server::ServerOptions serverOptions = ServerOptionsFromEnvironment();
  const bool haveDisplay =
      std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
#if defined(ZELKORD_HAVE_WINDOW)
  if (!options.headless && haveDisplay) {
    return zelkord::window::RunWindow(argc, argv, paths, serverOptions);
  }
#else
  (void)haveDisplay;
#endif
  return RunHeadless(paths, serverOptions, options.verbose);
}
