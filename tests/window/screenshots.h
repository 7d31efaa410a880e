// Pictures of the main window for the documentation: a real server behind
// the window on the offscreen platform, a few scripted clients so every
// page has something to show, and one PNG per main page.
#pragma once

#include <string>

namespace zelkord::testing {

// Saves the pictures into folder (which must exist); 0 when every picture
// was written, 1 otherwise. Needs a QApplication. Main thread.
int SaveScreenshots(const std::string& folder);

}  // namespace zelkord::testing
