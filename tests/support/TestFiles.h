// Small file helpers shared by the Qt tests (header-only: the support library
// itself does not use Qt).
#pragma once

#include "tests/support/EnvelopeWriter.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

namespace korvel::test {

inline QByteArray toBytes(const Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// The whole file, or an empty array when it cannot be read.
inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The whole file, or "<missing>" when it cannot be read: where an empty file
// must not pass for a missing one.
inline QByteArray fileOrMissing(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// fileOrMissing() by the path's bytes, for names that are not UTF-8 (which Qt
// cannot open).
inline QByteArray bytesOrMissing(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return QByteArray("<missing>");
    }
    return file.readAll();
}

// Removes a tree by its bytes (QDir skips names that are not UTF-8); true when
// it is gone.
inline bool removeTree(const QByteArray& path)
{
    nftw(
        path.constData(), [](const char* entry, const struct stat*, int, FTW*) { return ::remove(entry) == 0 ? 0 : 1; },
        16, FTW_DEPTH | FTW_PHYS);
    return ::access(path.constData(), F_OK) != 0;
}

// Names in a folder, hidden ones included, sorted.
inline QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace korvel::test
