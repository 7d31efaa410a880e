// Reading the day logs into the history store: DIR/<channel>/yyyymmdd.TXT
// files in Shift_JIS, one "hh:nn " stamped line each. Message lines become
// PRIVMSG rows, joins, parts and nick changes their own kinds, at that
// local day and minute; other lines are skipped and counted. Each imported
// line gets a msgid made of its day and line number, which the store keeps
// unique per channel, so importing the same logs again adds nothing.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "history/store.h"

namespace zelkord::history {

struct ImportCounts {
  std::size_t files = 0;    // day logs read
  std::size_t lines = 0;    // their lines
  std::size_t rows = 0;     // lines given to the store as rows
  std::size_t skipped = 0;  // lines of no form that maps to a row
};

// The row a day-log line of channel (UTF-8) on day (yyyymmdd) stands for;
// false when the line maps to none. lineNumber (from 1) makes the msgid.
[[nodiscard]] bool DayLogRow(std::string_view channel, std::string_view day, std::size_t lineNumber,
                             std::string_view sjisLine, Row& row);

// Imports every day log below folder into store and waits until they are
// committed. progress is told after each file, with the files found in all.
// false, with error set, when folder cannot be read.
bool ImportDayLogs(Store& store, const std::string& folder, ImportCounts& counts,
                   std::string& error,
                   const std::function<void(const ImportCounts&, std::size_t files)>& progress);

}  // namespace zelkord::history
