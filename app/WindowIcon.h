#pragma once

#include <QIcon>
#include <QString>

// The icon every window of the application carries: the 48-pixel image on
// Windows 7, whose task bar shows it large, and the plain one everywhere else.
namespace WindowIcon {
QString path();
QIcon icon();
// Registers the compiled-in images (they live in a static library, so
// nothing registers them by itself). Every window calls it before its form
// loads an image; calls after the first do nothing.
void ensureResources();
} // namespace WindowIcon
