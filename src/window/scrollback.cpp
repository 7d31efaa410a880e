// Reading a channel page's older lines from the history store.
#include "window/scrollback.h"

#include <algorithm>
#include <ctime>

#include "base/clock.h"
#include "base/jp_text.h"
#include "text/encoding.h"
#include "text/sjis_utf8.h"

namespace zelkord::window {
namespace {

// The candidates for the page's top among its first lines: a line or two
// the store lacks (a row it dropped) must not lose the place, and a run
// through the rest decides between repeated texts.
constexpr std::size_t kAnchorCandidates = 16;

// The system's own texts as UTF-8, converted once.
struct EventTexts {
  std::string entered = text::SjisToDisplayUtf8(base::jp::kEntered);
  std::string left = text::SjisToDisplayUtf8(base::jp::kLeft);
  std::string quitLeft = text::SjisToDisplayUtf8(base::jp::kQuitLeft);
  std::string nickChange = text::SjisToDisplayUtf8(base::jp::kNickChange);
};

const EventTexts& Events() {
  static const EventTexts texts;
  return texts;
}

// Stored text on one page line: a break would split it into two (the
// document counts paragraphs as lines), a NUL would end it.
void AppendFlat(std::string& line, std::string_view text) {
  constexpr std::string_view kParagraphSeparator = "\xE2\x80\xA9";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n' || c == '\0') {
      line.push_back(' ');
    } else if (text.substr(i, kParagraphSeparator.size()) == kParagraphSeparator) {
      line.push_back(' ');
      i += kParagraphSeparator.size() - 1;
    } else {
      line.push_back(c);
    }
  }
}

history::Position PositionOf(const history::Row& row) {
  return {row.timeMs, row.id};
}

}  // namespace

std::string PageLineOf(const history::Row& row) {
  const std::string_view prefix = row.prefix;
  const std::string_view nick = prefix.substr(0, prefix.find('!'));
  const EventTexts& events = Events();
  std::string line = base::ConversationStamp(static_cast<std::time_t>(row.timeMs / 1000));
  if (row.kind == "PRIVMSG" || row.kind == "NOTICE") {
    AppendFlat(line, nick);
    line.append("> ");
    AppendFlat(line, row.text);
    return line;
  }
  line.append("*** ");
  if (row.kind == "JOIN") {
    AppendFlat(line, nick);
    line.append(events.entered);
  } else if (row.kind == "PART") {
    AppendFlat(line, nick);
    line.append(events.left);
  } else if (row.kind == "QUIT") {
    AppendFlat(line, nick);
    line.append(events.quitLeft);
    AppendFlat(line, row.text);
  } else if (row.kind == "TOPIC") {
    AppendFlat(line, row.text);
    line.append(" by ");
    AppendFlat(line, nick);
  } else if (row.kind == "NICK") {
    line.append(events.nickChange);
    AppendFlat(line, nick);
    line.append(" > ");
    AppendFlat(line, row.param);
  } else {
    // A kick shows no line on the page as it happens, so none later either.
    return {};
  }
  return line;
}

std::string PageKeyOf(std::string_view displayLine) {
  std::string key;
  text::DecodeLine(text::Encoding::Utf8, displayLine, key);
  return key;
}

std::size_t Scrollback::Anchor(const std::vector<history::Row>& rows,
                               const std::vector<std::string>& top) {
  std::vector<std::string> keys;
  keys.reserve(rows.size());
  for (const history::Row& row : rows) {
    const std::string line = PageLineOf(row);
    keys.push_back(line.empty() ? std::string() : PageKeyOf(line));
  }
  // The longest run of top's lines in the rows' order wins; among equal
  // runs the one from top's oldest line, then the newest in the store.
  std::size_t best = rows.size();
  std::size_t bestRun = 0;
  std::size_t bestFirst = 0;
  for (std::size_t first = 0; first < std::min(top.size(), kAnchorCandidates); ++first) {
    for (std::size_t j = 0; j < keys.size(); ++j) {
      if (keys[j].empty() || keys[j] != top[first]) continue;
      std::size_t run = 0;
      for (std::size_t p = j, q = first; p < keys.size() && q < top.size(); ++p) {
        if (keys[p].empty()) continue;  // a row the page has no line for
        if (keys[p] != top[q]) break;
        ++run;
        ++q;
      }
      if (run > bestRun || (run == bestRun && first == bestFirst && j > best)) {
        bestRun = run;
        bestFirst = first;
        best = j;
      }
    }
  }
  return best;
}

std::vector<std::string> Scrollback::Older(history::Store& store, std::string_view channel,
                                           const std::vector<std::string>& top, std::size_t count) {
  std::vector<std::string> lines;
  if (count == 0) return lines;
  std::string target;
  text::EncodeLine(text::Encoding::Utf8, channel, target);
  if (!bound_) {
    const std::vector<history::Row> rows = store.Latest(target, std::nullopt, top.size() + count);
    if (rows.empty()) return lines;
    const std::size_t anchor = Anchor(rows, top);
    // Without the page's own lines in the store (not recorded, or dropped),
    // everything stored is older than they are.
    bound_ = anchor < rows.size() ? PositionOf(rows[anchor])
                                  : history::Position{rows.back().timeMs, rows.back().id + 1};
    exhausted_ = false;
  }
  std::vector<history::Position> positions;
  for (int reads = 0; reads < kOlderReads && lines.empty() && !exhausted_; ++reads) {
    const std::vector<history::Row> rows = store.Before(target, *bound_, count);
    exhausted_ = rows.size() < count;
    if (rows.empty()) break;
    bound_ = PositionOf(rows.front());
    for (const history::Row& row : rows) {
      std::string line = PageLineOf(row);
      if (line.empty()) continue;
      lines.push_back(std::move(line));
      positions.push_back(PositionOf(row));
    }
  }
  shown_.insert(shown_.begin(), positions.begin(), positions.end());
  return lines;
}

void Scrollback::Dropped(std::size_t count) {
  if (count >= shown_.size()) {
    Reset();
    return;
  }
  shown_.erase(shown_.begin(), shown_.begin() + static_cast<std::ptrdiff_t>(count));
  // The next read brings back what was dropped.
  bound_ = shown_.front();
  exhausted_ = false;
}

void Scrollback::Reset() {
  bound_.reset();
  exhausted_ = false;
  shown_.clear();
}

}  // namespace zelkord::window
