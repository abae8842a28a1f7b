#include "tasks/FileLoadTask.h"

#include "engine/DecryptManager.h"
#include "tasks/TaskManager.h"

#include <QFileInfo>

FileLoadTask::FileLoadTask(const QStringList& paths)
    : m_paths(paths)
{ }

FileLoadTask::FileLoadTask(const QList<QUrl>& urls)
    : m_urls(urls)
    , m_fromUrls(true)
{ }

qsizetype FileLoadTask::count() const
{
    return m_fromUrls ? m_urls.size() : m_paths.size();
}

QString FileLoadTask::path(qsizetype index) const
{
    if (index < 0 || index >= count()) {
        return {};
    }
    return m_fromUrls ? m_urls.at(index).toLocalFile() : m_paths.at(index);
}

bool FileLoadTask::equals(const Task* other) const
{
    const auto* load = dynamic_cast<const FileLoadTask*>(other);
    return load && load->m_paths == m_paths;
}

void FileLoadTask::run(TaskManager& manager)
{
    const qsizetype n = count();
    if (n == 0) {
        emit manager.filesLoaded(QStringLiteral("No files found."));
        return;
    }
    QStringList found;
    for (qsizetype i = 0; i < n; ++i) {
        if (manager.isCancelled()) {
            return;
        }
        const QString p = path(i);
        if (p.isEmpty()) {
            continue; // a URL that names no local file
        }
        const QFileInfo info(p);
        if (!info.exists()) {
            continue;
        }
        if (info.isFile()) {
            found.append(p);
        } else if (info.isDir()) {
            found.append(manager.walkDirectory(p, QStringLiteral("*"), true));
        }
    }
    if (manager.isCancelled()) {
        return;
    }
    const int added = DecryptManager::instance()->addFiles(found);
    const qsizetype total = found.size();
    if (added == total) {
        emit manager.filesLoaded(QStringLiteral("%1 files loaded successfully.").arg(added));
    } else {
        emit manager.filesLoaded(
            QStringLiteral("%1 files loaded. %2 duplicates skipped.").arg(added).arg(total - added));
    }
}
