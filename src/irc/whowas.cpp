// The nick history: a bounded queue, newest at the front.
#include "irc/whowas.h"

#include "base/sjis.h"

namespace zelkord::irc {

void WhowasRecord::Add(WhowasEntry entry) {
  entries_.push_front(std::move(entry));
  if (entries_.size() > kWhowasKept) entries_.pop_back();
}

std::vector<WhowasEntry> WhowasRecord::Find(std::string_view nick, int limit) const {
  std::vector<WhowasEntry> found;
  for (const WhowasEntry& entry : entries_) {
    if (limit > 0 && static_cast<int>(found.size()) >= limit) break;
    if (base::EqualsFolded(entry.nick, nick)) found.push_back(entry);
  }
  return found;
}

}  // namespace zelkord::irc
