#pragma once

#include <QIcon>
#include <QString>

// The icon every window of the application carries: the 48-pixel image on
// Windows 7, whose task bar shows it large, and the plain one everywhere else.
class WindowIcon {
public:
    static QString path();
    static QIcon icon();
};
