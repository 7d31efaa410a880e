// Time formatting with fixed English month names. Digits are written by
// hand: these run on every connection thread, and printf-style formatting
// costs each thread's stack more than it is worth.
#include "base/clock.h"

namespace zelkord::base {
namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::tm Local(std::time_t when) {
  std::tm parts{};
  localtime_r(&when, &parts);
  return parts;
}

// Appends value as exactly width decimal digits (zero-padded).
void Digits(std::string& out, int value, int width) {
  char text[8];
  for (int i = width - 1; i >= 0; --i) {
    text[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(text, static_cast<std::size_t>(width));
}

// Appends "hh:mm:ss".
void AppendClock(std::string& out, const std::tm& t) {
  Digits(out, t.tm_hour, 2);
  out.push_back(':');
  Digits(out, t.tm_min, 2);
  out.push_back(':');
  Digits(out, t.tm_sec, 2);
}

}  // namespace

std::string ConversationStamp(std::time_t when) {
  const std::tm t = Local(when);
  std::string text;
  Digits(text, t.tm_hour, 2);
  text.push_back(':');
  Digits(text, t.tm_min, 2);
  text.push_back(' ');
  return text;
}

std::string ConversationStamp() {
  return ConversationStamp(std::time(nullptr));
}

std::string LongDateTime(std::time_t when) {
  const std::tm t = Local(when);
  std::string text = kMonths[t.tm_mon % 12];
  text.push_back(' ');
  Digits(text, t.tm_mday, 2);
  text.push_back(' ');
  Digits(text, t.tm_year + 1900, 4);
  text.push_back(' ');
  AppendClock(text, t);
  return text;
}

std::string LongDateTime() {
  return LongDateTime(std::time(nullptr));
}

std::string DayStamp(std::time_t when) {
  const std::tm t = Local(when);
  std::string text;
  Digits(text, t.tm_year + 1900, 4);
  Digits(text, t.tm_mon + 1, 2);
  Digits(text, t.tm_mday, 2);
  return text;
}

std::string ClockTime(std::time_t when) {
  std::string text;
  AppendClock(text, Local(when));
  return text;
}

}  // namespace zelkord::base
