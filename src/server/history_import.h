// `zelkord --import-day-logs DIR`: the day logs below DIR into the history
// store the settings name, with a progress bar on standard error.
#pragma once

#include <string>

#include "config/settings.h"

namespace zelkord::server {

// The exit status: 0 when the import is done, 1 (after a line saying why)
// when it cannot be.
int ImportDayLogsCommand(const config::InstancePaths& paths, const std::string& folder);

}  // namespace zelkord::server
