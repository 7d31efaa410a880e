// The communication log: for every live connection, a page captioned with
// its nickname holding the lines received from it and the lines sent to it,
// each view bounded to 201 lines. Appended from connection threads, so it
// has its own lock; the window reads it through Snapshot.
#pragma once

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
  struct Page {
    bool open = false;
    std::string caption;
    base::BoundedLines received{kLogViewBound};
    base::BoundedLines sent{kLogViewBound};
  };
  irc::Desk& desk_;
  const bool keepLines_;  // the desk shows the pages' lines
  const int pageCount_;
  base::Mutex mutex_;
  std::vector<Page> pages_ GUARDED_BY(mutex_);
};

}  // namespace zelkord::irc
