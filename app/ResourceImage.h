#pragma once

#include <QPixmap>
#include <QString>

class QLabel;

// The application's images at the sharpness of the screen. A pixmap loaded from
// a file is drawn scaled up, blurred, on a screen scaled to 200%; every
// compiled-in PNG has a twin drawn at twice its size (name@2x.png) for such
// screens. (QIcon finds the twins by itself, for the application's own scale;
// a label's pixmap does not.)
namespace ResourceImage {
// The image at path, at its own size in device-independent pixels, for a
// screen of devicePixelRatio: from its twin when the screen is scaled and
// the twin exists, as it is otherwise.
QPixmap pixmap(const QString& path, qreal devicePixelRatio);
// Shows the image at path in label, for the label's screen.
void show(QLabel* label, const QString& path);
// The name of the twin of the image at path: "key32@2x.png" for "key32.png".
QString twinPath(const QString& path);
} // namespace ResourceImage
