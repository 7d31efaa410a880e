// The communication log: for every live connection, a page captioned with
// its nickname holding the lines received from it and the lines sent to it,
// each view bounded to 201 lines. Appended from connection threads, so it
// has its own lock; the window reads it through Snapshot.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/bounded_lines.h"
#include "base/mutex.h"
#include "irc/desk.h"

namespace zelkord::irc {

inline constexpr std::size_t kLogViewBound = 200;  // keeps at most 201 lines

struct LogPageSnapshot {
  bool open = false;
  std::string caption;
  std::vector<std::string> received;
  std::vector<std::string> sent;
};

class CommLog {
 public:
  // One page per connection slot; desk is told of every change.
  CommLog(int pages, irc::Desk& desk);
  ~CommLog();
  CommLog(const CommLog&) = delete;
  CommLog& operator=(const CommLog&) = delete;

  // Creates the slot's page with an empty caption and empty views. Any thread.
  void OpenLogPage(int slot, std::string_view address);
  // Destroys the slot's page. Any thread.
  void CloseLogPage(int slot);
  // Sets the page caption (the nickname). Any thread.
  void SetCaption(int slot, std::string_view caption);
  // Appends to the received or sent view; a line for a page that is not
  // open is dropped. Any thread.
  void LogTraffic(int slot, irc::Traffic direction, std::string_view text);
  // The same sent line on the pages of several slots, under one taking of
  // the log's lock (a relay to a channel). Any thread.
  void LogSent(const std::vector<int>& slots, std::string_view text);
  // A copy of one page, taken under the log's lock. Any thread.
  [[nodiscard]] LogPageSnapshot Snapshot(int slot);
  [[nodiscard]] bool IsOpen(int slot);
  [[nodiscard]] int Pages() const { return pageCount_; }

 private:
  // A line on the sent views. A line relayed to a channel is kept once and
  // shared by every member's page, instead of copied onto each; its count
  // of pages is kept under mutex_.
  struct SentLine {
    int pages = 0;
    std::string text;
  };
  struct Page {
    bool open = false;
    std::string caption;
    base::BoundedLines received{kLogViewBound};
    base::BoundedRing<SentLine*> sent{kLogViewBound};
  };

  // A line for the sent views holding text, counting no pages yet.
  SentLine* NewSentLine(std::string_view text) REQUIRES(mutex_);
  // Puts line on the page's sent view, dropping its oldest line if full.
  void AppendSent(Page& page, SentLine* line) REQUIRES(mutex_);
  // Lowers line's count of pages; a line on no page is kept for reuse.
  void Unref(SentLine* line) REQUIRES(mutex_);
  void ClearPage(Page& page) REQUIRES(mutex_);

  irc::Desk& desk_;
  const bool keepLines_;  // the desk shows the pages' lines
  const int pageCount_;
  base::Mutex mutex_;
  std::vector<Page> pages_ GUARDED_BY(mutex_);
  // Lines no page holds any more, with their storage, for the next ones.
  std::vector<std::unique_ptr<SentLine>> spareLines_ GUARDED_BY(mutex_);
};

}  // namespace zelkord::irc
