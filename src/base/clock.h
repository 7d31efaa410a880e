// Local-time texts in the fixed forms the protocol and the views use. Month
// names are always the English abbreviations, whatever the locale.
#pragma once

#include <ctime>
#include <string>

namespace zelkord::base {

// "hh:nn " (two-digit hour 00-23, colon, two-digit minute, one space): the
// time stamp that starts every conversation line. Any thread.
[[nodiscard]] std::string ConversationStamp(std::time_t when);
[[nodiscard]] std::string ConversationStamp();

// "mmm dd yyyy hh:nn:ss", for example "Dec 07 2026 03:04:20". Any thread.
[[nodiscard]] std::string LongDateTime(std::time_t when);
[[nodiscard]] std::string LongDateTime();

// "yyyymmdd", the day-log file name stem. Any thread.
[[nodiscard]] std::string DayStamp(std::time_t when);

// "hh:nn:ss" for console lines. Any thread.
[[nodiscard]] std::string ClockTime(std::time_t when);

}  // namespace zelkord::base
