// Communication log pages, one per connection slot.
#include "irc/comm_log.h"

namespace zelkord::irc {
namespace {

// Enough spare lines that a full view's turnover allocates nothing.
constexpr std::size_t kSpareSentLines = 256;

}  // namespace

CommLog::CommLog(int pages, irc::Desk& desk)
    : desk_(desk),
      keepLines_(desk.ShowsTrafficLines()),
      pageCount_(pages > 0 ? pages : 0),
      pages_(static_cast<std::size_t>(pageCount_)) {}

CommLog::~CommLog() {
  base::MutexLock lock(mutex_);
  for (Page& page : pages_) ClearPage(page);
}

CommLog::SentLine* CommLog::NewSentLine(std::string_view text) {
  SentLine* line = nullptr;
  if (spareLines_.empty()) {
    line = new SentLine;
  } else {
    line = spareLines_.back().release();
    spareLines_.pop_back();
  }
  line->text.assign(text);
  return line;
}

void CommLog::AppendSent(Page& page, SentLine* line) {
  SentLine*& slot = page.sent.Next();
  if (slot != nullptr) Unref(slot);
  slot = line;
  ++line->pages;
}

void CommLog::Unref(SentLine* line) {
  if (--line->pages > 0) return;
  if (spareLines_.size() < kSpareSentLines) {
    spareLines_.emplace_back(line);
  } else {
    delete line;
  }
}

void CommLog::ClearPage(Page& page) {
  page.caption.clear();
  page.received.Clear();
  for (std::size_t i = 0; i < page.sent.Size(); ++i) Unref(page.sent.At(i));
  page.sent.Clear();
}

bool CommLog::IsOpen(int slot) {
  base::MutexLock lock(mutex_);
  return slot >= 0 && slot < pageCount_ && pages_[static_cast<std::size_t>(slot)].open;
}

void CommLog::OpenLogPage(int slot, std::string_view address) {
  {
    base::MutexLock lock(mutex_);
    if (slot < 0 || slot >= static_cast<int>(pages_.size())) return;
    Page& page = pages_[static_cast<std::size_t>(slot)];
    ClearPage(page);
    page.open = true;
  }
  desk_.LogPageOpened(slot, address);
}

void CommLog::CloseLogPage(int slot) {
  {
    base::MutexLock lock(mutex_);
    if (slot < 0 || slot >= static_cast<int>(pages_.size())) return;
    Page& page = pages_[static_cast<std::size_t>(slot)];
    ClearPage(page);
    page.open = false;
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
    if (!keepLines_) {
      // The desk does not show the lines.
    } else if (direction == irc::Traffic::Received) {
      page.received.Append(text);
    } else {
      AppendSent(page, NewSentLine(text));
    }
  }
  desk_.TrafficLogged(slot, direction, text);
}

void CommLog::LogSent(const std::vector<int>& slots, std::string_view text) {
  if (keepLines_) {
    base::MutexLock lock(mutex_);
    SentLine* line = NewSentLine(text);
    ++line->pages;  // held while it is shared out
    for (int slot : slots) {
      if (slot < 0 || slot >= pageCount_) continue;
      Page& page = pages_[static_cast<std::size_t>(slot)];
      if (page.open) AppendSent(page, line);
    }
    Unref(line);
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
  copy.sent.reserve(page.sent.Size());
  for (std::size_t i = 0; i < page.sent.Size(); ++i) copy.sent.push_back(page.sent.At(i)->text);
  return copy;
}

}  // namespace zelkord::irc
