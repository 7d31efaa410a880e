// Ban page operations over the shared ban list.
#include "window/ban_page.h"

namespace zelkord::window {

void BanPage::SelectBanEntry(int index) {
  const auto entries = list_.Snapshot();
  if (index < 0 || index >= static_cast<int>(entries.size())) {
    selected_ = -1;
    return;
  }
  selected_ = index;
  entryText = entries[static_cast<std::size_t>(index)];
}

std::string BanPage::AddBanEntry() {
  std::string problem = config::BanPatternProblem(entryText);
  if (!problem.empty()) return problem;
  if (!list_.Add(entryText)) {
    return "The ban list already holds " + std::to_string(config::kBanCapacity) +
           " patterns; delete one first";
  }
  return {};
}

std::string BanPage::ReplaceBanEntry() {
  if (selected_ < 0) return {};
  std::string problem = config::BanPatternProblem(entryText);
  if (!problem.empty()) return problem;
  (void)list_.ReplaceAt(selected_, entryText);  // a row gone meanwhile: nothing to replace
  return {};
}

void BanPage::DeleteBanEntry() {
  if (selected_ < 0) return;
  (void)list_.EraseAt(selected_);  // a row gone meanwhile: nothing to delete
  selected_ = -1;
}

}  // namespace zelkord::window
