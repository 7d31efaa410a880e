// The nick history that WHOWAS reads: the last kWhowasKept nicks that
// registered users gave up (by quitting, by losing the connection or by
// taking another nick), newest first. It stores and looks up; it never
// sends. The server's protocol lock guards it.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace zelkord::irc {

inline constexpr std::size_t kWhowasKept = 100;

struct WhowasEntry {
  std::string nick;
  std::string userName;
  std::string host;  // the address, as WHOIS shows it
  std::string realName;
  std::string when;  // when the nick was given up, as the welcome burst writes times
};

class WhowasRecord {
 public:
  // Records an entry as the newest, dropping the oldest beyond kWhowasKept.
  void Add(WhowasEntry entry);

  // The entries whose nick folds equal to nick, newest first, at most
  // limit of them (0 or less: all).
  [[nodiscard]] std::vector<WhowasEntry> Find(std::string_view nick, int limit) const;

 private:
  std::deque<WhowasEntry> entries_;  // newest first
};

}  // namespace zelkord::irc
