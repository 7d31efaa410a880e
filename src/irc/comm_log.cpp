// Communication log pages, one per connection slot.
#include "irc/comm_log.h"

namespace zelkord::irc {

CommLog::CommLog(int pages, irc::Desk& desk)
    : desk_(desk),
      keepLines_(desk.ShowsTrafficLines()),
      pageCount_(pages > 0 ? pages : 0),
      pages_(static_cast<std::size_t>(pageCount_)) {}

bool CommLog::IsOpen(int slot) {
  base::MutexLock lock(mutex_);
  return slot >= 0 && slot < pageCount_ && pages_[static_cast<std::size_t>(slot)].open;
}

void CommLog::OpenLogPage(int slot, std::string_view address) {
  {
    base::MutexLock lock(mutex_);
    if (slot < 0 || slot >= static_cast<int>(pages_.size())) return;
    Page& page = pages_[static_cast<std::size_t>(slot)];
    page.open = true;
    page.caption.clear();
    page.received.Clear();
    page.sent.Clear();
  }
  desk_.LogPageOpened(slot, address);
}

void CommLog::CloseLogPage(int slot) {
  {
    base::MutexLock lock(mutex_);
    if (slot < 0 || slot >= static_cast<int>(pages_.size())) return;
    Page& page = pages_[static_cast<std::size_t>(slot)];
    page.open = false;
    page.caption.clear();
    page.received.Clear();
    page.sent.Clear();
  }
  desk_.LogPageClosed(slot);
}

void CommLog::SetCaption(int slot, std::string_view caption) {
  {
    base::MutexLock lock(mutex_);
    if (slot < 0 || slot >= static_cast<int>(pages_.size())) return;
    Page& page = pages_[static_cast<std::size_t>(slot)];
    if (!page.open) return;
    page.caption.assign(caption);
  }
  desk_.LogPageCaption(slot, caption);
}

void CommLog::LogTraffic(int slot, irc::Traffic direction, std::string_view text) {
  {
    base::MutexLock lock(mutex_);
    if (slot < 0 || slot >= static_cast<int>(pages_.size())) return;
    Page& page = pages_[static_cast<std::size_t>(slot)];
    if (!page.open) return;
    if (keepLines_) (direction == irc::Traffic::Received ? page.received : page.sent).Append(text);
  }
  desk_.TrafficLogged(slot, direction, text);
}

void CommLog::LogSent(const std::vector<int>& slots, std::string_view text) {
  if (keepLines_) {
    base::MutexLock lock(mutex_);
    for (int slot : slots) {
      if (slot < 0 || slot >= pageCount_) continue;
      Page& page = pages_[static_cast<std::size_t>(slot)];
      if (page.open) page.sent.Append(text);
    }
  }
  desk_.SentLogged(slots, text);
}

LogPageSnapshot CommLog::Snapshot(int slot) {
  base::MutexLock lock(mutex_);
  LogPageSnapshot copy;
  if (slot < 0 || slot >= static_cast<int>(pages_.size())) return copy;
  const Page& page = pages_[static_cast<std::size_t>(slot)];
  copy.open = page.open;
  copy.caption = page.caption;
  copy.received = page.received.Copy();
  copy.sent = page.sent.Copy();
  return copy;
}

}  // namespace zelkord::irc
