// The decrypt manager's lists and their rules, driven synchronously: no thread,
// no lock, no worker.
#include "engine/CryptTask.h"
#include "engine/DecryptLists.h"

#include <QPointer>
#include <QtTest>

namespace {

QList<DecryptLists::PendingFile> files(const QStringList& paths)
{
    QList<DecryptLists::PendingFile> list;
    for (const QString& path : paths)
        list.append({ path, QStringLiteral("/base") });
    return list;
}

// Lists with pending paths a and b, finished x and failed y and z (z's source
// also pending when asked).
void fill(DecryptLists& lists, bool failedAlsoPending = false)
{
    lists.add(files(failedAlsoPending ? QStringList { "a", "b", "z" } : QStringList { "a", "b" }));
    lists.addFinished(new CryptTask(QStringLiteral("x")));
    lists.addFailed(new CryptTask(QStringLiteral("y")));
    lists.addFailed(new CryptTask(QStringLiteral("z")));
}

void releaseDeferred()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestDecryptLists : public QObject {
    Q_OBJECT

private slots:
    void queue_data()
    {
        QTest::addColumn<QList<QStringList>>("batches");
        QTest::addColumn<QList<int>>("added");
        QTest::addColumn<int>("taken"); // paths taken off the front before the last batch
        QTest::addColumn<QStringList>("pending");

        QTest::newRow("in order") << QList<QStringList> { { "a", "b" }, { "c" } } << QList<int> { 2, 1 } << 0
                                  << QStringList { "a", "b", "c" };
        QTest::newRow("each path once") << QList<QStringList> { { "a", "b", "a" }, { "b", "c" } } << QList<int> { 2, 1 }
                                        << 0 << QStringList { "a", "b", "c" };
        QTest::newRow("taken path may come again") << QList<QStringList> { { "a", "b" }, { "a", "b" } }
                                                   << QList<int> { 2, 1 } << 1 << QStringList { "b", "a" };
    }
    void queue()
    {
        QFETCH(QList<QStringList>, batches);
        QFETCH(QList<int>, added);
        QFETCH(int, taken);
        QFETCH(QStringList, pending);
        DecryptLists lists;
        for (qsizetype i = 0; i < batches.size(); ++i) {
            if (i == batches.size() - 1)
                for (int n = 0; n < taken; ++n)
                    QCOMPARE(lists.takePending().outputBase, QStringLiteral("/base"));
            QCOMPARE(lists.add(files(batches.at(i))), added.at(i));
        }
        QCOMPARE(lists.pendingPaths(), pending);
        QCOMPARE(lists.pendingCount(), pending.size());
        // A cancelled task's path goes back to the front, once more.
        lists.prependPending({ pending.last(), QString() });
        QCOMPARE(lists.takePending().path, pending.last());
        // Counted when the last batch came: a path taken off runs, counted nowhere.
        QCOMPARE(lists.total(), int(pending.size()));
    }

    // clearPending(), clearFinished() and clearFailed() through one rule.
    void clear_data()
    {
        QTest::addColumn<int>("list");
        QTest::addColumn<int>("pending");
        QTest::addColumn<int>("finished");
        QTest::addColumn<int>("failed");
        QTest::newRow("pending") << int(DecryptLists::List::Pending) << 0 << 1 << 2;
        QTest::newRow("finished") << int(DecryptLists::List::Finished) << 2 << 0 << 2;
        QTest::newRow("failed") << int(DecryptLists::List::Failed) << 2 << 1 << 0;
    }
    void clear()
    {
        QFETCH(int, list);
        QFETCH(int, pending);
        QFETCH(int, finished);
        QFETCH(int, failed);
        DecryptLists lists;
        fill(lists);
        // Records that came after the last change of the queue are not counted yet.
        QCOMPARE(lists.total(), 2);
        QList<QPointer<CryptTask>> records;
        for (CryptTask* task : lists.finished() + lists.failed())
            records.append(task);
        lists.clear(static_cast<DecryptLists::List>(list));
        QCOMPARE(lists.pendingCount(), pending);
        QCOMPARE(lists.finished().size(), finished);
        QCOMPARE(lists.failed().size(), failed);
        QCOMPARE(lists.total(), pending + finished + failed);
        // A cleared record is released, deferred; the others stay.
        releaseDeferred();
        QCOMPARE(int(std::count(records.cbegin(), records.cend(), nullptr)), 3 - finished - failed);
        lists.clearAll();
        QCOMPARE(lists.total(), 0);
        QVERIFY(!lists.hasPending() && lists.finished().isEmpty() && lists.failed().isEmpty());
        releaseDeferred();
        QCOMPARE(int(std::count(records.cbegin(), records.cend(), nullptr)), 3);
    }

    void reloadFailed_data()
    {
        QTest::addColumn<bool>("failedAlsoPending");
        QTest::addColumn<QStringList>("pending");
        QTest::newRow("sources queued after the pending") << false << QStringList { "a", "b", "y", "z" };
        QTest::newRow("a pending path not twice") << true << QStringList { "a", "b", "z", "y" };
    }
    void reloadFailed()
    {
        QFETCH(bool, failedAlsoPending);
        QFETCH(QStringList, pending);
        DecryptLists lists;
        fill(lists, failedAlsoPending);
        QVERIFY(lists.reloadFailed());
        QCOMPARE(lists.pendingPaths(), pending);
        QVERIFY(lists.failed().isEmpty());
        QCOMPARE(lists.total(), int(pending.size()) + 1);
        // Nothing failed: nothing changes.
        QVERIFY(!lists.reloadFailed());
        QCOMPARE(lists.pendingPaths(), pending);
        lists.clearAll();
        releaseDeferred();
    }

    // A released record leaves its list; the total stays until the queue changes.
    void take()
    {
        DecryptLists lists;
        fill(lists);
        CryptTask* finished = lists.finished().first();
        CryptTask* failed = lists.failed().last();
        const CryptTask other(QStringLiteral("o"));
        QCOMPARE(lists.take(finished), finished);
        QCOMPARE(lists.take(failed), failed);
        QCOMPARE(lists.take(finished), nullptr);
        QCOMPARE(lists.take(&other), nullptr);
        QVERIFY(lists.finished().isEmpty());
        QCOMPARE(lists.failed().size(), 1);
        QCOMPARE(lists.total(), 2);
        delete finished;
        delete failed;
        lists.clearAll();
        releaseDeferred();
    }
};

QTEST_GUILESS_MAIN(TestDecryptLists)
#include "test_DecryptLists.moc"
