// Time formatting with fixed English month names.
#include "frame/clock.h"

#include <cstdio>

namespace zelkord::frame {
namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::tm Local(std::time_t when) {
  std::tm parts{};
  localtime_r(&when, &parts);
  return parts;
}

}  // namespace

std::string ConversationStamp(std::time_t when) {
  std::tm t = Local(when);
  char text[64];
  std::snprintf(text, sizeof text, "%02d:%02d ", t.tm_hour, t.tm_min);
  return text;
}

std::string ConversationStamp() {
  return ConversationStamp(std::time(nullptr));
}

std::string LongDateTime(std::time_t when) {
  std::tm t = Local(when);
  char text[64];
  std::snprintf(text, sizeof text, "%s %02d %04d %02d:%02d:%02d", kMonths[t.tm_mon % 12], t.tm_mday,
                t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::string LongDateTime() {
  return LongDateTime(std::time(nullptr));
}

std::string DayStamp(std::time_t when) {
  std::tm t = Local(when);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return text;
}

std::string ClockTime(std::time_t when) {
  std::tm t = Local(when);
  char text[64];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

}  // namespace zelkord::frame
