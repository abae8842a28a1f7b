// The task table's row index on a real table: rows found by key after adding,
// sorting, moving rows and removing them, renaming keys, removing and clearing.
#include "app/TaskRowIndex.h"

#include <QHeaderView>
#include <QTableWidget>
#include <QtTest>

namespace {

constexpr int kKeyColumn = 0;
constexpr int kNumberColumn = 1;

// A table whose rows hold a key and a number, so that sorting by either column
// moves rows differently.
struct Table {
    QTableWidget widget { 0, 2 };
    TaskRowIndex index;

    // Appends a row for key the way the window does, with the sort column's item last.
    void append(const QString& key, int number)
    {
        const int row = widget.rowCount();
        widget.insertRow(row);
        auto* numberItem = new QTableWidgetItem();
        numberItem->setData(Qt::DisplayRole, number);
        auto* keyItem = new QTableWidgetItem(key);
        const bool sortedByNumber
            = widget.isSortingEnabled() && widget.horizontalHeader()->sortIndicatorSection() == kNumberColumn;
        if (sortedByNumber) {
            widget.setItem(row, kKeyColumn, keyItem);
            widget.setItem(row, kNumberColumn, numberItem);
        } else {
            widget.setItem(row, kNumberColumn, numberItem);
            widget.setItem(row, kKeyColumn, keyItem);
        }
        index.add(key, widget.model()->index(keyItem->row(), kKeyColumn));
    }

    // The key the table shows in the row the index gives for key; empty when none.
    QString keyAt(const QString& key) const
    {
        const int row = index.find(key);
        const QTableWidgetItem* item = row == TaskRowIndex::NoRow ? nullptr : widget.item(row, kKeyColumn);
        return item ? item->text() : QString();
    }

    int rowOfText(const QString& key) const
    {
        const auto found = widget.findItems(key, Qt::MatchExactly);
        return found.size() == 1 ? found.first()->row() : -2;
    }
};

const QStringList kKeys { "/in/c", "/in/a", "/in/d", "/in/b", "/in/e" };
// Numbers that order the rows differently from their keys.
const QList<int> kNumbers { 2, 5, 1, 4, 3 };

void fill(Table& table)
{
    for (int i = 0; i < kKeys.size(); ++i)
        table.append(kKeys.at(i), kNumbers.at(i));
}

} // namespace

class TestTaskRowIndex : public QObject {
    Q_OBJECT

private slots:
    void findsAddedRows()
    {
        Table table;
        fill(table);
        QCOMPARE(table.index.size(), kKeys.size());
        for (int i = 0; i < kKeys.size(); ++i)
            QCOMPARE(table.index.find(kKeys.at(i)), i);
        QCOMPARE(table.index.find(QStringLiteral("/in/unknown")), TaskRowIndex::NoRow);
        // Keys compare exactly.
        QCOMPARE(table.index.find(QStringLiteral("/in/A")), TaskRowIndex::NoRow);
    }

    void addReplacesAnOlderEntry()
    {
        Table table;
        fill(table);
        table.index.add(kKeys.first(), table.widget.model()->index(3, kKeyColumn));
        QCOMPARE(table.index.find(kKeys.first()), 3);
        QCOMPARE(table.index.size(), kKeys.size());
        table.index.add(QStringLiteral("/in/nowhere"), QModelIndex());
        QCOMPARE(table.index.find(QStringLiteral("/in/nowhere")), TaskRowIndex::NoRow);
    }

    void followsRowsThatMove_data()
    {
        QTest::addColumn<bool>("sortWhileAdding");
        QTest::addColumn<int>("column");
        QTest::addColumn<Qt::SortOrder>("order");
        QTest::newRow("sorted afterwards by key") << false << kKeyColumn << Qt::AscendingOrder;
        QTest::newRow("sorted afterwards by key, descending") << false << kKeyColumn << Qt::DescendingOrder;
        QTest::newRow("sorted afterwards by number") << false << kNumberColumn << Qt::AscendingOrder;
        QTest::newRow("kept sorted by key while adding") << true << kKeyColumn << Qt::AscendingOrder;
        QTest::newRow("kept sorted by number while adding") << true << kNumberColumn << Qt::DescendingOrder;
    }

    void followsRowsThatMove()
    {
        QFETCH(bool, sortWhileAdding);
        QFETCH(int, column);
        QFETCH(Qt::SortOrder, order);
        Table table;
        if (sortWhileAdding) {
            table.widget.setSortingEnabled(true);
            table.widget.sortItems(column, order);
        }
        fill(table);
        if (!sortWhileAdding)
            table.widget.sortItems(column, order);
        // Sorting moved rows away from the places where they were added.
        QVERIFY(table.rowOfText(kKeys.first()) != 0 || table.rowOfText(kKeys.at(1)) != 1);
        for (const QString& key : kKeys) {
            QCOMPARE(table.keyAt(key), key);
            QCOMPARE(table.index.find(key), table.rowOfText(key));
        }

        // A changed item in the sort column moves its row again.
        table.widget.setSortingEnabled(true);
        table.widget.sortItems(kNumberColumn, Qt::AscendingOrder);
        table.widget.item(table.index.find(QStringLiteral("/in/d")), kNumberColumn)->setData(Qt::DisplayRole, 9);
        QCOMPARE(table.index.find(QStringLiteral("/in/d")), kKeys.size() - 1);
        for (const QString& key : kKeys)
            QCOMPARE(table.keyAt(key), key);
    }

    void removedRowsAreLost_data()
    {
        QTest::addColumn<QList<int>>("removed"); // rows, removed from the last to the first
        QTest::newRow("first row") << QList<int> { 0 };
        QTest::newRow("middle row") << QList<int> { 2 };
        QTest::newRow("last row") << QList<int> { 4 };
        QTest::newRow("two rows") << QList<int> { 3, 1 };
        QTest::newRow("every row") << QList<int> { 4, 3, 2, 1, 0 };
    }

    void removedRowsAreLost()
    {
        QFETCH(QList<int>, removed);
        Table table;
        fill(table);
        QStringList gone;
        for (int row : removed) {
            gone << table.widget.item(row, kKeyColumn)->text();
            table.widget.removeRow(row);
        }
        for (const QString& key : kKeys) {
            if (gone.contains(key))
                QCOMPARE(table.index.find(key), TaskRowIndex::NoRow);
            else
                QCOMPARE(table.keyAt(key), key); // rows below a removed one moved up
        }
        QCOMPARE(table.index.size(), kKeys.size());
        table.index.removeLost();
        QCOMPARE(table.index.size(), kKeys.size() - gone.size());
        for (const QString& key : kKeys)
            QCOMPARE(table.keyAt(key), gone.contains(key) ? QString() : key);
    }

    void rename_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("foundUnder"); // the key that finds row 1 afterwards
        QTest::addColumn<int>("size");
        QTest::newRow("to a new key") << "/in/a"
                                      << "/in/a.korvel-env"
                                      << "/in/a.korvel-env" << 5;
        QTest::newRow("to itself") << "/in/a"
                                   << "/in/a"
                                   << "/in/a" << 5;
        QTest::newRow("over another key") << "/in/a"
                                          << "/in/b"
                                          << "/in/b" << 4;
        QTest::newRow("unknown key") << "/in/x"
                                     << "/in/y"
                                     << "/in/a" << 5;
    }

    void rename()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, foundUnder);
        QFETCH(int, size);
        Table table;
        fill(table);
        table.index.rename(from, to);
        QCOMPARE(table.index.find(foundUnder), 1);
        QCOMPARE(table.index.size(), size);
        if (from != to)
            QCOMPARE(table.index.find(from), TaskRowIndex::NoRow);
        if (from == QLatin1String("/in/x"))
            QCOMPARE(table.index.find(to), TaskRowIndex::NoRow);
        // The other entries are untouched.
        QCOMPARE(table.index.find(QStringLiteral("/in/e")), 4);
    }

    void removeForgetsOneKey()
    {
        Table table;
        fill(table);
        table.index.remove(QStringLiteral("/in/d"));
        table.index.remove(QStringLiteral("/in/unknown"));
        QCOMPARE(table.index.size(), kKeys.size() - 1);
        QCOMPARE(table.index.find(QStringLiteral("/in/d")), TaskRowIndex::NoRow);
        QCOMPARE(table.widget.rowCount(), kKeys.size()); // the row itself stays
        for (const QString& key : kKeys)
            if (key != QLatin1String("/in/d"))
                QCOMPARE(table.keyAt(key), key);
    }

    void clearForgetsEverything()
    {
        Table table;
        fill(table);
        table.index.clear();
        QCOMPARE(table.index.size(), 0);
        for (const QString& key : kKeys)
            QCOMPARE(table.index.find(key), TaskRowIndex::NoRow);
        // Usable again afterwards.
        table.append(QStringLiteral("/in/f"), 7);
        QCOMPARE(table.index.find(QStringLiteral("/in/f")), kKeys.size());
    }
};

QTEST_MAIN(TestTaskRowIndex)
#include "test_TaskRowIndex.moc"
