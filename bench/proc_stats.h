// Reads another process's CPU time and resident memory from /proc, so the
// load generator can charge the server for the work it did during a run.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

namespace zelkord::bench {

// User plus system CPU seconds of all threads of process pid so far, from
// /proc/<pid>/stat; nullopt when the process is gone or the file is not
// understood. Any thread.
[[nodiscard]] std::optional<double> ReadCpuSeconds(pid_t pid);

// Resident set size of process pid in KiB (VmRSS of /proc/<pid>/status);
// nullopt when unreadable. Any thread.
[[nodiscard]] std::optional<long> ReadRssKiB(pid_t pid);

// Number of threads of process pid (Threads of /proc/<pid>/status);
// nullopt when unreadable. Any thread.
[[nodiscard]] std::optional<long> ReadThreadCount(pid_t pid);

// The clock-tick total (utime + stime) from the text of a stat file, or
// nullopt when it does not have the expected fields. Any thread.
[[nodiscard]] std::optional<unsigned long long> ParseStatTicks(std::string_view statText);

// The number after "<key>:" in the text of a status file (the unit, if any,
// is ignored), or nullopt when the key is missing. Any thread.
[[nodiscard]] std::optional<long> ParseStatusField(std::string_view statusText,
                                                   std::string_view key);

}  // namespace zelkord::bench
