// The configuration check: what a start reads (the settings file, the
// message of the day, the status-page templates and the TLS pair), read
// the same way, with every problem named by its section and key. Nothing
// is bound and nothing is written.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"

namespace zelkord::server {

// The status-page templates the settings name that cannot be read, each as
// a fault of its key; none while the pages are not served (Web.Send is not
// "Enable"). Any thread.
[[nodiscard]] std::vector<config::SettingsFault> TemplateFaults(const config::Settings& settings);

// Reads what a start at paths would read, as it would read it, shipped
// files from shippedFolder counting as in place, and returns one line per
// problem: the settings file's path, then "[Section] Key: " and what is
// wrong. A missing settings file is the one problem. None when a start
// would find nothing wrong before it binds its ports. Main thread.
[[nodiscard]] std::vector<std::string> CheckConfiguration(const config::InstancePaths& paths,
                                                          const std::string& shippedFolder);

}  // namespace zelkord::server
