#include "app/WindowIcon.h"

#include <QOperatingSystemVersion>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerCryptResources()
{
    Q_INIT_RESOURCE(crypt);
}

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
    ensureResources();
    return QIcon(path());
}

void WindowIcon::ensureResources()
{
    static const bool registered = [] {
        registerCryptResources();
        return true;
    }();
    Q_UNUSED(registered);
}
