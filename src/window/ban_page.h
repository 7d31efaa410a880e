// The ban page of the settings: the ban list shown as a list with one
// selectable row, and an entry field from which patterns are added or
// overwritten. Toolkit-free, so the window and the tests drive the same
// operations. The list itself is the server's BanList (its own lock), so
// every change is seen by the next admission at once.
#pragma once

#include <string>

#include "config/ban_list.h"

namespace zelkord::window {

class BanPage {
 public:
  explicit BanPage(config::BanList& list) : list_(list) {}

  // The entry field's text, as typed.
  std::string entryText;

  // Selects row index (or none with -1) and copies its text into the entry
  // field. Main thread.
  void SelectBanEntry(int index);
  // Appends the entry field's text unchanged, even empty or already listed.
  // Empty when added; otherwise, with nothing changed, a message for the
  // person at the desk: the pattern's problem (config::BanPatternProblem) or
  // that the list is full. Main thread.
  [[nodiscard]] std::string AddBanEntry();
  // Overwrites the selected row with the entry text. Empty when overwritten,
  // and, silently on purpose, when no row is selected (nothing changes);
  // otherwise the pattern's problem, with nothing changed. Main thread.
  [[nodiscard]] std::string ReplaceBanEntry();
  // Removes the selected row; nothing without a selection. Main thread.
  void DeleteBanEntry();
  // The selected row, or -1.
  [[nodiscard]] int Selected() const { return selected_; }

 private:
  config::BanList& list_;
  int selected_ = -1;
};

}  // namespace zelkord::window
