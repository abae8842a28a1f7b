#include "app/ResourceImage.h"

#include <QFileInfo>
#include <QLabel>

QString ResourceImage::twinPath(const QString& path)
{
    const QFileInfo info(path);
    return info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral("@2x.") + info.suffix();
}

QPixmap ResourceImage::pixmap(const QString& path, qreal devicePixelRatio)
{
    const QPixmap plain(path);
    if (plain.isNull() || !(devicePixelRatio > 1.0)) {
        return plain;
    }
    QPixmap twin(twinPath(path));
    if (twin.isNull()) {
        return plain;
    }
    // Other scales than 200% get the twin resized: smaller stays sharp.
    const QSize device = (QSizeF(plain.size()) * devicePixelRatio).toSize();
    if (twin.size() != device) {
        twin = twin.scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    twin.setDevicePixelRatio(devicePixelRatio);
    return twin;
}

void ResourceImage::show(QLabel* label, const QString& path)
{
    label->setPixmap(pixmap(path, label->devicePixelRatioF()));
}
