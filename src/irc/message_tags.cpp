// Message tags: parsing, escaping, stamps.
#include "irc/message_tags.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace zelkord::irc {
namespace {

constexpr std::string_view kDigits62 =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

void AppendBase62(std::string& out, std::uint64_t number) {
  char digits[16];
  std::size_t count = 0;
  do {
    digits[count++] = kDigits62[number % kDigits62.size()];
    number /= kDigits62.size();
  } while (number != 0);
  while (count > 0) out.push_back(digits[--count]);
}

void Unescape(std::string_view raw, std::string& value) {
  value.clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      value.push_back(raw[i]);
      continue;
    }
    if (++i == raw.size()) break;  // a lone trailing backslash is dropped
    switch (raw[i]) {
      case ':':
        value.push_back(';');
        break;
      case 's':
        value.push_back(' ');
        break;
      case 'r':
        value.push_back('\r');
        break;
      case 'n':
        value.push_back('\n');
        break;
      default:  // "\\" and any unknown escape: the character itself
        value.push_back(raw[i]);
        break;
    }
  }
}

// The process's id prefix: its start time, so that ids stay unique across
// restarts; a separator keeps prefix and counter apart.
const std::string& IdPrefix() {
  static const std::string prefix = [] {
    std::string text;
    AppendBase62(text, static_cast<std::uint64_t>(NowMs()));
    return text;
  }();
  return prefix;
}

std::atomic<std::uint64_t> nextId{0};

}  // namespace

void ParseTags(std::string_view text, Tags& tags) {
  tags.clear();
  std::string value;
  while (!text.empty()) {
    const std::size_t end = text.find(';');
    const std::string_view item = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t equals = item.find('=');
    const std::string_view key = item.substr(0, equals);
    if (key.empty()) continue;
    Unescape(equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1),
             value);
    Tag* found = nullptr;
    for (Tag& tag : tags) {
      if (tag.key == key) found = &tag;
    }
    if (found != nullptr) {
      found->value = value;
    } else {
      tags.push_back({std::string(key), value});
    }
  }
}

void AppendEscapedValue(std::string& out, std::string_view value) {
  for (char c : value) {
    switch (c) {
      case ';':
        out.append("\\:");
        break;
      case ' ':
        out.append("\\s");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\n':
        out.append("\\n");
        break;
      default:
        out.push_back(c);
        break;
    }
  }
}

void AppendTag(std::string& out, std::string_view key, std::string_view value) {
  if (!out.empty()) out.push_back(';');
  out.append(key);
  if (value.empty()) return;
  out.push_back('=');
  AppendEscapedValue(out, value);
}

std::string SerialiseTags(const Tags& tags) {
  std::string out;
  for (const Tag& tag : tags) AppendTag(out, tag.key, tag.value);
  return out;
}

const std::string* FindTag(const Tags& tags, std::string_view key) {
  for (const Tag& tag : tags) {
    if (tag.key == key) return &tag.value;
  }
  return nullptr;
}

void SplitTagPart(std::string_view line, std::string_view& tagText, std::string_view& rest) {
  tagText = {};
  rest = line;
  if (line.empty() || line[0] != '@') return;
  const std::size_t space = line.find(' ');
  tagText = line.substr(1, space == std::string_view::npos ? std::string_view::npos : space - 1);
  if (space == std::string_view::npos) {
    rest = {};
    return;
  }
  const std::size_t start = line.find_first_not_of(' ', space);
  rest = start == std::string_view::npos ? std::string_view() : line.substr(start);
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

MessageStamp NewStamp() {
  MessageStamp stamp;
  stamp.timeMs = NowMs();
  stamp.msgid = IdPrefix();
  stamp.msgid.push_back('x');
  AppendBase62(stamp.msgid, nextId.fetch_add(1, std::memory_order_relaxed));
  return stamp;
}

std::string FormatServerTime(std::int64_t timeMs) {
  const std::time_t seconds = static_cast<std::time_t>(timeMs / 1000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::string out(text, length);
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(timeMs % 1000));
  return out.append(millis);
}

std::string NewBatchRef() {
  std::string ref = "b";
  AppendBase62(ref, nextId.fetch_add(1, std::memory_order_relaxed));
  return ref;
}

std::optional<std::int64_t> ParseServerTime(std::string_view text) {
  // YYYY-MM-DDThh:mm:ss, then optionally a fraction, then Z.
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  auto number = [&text](std::size_t at, std::size_t width, int& out) {
    if (at + width > text.size()) return false;
    const auto [end, error] = std::from_chars(text.data() + at, text.data() + at + width, out);
    return error == std::errc() && end == text.data() + at + width;
  };
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text.back() != 'Z' || !number(0, 4, year) || !number(5, 2, month) ||
      !number(8, 2, day) || !number(11, 2, hour) || !number(14, 2, minute) ||
      !number(17, 2, second) || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  int millis = 0;
  const std::string_view rest = text.substr(19, text.size() - 20);
  if (!rest.empty()) {
    if (rest[0] != '.' || rest.size() < 2) return std::nullopt;
    int scale = 100;
    for (char c : rest.substr(1)) {
      if (c < '0' || c > '9') return std::nullopt;
      millis += (c - '0') * scale;
      scale /= 10;
    }
  }
  std::tm civil{};
  civil.tm_year = year - 1900;
  civil.tm_mon = month - 1;
  civil.tm_mday = day;
  civil.tm_hour = hour;
  civil.tm_min = minute;
  civil.tm_sec = second;
  return static_cast<std::int64_t>(timegm(&civil)) * 1000 + millis;
}

}  // namespace zelkord::irc
