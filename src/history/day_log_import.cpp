// The day-log import. Files are read whole and in name order, so a folder's
// days go in oldest first; the store orders equal minutes by arrival.
#include "history/day_log_import.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "base/jp_text.h"
#include "text/sjis_utf8.h"

namespace zelkord::history {
namespace {

namespace fs = std::filesystem;

bool Digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Number(std::string_view text) {
  int value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value;
}

// Local midnight of yyyymmdd plus hours and minutes, in milliseconds; -1
// for a day or time that does not exist.
std::int64_t LocalMs(std::string_view day, int hour, int minute) {
  if (day.size() != 8 || !Digits(day) || hour > 23 || minute > 59) return -1;
  std::tm t{};
  t.tm_year = Number(day.substr(0, 4)) - 1900;
  t.tm_mon = Number(day.substr(4, 2)) - 1;
  t.tm_mday = Number(day.substr(6, 2));
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_isdst = -1;
  const int month = t.tm_mon;
  const int mday = t.tm_mday;
  const std::time_t when = std::mktime(&t);
  if (when == -1 || t.tm_mon != month || t.tm_mday != mday) return -1;  // 20240231
  return static_cast<std::int64_t>(when) * 1000;
}

bool TakePrefix(std::string_view& text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// A nick as the logs write it: no space and no '>'.
bool IsNick(std::string_view nick) {
  return !nick.empty() && nick.find_first_of(" >") == std::string_view::npos;
}

}  // namespace

bool DayLogRow(std::string_view channel, std::string_view day, std::size_t lineNumber,
               std::string_view line, Row& row) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (line.size() < 6 || !Digits(line.substr(0, 2)) || line[2] != ':' ||
      !Digits(line.substr(3, 2)) || line[5] != ' ') {
    return false;
  }
  const std::int64_t timeMs = LocalMs(day, Number(line.substr(0, 2)), Number(line.substr(3, 2)));
  if (timeMs < 0) return false;
  std::string_view rest = line.substr(6);
  row = Row{};
  if (TakePrefix(rest, "*** ")) {
    if (TakePrefix(rest, base::jp::kNickChange)) {
      const std::size_t arrow = rest.find(" > ");
      if (arrow == std::string_view::npos || !IsNick(rest.substr(0, arrow)) ||
          !IsNick(rest.substr(arrow + 3))) {
        return false;
      }
      row.kind = "NICK";
      row.prefix = text::SjisToDisplayUtf8(rest.substr(0, arrow));
      row.param = text::SjisToDisplayUtf8(rest.substr(arrow + 3));
    } else {
      const std::size_t space = rest.find(' ');
      if (space == std::string_view::npos || !IsNick(rest.substr(0, space))) return false;
      row.prefix = text::SjisToDisplayUtf8(rest.substr(0, space));
      std::string_view what = rest.substr(space);
      if (what == base::jp::kEntered) {
        row.kind = "JOIN";
      } else if (what == base::jp::kLeft) {
        row.kind = "PART";
      } else if (TakePrefix(what, base::jp::kQuitLeft)) {
        row.kind = "QUIT";
        row.text = text::SjisToDisplayUtf8(what);
      } else {
        return false;  // kicks, topics, disconnections: not told apart cleanly
      }
    }
  } else {
    const std::size_t mark = rest.find("> ");
    if (mark == std::string_view::npos || !IsNick(rest.substr(0, mark))) return false;
    row.kind = "PRIVMSG";
    row.prefix = text::SjisToDisplayUtf8(rest.substr(0, mark));
    row.text = text::SjisToDisplayUtf8(rest.substr(mark + 2));
  }
  row.timeMs = timeMs;
  row.target = std::string(channel);
  row.msgid = "daylog-" + std::string(day) + "-" + std::to_string(lineNumber);
  return true;
}

bool ImportDayLogs(Store& store, const std::string& folder, ImportCounts& counts,
                   std::string& error,
                   const std::function<void(const ImportCounts&, std::size_t files)>& progress) {
  struct DayFile {
    fs::path path;
    std::string channel;  // UTF-8
    std::string day;
  };
  std::vector<DayFile> files;
  std::error_code failure;
  fs::directory_iterator channels(folder, failure);
  if (failure) {
    error = "cannot read the day-log folder " + folder + ": " + failure.message();
    return false;
  }
  for (const fs::directory_entry& channel : channels) {
    if (!channel.is_directory(failure)) continue;
    const std::string name = channel.path().filename().string();
    if (name.empty() || (name[0] != '#' && name[0] != '&' && name[0] != '+' && name[0] != '!')) {
      continue;
    }
    fs::directory_iterator days(channel.path(), failure);
    if (failure) continue;
    for (const fs::directory_entry& day : days) {
      const std::string file = day.path().filename().string();
      if (file.size() != 12 || !file.ends_with(".TXT") || !Digits(file.substr(0, 8)) ||
          !day.is_regular_file(failure)) {
        continue;
      }
      files.push_back({day.path(), text::SjisToDisplayUtf8(name), file.substr(0, 8)});
    }
  }
  std::sort(files.begin(), files.end(),
            [](const DayFile& a, const DayFile& b) { return a.path < b.path; });
  for (const DayFile& file : files) {
    std::ifstream in(file.path, std::ios::binary);
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      ++counts.lines;
      Row row;
      if (!DayLogRow(file.channel, file.day, number, line, row)) {
        ++counts.skipped;
        continue;
      }
      // Flushed now and then so the queue never fills; should it fill
      // anyway, it is waited out, never dropped from.
      if (++counts.rows % 4096 == 0) store.Flush();
      while (!store.Append(row)) store.Flush();
    }
    ++counts.files;
    if (progress) progress(counts, files.size());
  }
  store.Flush();
  return true;
}

}  // namespace zelkord::history
