// The border between the core's Shift_JIS text and colour values and Qt's
// QString and QColor. Nothing outside the window converts to Qt types, and
// nothing inside it hands Qt text to the core without converting back.
#pragma once

#include <QColor>
#include <QString>
#include <string>
#include <string_view>
#include <vector>

namespace zelkord::window::qt {

// Shift_JIS text for display; bytes that do not convert show as '?'. Any thread.
[[nodiscard]] QString ToQt(std::string_view sjis);
// Typed text as Shift_JIS for the core; characters without a code become '?'. Any thread.
[[nodiscard]] std::string FromQt(const QString& text);
// Lines joined with '\n' and converted in one pass, for a whole view. Any thread.
[[nodiscard]] QString JoinToQt(const std::vector<std::string>& lines, std::size_t first = 0);
// Text for a tab caption: '&' doubled so Qt does not take it as a shortcut mark. Any thread.
[[nodiscard]] QString TabText(std::string_view sjis);

// The colour a settings colour value (0x00BBGGRR or a system colour) shows as. Any thread.
[[nodiscard]] QColor ToQColor(int value);
// The settings colour value of a chosen colour: 0x00BBGGRR. Any thread.
[[nodiscard]] int ColorValue(const QColor& color);

// The log folder as the folder picker gives it, ending in "/": the separator
// is appended unless the path already ends in it; an empty path (nothing
// chosen) stays empty. Any thread.
[[nodiscard]] QString WithTrailingSeparator(const QString& path);

}  // namespace zelkord::window::qt
