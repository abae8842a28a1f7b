// The text colour of a task's status in the task table, taken from the palette
// the table is drawn with, so that every row reads on light and dark themes.
//
// Waiting, cancelled and any other status use the palette's own text colour.
// Finished, decrypting and failed keep their named colours (green, blue, red)
// wherever those stand out from the base colour by at least MinContrast, as on
// the usual light themes; on a base where one does not (a dark theme), it is
// blended toward the palette's text colour until it reaches ReadableContrast,
// keeping its hue, so that green and red stay apart.
#pragma once

#include <QColor>
#include <QPalette>

namespace StatusColours {
// Contrast ratios as defined for web content accessibility (1 to 21).
inline constexpr double MinContrast = 3.0;
inline constexpr double ReadableContrast = 4.5;

QColor forStatus(int status, const QPalette& palette);

// The relative luminance of a colour (0 black to 1 white).
double luminance(const QColor& colour);
// (lighter + 0.05) / (darker + 0.05) of the two luminances.
double contrast(const QColor& a, const QColor& b);
} // namespace StatusColours
