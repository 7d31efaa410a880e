// The channel page's reach back into the history store, toolkit-free: which
// stored lines lie above what the page shows, and how a stored row reads as
// a page line. The page's in-memory lines carry no stamp, so the first read
// finds them among the newest stored lines by their text; from then on
// each read continues exactly before the oldest line handed out. Reads run
// on the calling thread's own store connection and take no lock of the
// core, so the window may call them while protocol threads work.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/store.h"

namespace zelkord::window {

// Stored lines one scroll to the top brings onto the page.
inline constexpr std::size_t kOlderBatch = 100;
// Reads one request makes at most while every row it finds is of a kind
// the page shows no line for.
inline constexpr int kOlderReads = 8;

// A stored row as the channel page shows it, as UTF-8 for display: "hh:nn
// nick> text" for PRIVMSG and NOTICE; "hh:nn *** nick 入室" (JOIN), "hh:nn ***
// nick 退室" (PART), "hh:nn *** nick 退室：text" (QUIT), "hh:nn *** text by
// nick" (TOPIC) and "hh:nn *** ニックネーム変更 old > new" (NICK), the
// minute in local time. Line breaks and NULs in the text read as spaces.
// Empty for a row the page shows no line for (KICK and unknown kinds).
// Any thread.
[[nodiscard]] std::string PageLineOf(const history::Row& row);

// The Shift_JIS page line a display line stands for: what the page's own
// list holds for the same event. Any thread.
[[nodiscard]] std::string PageKeyOf(std::string_view displayLine);

class Scrollback {
 public:
  // The lines (UTF-8 for display, oldest first) just older than the page's
  // top, at most count of them; empty when the store holds none older or
  // the read failed. channel is the page's name (Shift_JIS); top is the
  // page's oldest lines (Shift_JIS, oldest first), read only to find where
  // the page stands in the store while no earlier call has said. Any
  // thread, one at a time.
  [[nodiscard]] std::vector<std::string> Older(history::Store& store, std::string_view channel,
                                               const std::vector<std::string>& top,
                                               std::size_t count = kOlderBatch);
  // The page dropped its lines count oldest ones (handed out here or its
  // own, which follow them). Once none handed out is left, the next call
  // finds its place anew from top.
  void Dropped(std::size_t count);
  // Forgets the place: the page shows only its own lines again.
  void Reset();
  // Lines handed out and still on the page.
  [[nodiscard]] std::size_t Lines() const { return shown_.size(); }

 private:
  // Where the page's top stands among rows (oldest first): the index of the
  // row that is its top line, rows.size() when top holds none of them.
  [[nodiscard]] static std::size_t Anchor(const std::vector<history::Row>& rows,
                                          const std::vector<std::string>& top);

  std::optional<history::Position> bound_;
  bool exhausted_ = false;
  // The store positions of the lines handed out and still shown, oldest first.
  std::deque<history::Position> shown_;
};

}  // namespace zelkord::window
