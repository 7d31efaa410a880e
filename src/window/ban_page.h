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
  // false when the list is full (nothing changes). Main thread.
  [[nodiscard]] bool AddBanEntry();
  // Overwrites the selected row with the entry text; nothing without a
  // selection. Main thread.
  void ReplaceBanEntry();
  // Removes the selected row; nothing without a selection. Main thread.
  void DeleteBanEntry();
  // The selected row, or -1.
  [[nodiscard]] int Selected() const { return selected_; }

 private:
  config::BanList& list_;
  int selected_ = -1;
};

}  // namespace zelkord::window
