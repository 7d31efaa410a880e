// /proc readers for the server's CPU time and memory.
#include "proc_stats.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace zelkord::bench {

namespace {

// utime and stime are fields 14 and 15 of stat; counted from the field that
// follows the command name's closing parenthesis (field 3), they are the
// 12th and 13th.
constexpr int kUtimeAfterName = 11;

std::optional<std::string> ReadWhole(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string ProcPath(pid_t pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

}  // namespace

std::optional<unsigned long long> ParseStatTicks(std::string_view statText) {
  // The command name may hold spaces and parentheses; the last ')' ends it.
  const auto close = statText.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::istringstream fields(std::string(statText.substr(close + 1)));
  std::string field;
  unsigned long long ticks = 0;
  for (int index = 0; index <= kUtimeAfterName + 1; ++index) {
    if (!(fields >> field)) return std::nullopt;
    if (index >= kUtimeAfterName) {
      char* end = nullptr;
      const unsigned long long value = std::strtoull(field.c_str(), &end, 10);
      if (end == field.c_str() || *end != '\0') return std::nullopt;
      ticks += value;
    }
  }
  return ticks;
}

std::optional<long> ParseStatusField(std::string_view statusText, std::string_view key) {
  std::size_t lineStart = 0;
  while (lineStart < statusText.size()) {
    std::size_t lineEnd = statusText.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = statusText.size();
    const std::string_view line = statusText.substr(lineStart, lineEnd - lineStart);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':') {
      const std::string number(line.substr(key.size() + 1));
      char* end = nullptr;
      const long value = std::strtol(number.c_str(), &end, 10);
      if (end == number.c_str()) return std::nullopt;
      return value;
    }
    lineStart = lineEnd + 1;
  }
  return std::nullopt;
}

std::optional<double> ReadCpuSeconds(pid_t pid) {
  const auto text = ReadWhole(ProcPath(pid, "stat"));
  if (!text) return std::nullopt;
  const auto ticks = ParseStatTicks(*text);
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (!ticks || ticksPerSecond <= 0) return std::nullopt;
  return static_cast<double>(*ticks) / static_cast<double>(ticksPerSecond);
}

std::optional<long> ReadRssKiB(pid_t pid) {
  const auto text = ReadWhole(ProcPath(pid, "status"));
  if (!text) return std::nullopt;
  return ParseStatusField(*text, "VmRSS");
}

std::optional<long> ReadThreadCount(pid_t pid) {
  const auto text = ReadWhole(ProcPath(pid, "status"));
  if (!text) return std::nullopt;
  return ParseStatusField(*text, "Threads");
}

}  // namespace zelkord::bench
