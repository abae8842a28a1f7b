#include "app/TaskRowIndex.h"

#include <QModelIndex>

void TaskRowIndex::add(const QString& key, const QModelIndex& cell)
{
    m_rows.insert(key, QPersistentModelIndex(cell));
}

int TaskRowIndex::find(const QString& key) const
{
    const auto found = m_rows.constFind(key);
    if (found == m_rows.cend() || !found->isValid())
        return NoRow;
    return found->row();
}

void TaskRowIndex::rename(const QString& from, const QString& to)
{
    const auto found = m_rows.find(from);
    if (found == m_rows.end())
        return;
    const QPersistentModelIndex row = found.value();
    m_rows.erase(found);
    m_rows.insert(to, row);
}

void TaskRowIndex::remove(const QString& key)
{
    m_rows.remove(key);
}

void TaskRowIndex::removeLost()
{
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (it->isValid())
            ++it;
        else
            it = m_rows.erase(it);
    }
}

void TaskRowIndex::clear()
{
    m_rows.clear();
}

int TaskRowIndex::size() const
{
    return static_cast<int>(m_rows.size());
}
