#include "engine/DecryptLists.h"

#include "engine/CryptTask.h"

#include <algorithm>

namespace {

// Records may still be named in notifications on their way to the window, so
// they are released by deferred deletion only.
void releaseRecords(QList<CryptTask*>& records)
{
    for (CryptTask* task : std::as_const(records))
        if (task)
            task->deleteLater();
    records.clear();
}

} // namespace

int DecryptLists::add(const QList<PendingFile>& files)
{
    int added = 0;
    // Room for all at once (a folder of 200,000 files is one call), growing by
    // at least half again, so that many small calls do not move the queue each time.
    const qsizetype needed = m_pending.size() + files.size();
    if (needed > m_pending.capacity())
        m_pending.reserve(std::max(needed, m_pending.capacity() + m_pending.capacity() / 2));
    m_pendingCount.reserve(m_pendingCount.size() + files.size());
    for (const PendingFile& file : files) {
        if (m_pendingCount.contains(file.path))
            continue;
        appendPending(file);
        ++added;
    }
    countTotal();
    return added;
}

void DecryptLists::appendPending(const PendingFile& file)
{
    m_pending.append(file);
    ++m_pendingCount[file.path];
}

void DecryptLists::prependPending(const PendingFile& file)
{
    m_pending.prepend(file);
    ++m_pendingCount[file.path];
}

DecryptLists::PendingFile DecryptLists::takePending()
{
    const PendingFile file = m_pending.takeFirst();
    auto it = m_pendingCount.find(file.path);
    if (it != m_pendingCount.end() && --it.value() <= 0)
        m_pendingCount.erase(it);
    return file;
}

QStringList DecryptLists::pendingPaths() const
{
    QStringList paths;
    paths.reserve(m_pending.size());
    for (const PendingFile& file : m_pending)
        paths.append(file.path);
    return paths;
}

void DecryptLists::clear(List list)
{
    switch (list) {
    case List::Pending:
        m_pending.clear();
        m_pendingCount.clear();
        break;
    case List::Finished:
        releaseRecords(m_finished);
        break;
    case List::Failed:
        releaseRecords(m_failed);
        break;
    }
    countTotal();
}

void DecryptLists::clearAll()
{
    for (const List list : { List::Pending, List::Finished, List::Failed })
        clear(list);
}

bool DecryptLists::reloadFailed()
{
    QList<PendingFile> sources;
    for (CryptTask* task : std::as_const(m_failed))
        if (task)
            sources.append({ task->source(), task->outputBase() });
    if (sources.isEmpty())
        return false;
    add(sources);
    clear(List::Failed);
    return true;
}

CryptTask* DecryptLists::take(const CryptTask* task)
{
    for (QList<CryptTask*>* list : { &m_finished, &m_failed }) {
        const qsizetype at = list->indexOf(const_cast<CryptTask*>(task));
        if (at >= 0)
            return list->takeAt(at);
    }
    return nullptr;
}

void DecryptLists::countTotal()
{
    m_total = static_cast<int>(m_pending.size() + m_finished.size() + m_failed.size());
}
