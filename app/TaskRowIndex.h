// Finds a task's row in the window's task table by the task's key (its source).
//
// The table keeps itself sorted and moves a row when one of its items changes,
// so the index remembers no row numbers: each entry is a persistent index of a
// cell in the row, which the model moves along with its row and invalidates when
// the row is removed. A key whose row has gone reads as having no row.
#pragma once

#include <QHash>
#include <QPersistentModelIndex>
#include <QString>

class QModelIndex;

class TaskRowIndex {
public:
    static constexpr int NoRow = -1;

    // Records key for the row that holds cell, in place of any older entry for
    // key. An invalid cell records a key without a row.
    void add(const QString& key, const QModelIndex& cell);
    // The current row of key; NoRow when key was never added or removed, or its
    // row has left the table.
    int find(const QString& key) const;
    // Moves the entry of from (if any) to the key to; from may equal to.
    void rename(const QString& from, const QString& to);
    void remove(const QString& key);
    // Forgets the entries whose rows have left the table.
    void removeLost();
    void clear();
    // The number of entries, lost rows included until removeLost().
    int size() const;

private:
    QHash<QString, QPersistentModelIndex> m_rows;
};
