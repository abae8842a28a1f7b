#include "WindowIcon.h"

#include <QOperatingSystemVersion>

QString WindowIcon::path()
{
    const auto os = QOperatingSystemVersion::current();
    if (os.type() == QOperatingSystemVersion::Windows && os.majorVersion() == 6 && os.minorVersion() == 1) {
        return QStringLiteral(":/crypt/CryptIcon48.png");
    }
    return QStringLiteral(":/crypt/crypt.png");
}

QIcon WindowIcon::icon()
{
    return QIcon(path());
}
