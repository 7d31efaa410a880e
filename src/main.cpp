// Program entry: reads the command line, finds the instance's files and
// runs the server with the window, or headless when there is no display
// (or when asked). Headless, SIGINT and SIGTERM are the close request and SIGHUP
// loads the TLS certificate and key again.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/version.h"
#include "config/settings.h"
#include "server/server.h"
#include "window/headless_desk.h"

#if defined(ZELKORD_HAVE_WINDOW)
#include "window/qt/run_window.h"
#endif

namespace {

constexpr const char* kUsage =
    "usage: zelkord [--headless] [--verbose] [--config FILE]\n"
    "  --headless     run without the window (also when no display is available)\n"
    "  --verbose      headless: also print every line sent and received\n"
    "  --config FILE  use FILE as the settings file; the other files default beside it\n"
    "  --help         show this text\n"
    "  --version      show the version\n";

struct Options {
  bool headless = false;
  bool verbose = false;
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

std::string ProgramFile(const char* argv0) {
  char path[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length > 0) return std::string(path, static_cast<std::size_t>(length));
  return argv0;
}

int RunHeadless(const zelkord::config::InstancePaths& paths, bool verbose) {
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
    zelkord::server::Server server(desk, paths);
    const zelkord::server::StartResult started = server.Start();
    if (!started.ok) {
      desk.ShowError(started.error);
      status = 1;
    } else {
      for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) continue;
        if (signal != SIGHUP) break;
        (void)server.ReloadTlsCredentials();
      }
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
  const zelkord::config::InstancePaths paths =
      options.config.empty() ? zelkord::config::PathsFor(ProgramFile(argv[0]))
                             : zelkord::config::PathsForConfig(options.config);
  const bool haveDisplay =
      std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
#if defined(ZELKORD_HAVE_WINDOW)
  if (!options.headless && haveDisplay) return zelkord::window::RunWindow(argc, argv, paths);
#else
  (void)haveDisplay;
#endif
  return RunHeadless(paths, options.verbose);
}
