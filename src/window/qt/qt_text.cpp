// Shift_JIS and colour conversions for the window.
#include "window/qt/qt_text.h"

#include "config/settings.h"
#include "text/sjis_utf8.h"

namespace zelkord::window::qt {

QString ToQt(std::string_view sjis) {
  if (sjis.empty()) return {};
  const std::string utf8 = text::SjisToDisplayUtf8(sjis);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string FromQt(const QString& text) {
  if (text.isEmpty()) return {};
  const QByteArray utf8 = text.toUtf8();
  return text::DisplayUtf8ToSjis(
      std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

QString JoinToQt(const std::vector<std::string>& lines, std::size_t first) {
  std::string joined;
  std::size_t bytes = 0;
  for (std::size_t i = first; i < lines.size(); ++i) bytes += lines[i].size() + 1;
  joined.reserve(bytes);
  for (std::size_t i = first; i < lines.size(); ++i) {
    if (i > first) joined.push_back('\n');
    joined.append(lines[i]);
  }
  return ToQt(joined);
}

QString TabText(std::string_view sjis) {
  QString text = ToQt(sjis);
  text.replace(QLatin1Char('&'), QStringLiteral("&&"));
  return text;
}

QColor ToQColor(int value) {
  const unsigned rgb = config::DisplayRgb(value);
  return QColor(static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                static_cast<int>(rgb & 0xFF));
}

int ColorValue(const QColor& color) {
  const QColor rgb = color.toRgb();
  return (rgb.blue() << 16) | (rgb.green() << 8) | rgb.red();
}

QString WithTrailingSeparator(const QString& path) {
  if (path.isEmpty() || path.endsWith(QLatin1Char('/'))) return path;
  return path + QLatin1Char('/');
}

}  // namespace zelkord::window::qt
