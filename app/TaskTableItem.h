// A cell of the task table. Sorting by a column compares the cells' sort keys
// where they have one (the progress as a number, so that 9.5% comes before
// 10.0%), and their texts otherwise.
#pragma once

#include <QTableWidgetItem>

class TaskTableItem : public QTableWidgetItem {
public:
    // The role that holds a cell's sort key.
    static constexpr int SortRole = Qt::UserRole + 1;

    TaskTableItem() = default;

    bool operator<(const QTableWidgetItem& other) const override;
};
