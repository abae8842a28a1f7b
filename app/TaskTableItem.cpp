#include "app/TaskTableItem.h"

#include <QVariant>

bool TaskTableItem::operator<(const QTableWidgetItem& other) const
{
    const QVariant mine = data(SortRole);
    const QVariant theirs = other.data(SortRole);
    if (mine.isValid() && theirs.isValid()) {
        return mine.toDouble() < theirs.toDouble();
    }
    return QTableWidgetItem::operator<(other);
}
