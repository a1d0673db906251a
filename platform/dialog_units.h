// Dialog units: window layouts are designed in units of the dialog font, so
// they scale with it. One horizontal unit is a quarter of the font's average
// character width, one vertical unit an eighth of its character height. The
// average width is taken over the 52 Latin letters, rounded, as the unit is
// defined on the desktops the layouts were drawn for.
#pragma once

#include <QFont>
#include <QSize>

namespace platform {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int average_char_width() const { return char_width_; }
  int char_height() const { return char_height_; }

  int ToPixelsX(int x) const { return x * char_width_ / 4; }
  int ToPixelsY(int y) const { return y * char_height_ / 8; }
  QSize ToPixels(int width, int height) const {
    return QSize(ToPixelsX(width), ToPixelsY(height));
  }

 private:
  int char_width_;
  int char_height_;
};

// The layouts' font: "MS Sans Serif", 8 points, normal weight. Where the
// face is missing, Qt's substitution picks the desktop's sans-serif face.
QFont DialogFont();

}  // namespace platform
