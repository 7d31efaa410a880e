// The import command: the settings as the server would read them, the
// store opened without any server around it.
#include "server/history_import.h"

#include <unistd.h>

#include <cstdio>

#include "history/day_log_import.h"
#include "history/store.h"

namespace zelkord::server {
namespace {

void Progress(const history::ImportCounts& counts, std::size_t files, bool done) {
  constexpr std::size_t kWidth = 30;
  const std::size_t filled = files == 0 ? kWidth : counts.files * kWidth / files;
  std::fprintf(stderr, "\r[%s%s] %zu/%zu files, %zu lines%s", std::string(filled, '#').c_str(),
               std::string(kWidth - filled, '.').c_str(), counts.files, files, counts.lines,
               done ? "\n" : "");
  std::fflush(stderr);
}

}  // namespace

int ImportDayLogsCommand(const config::InstancePaths& paths, const std::string& folder) {
  config::Settings settings;
  try {
    settings = config::LoadSettings(paths).settings;
    (void)config::NumberOf(settings, &config::Settings::historyDays);
  } catch (const config::SettingsNumberError& error) {
    std::fprintf(stderr, "zelkord: %s\n", error.what());
    return 1;
  }
  history::StoreOptions options;
  options.path = config::BesideSettings(paths, settings.historyPath);
  options.keepDays = config::NumberOf(settings, &config::Settings::historyDays);
  options.report = [](std::string_view text) {
    std::fprintf(stderr, "\nzelkord: history: %.*s\n", static_cast<int>(text.size()), text.data());
  };
  std::string error;
  std::unique_ptr<history::Store> store = history::Store::Open(options, error);
  if (!store) {
    std::fprintf(stderr, "zelkord: %s\n", error.c_str());
    return 1;
  }
  history::ImportCounts counts;
  std::size_t total = 0;
  const bool ok = history::ImportDayLogs(*store, folder, counts, error,
                                         [&](const history::ImportCounts& now, std::size_t files) {
                                           total = files;
                                           Progress(now, files, false);
                                         });
  if (!ok) {
    std::fprintf(stderr, "zelkord: %s\n", error.c_str());
    return 1;
  }
  Progress(counts, total, true);
  std::fprintf(stderr, "imported %zu of %zu lines from %zu day logs into %s; %zu lines skipped\n",
               counts.rows, counts.lines, counts.files, options.path.c_str(), counts.skipped);
  return 0;
}

}  // namespace zelkord::server
