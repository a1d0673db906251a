#include "platform/dialog_units.h"

#include <QFontMetrics>

namespace platform {

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(QStringLiteral(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  char_width_ = std::max(1, (letters / 26 + 1) / 2);
  char_height_ = std::max(1, metrics.height());
}

QFont DialogFont() {
  QFont font(QStringLiteral("MS Sans Serif"), 8, QFont::Normal);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

}  // namespace platform
