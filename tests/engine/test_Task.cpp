// Task records: display texts, equality, copies and the destination naming helpers.
#include "engine/CryptTask.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A task of another kind, to check that a CryptTask never equals it.
class OtherTask : public Task {
public:
    bool equals(const Task* other) const override { return other == this; }
};

} // namespace

class TestTask : public QObject {
    Q_OBJECT

private slots:
    void newTaskIsWaiting()
    {
        CryptTask task(QStringLiteral("/x/a.korvel-env"));
        QCOMPARE(task.status(), Task::WAITING);
        QCOMPARE(task.statusText(), QStringLiteral("Waiting"));
        QCOMPARE(task.progress(), 0.0f);
        QCOMPARE(task.workerId.load(), -1);
        QCOMPARE(task.source(), QStringLiteral("/x/a.korvel-env"));
        QCOMPARE(task.loadedSource(), QStringLiteral("/x/a.korvel-env"));
        QVERIFY(task.destination().isEmpty());
        QVERIFY(!task.destinationSuffixed && !task.renameSourceOnSuccess && !task.sourceDeleted);
    }

    void statusText_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("deleted");
        QTest::addColumn<bool>("tagged");
        QTest::addColumn<QString>("text");
        QTest::newRow("decrypting") << 0 << "" << false << false << "Decrypting";
        QTest::newRow("finished") << 1 << "" << false << false << "Finished";
        QTest::newRow("finished deleted") << 1 << "" << true << false << "Finished (Deleted source)";
        QTest::newRow("finished tagged") << 1 << "" << false << true
                                         << "Finished ((decrypted) appended to destination name)";
        QTest::newRow("finished both") << 1 << "" << true << true
                                       << "Finished (Deleted source and (decrypted) appended to destination name)";
        QTest::newRow("failed empty") << 2 << "" << false << false << "Error";
        QTest::newRow("failed message") << 2 << "Passphrase doesn't match Code: 1" << true << true
                                        << "Error (Passphrase doesn't match Code: 1)";
        QTest::newRow("failed %1 in message") << 2 << "50%1 %2" << false << false << "Error (50%1 %2)";
        QTest::newRow("cancelled") << 3 << "" << true << true << "Cancelled";
        QTest::newRow("waiting") << 4 << "" << false << false << "Waiting";
        QTest::newRow("cleared") << 5 << "" << false << false << "Cleared";
        QTest::newRow("out of range") << 6 << "" << false << false << "Unknown";
        QTest::newRow("negative") << -1 << "" << false << false << "Unknown";
    }

    void statusText()
    {
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(bool, deleted);
        QFETCH(bool, tagged);
        QFETCH(QString, text);
        CryptTask task(QStringLiteral("/x/a.korvel-env"));
        task.setStatus(static_cast<Task::STATUS>(status));
        task.setMessage(message);
        task.sourceDeleted = deleted;
        task.destinationSuffixed = tagged;
        QCOMPARE(task.statusText(), text);
    }

    void equality()
    {
        CryptTask a(QStringLiteral("/x/a.korvel-env"));
        CryptTask same(QStringLiteral("/x/a.korvel-env"));
        CryptTask upper(QStringLiteral("/x/A.korvel-env"));
        OtherTask other;
        QVERIFY(a.equals(&same));
        QVERIFY(!a.equals(&upper));
        QVERIFY(!a.equals(&other));
        QVERIFY(!a.equals(nullptr));
        same.setSource(QStringLiteral("/x/b"));
        QVERIFY(!a.equals(&same));
    }

    void copyKeepsEverything()
    {
        CryptTask task(QStringLiteral("/x/notes"));
        task.setSource(QStringLiteral("/x/notes.korvel-env"));
        task.setDestination(QStringLiteral("/x/notes(decrypted)"));
        task.setPassphrase(QStringLiteral("pw"));
        task.setStatus(Task::FAILED);
        task.setMessage(QStringLiteral("boom"));
        task.setProgress(0.5f);
        task.workerId = 3;
        task.renameSourceOnSuccess = true;
        task.destinationSuffixed = true;
        task.sourceDeleted = true;
        task.outputDurable = true;
        task.setReason(QStringLiteral("No space left on device"));

        const CryptTask copy(task);
        QCOMPARE(copy.loadedSource(), QStringLiteral("/x/notes"));
        QCOMPARE(copy.source(), QStringLiteral("/x/notes.korvel-env"));
        QCOMPARE(copy.destination(), QStringLiteral("/x/notes(decrypted)"));
        QCOMPARE(copy.passphrase(), QStringLiteral("pw"));
        QCOMPARE(copy.passphrases(), QStringList { QStringLiteral("pw") });
        QCOMPARE(copy.status(), Task::FAILED);
        QCOMPARE(copy.message(), QStringLiteral("boom"));
        QCOMPARE(copy.progress(), 0.5f);
        QCOMPARE(copy.workerId.load(), 3);
        QVERIFY(copy.renameSourceOnSuccess && copy.destinationSuffixed && copy.sourceDeleted && copy.outputDurable);
        QCOMPARE(copy.reason(), QStringLiteral("No space left on device"));
        QVERIFY(copy.parent() == nullptr);
        // The copy refers to the same passphrase; it holds no copy of its own.
        QCOMPARE(copy.passphraseHolder(), task.passphraseHolder());

        // Several candidates travel in their order, with the one that matched.
        task.setPassphrases({ QStringLiteral("one"), QString(), QStringLiteral("three") });
        task.passphraseIndex = 2;
        const CryptTask second(task);
        QCOMPARE(second.passphrases(), (QStringList { QStringLiteral("one"), QString(), QStringLiteral("three") }));
        QCOMPARE(second.passphrase(), QStringLiteral("one"));
        QCOMPARE(second.passphraseIndex.load(), 2);
        QCOMPARE(second.passphraseHolders(), task.passphraseHolders());
        QCOMPARE(CryptTask(QStringLiteral("/x/new")).passphraseIndex.load(), -1);
        QVERIFY(CryptTask(QStringLiteral("/x/new")).passphrase().isEmpty());
    }

    // Records refer to one passphrase: wiping it leaves none of them a copy.
    void recordsShareThePassphrase()
    {
        auto shared = std::make_shared<Passphrase>(QStringLiteral("gemeinsam ü"));
        CryptTask a(QStringLiteral("/x/a.korvel-env"));
        CryptTask b(QStringLiteral("/x/b.korvel-env"));
        a.setPassphrase(shared);
        b.setPassphrase(shared);
        CryptTask own(QStringLiteral("/x/c.korvel-env"));
        own.setPassphrase(QStringLiteral("eigen"));
        QCOMPARE(a.passphrase(), QStringLiteral("gemeinsam ü"));
        QCOMPARE(b.passphraseHolder().get(), shared.get());

        shared->clear();
        QVERIFY(a.passphrase().isEmpty());
        QVERIFY(b.passphrase().isEmpty());
        QCOMPARE(own.passphrase(), QStringLiteral("eigen"));
        QVERIFY(CryptTask(QStringLiteral("/x/d")).passphrase().isEmpty()); // none set
    }

    void metaTypeCopies()
    {
        CryptTask task(QStringLiteral("/x/a.korvel-env"));
        const QMetaType type = QMetaType::fromName("CryptTask");
        QVERIFY(type.isValid());
        void* copy = type.create(&task);
        QVERIFY(copy);
        QCOMPARE(static_cast<CryptTask*>(copy)->source(), task.source());
        type.destroy(copy);
    }

    void naming_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("untagged");
        QTest::addColumn<QStringList>("sequence");
        QTest::newRow("envelope") << "/x/doc.txt.korvel-env"
                                  << "/x/doc.txt"
                                  << QStringList { "/x/doc(decrypted).txt", "/x/doc(decrypted 2).txt",
                                         "/x/doc(decrypted 3).txt" };
        QTest::newRow("already tagged") << "/x/doc(decrypted).txt.korvel-env"
                                        << "/x/doc(decrypted).txt"
                                        << QStringList { "/x/doc(decrypted 2).txt", "/x/doc(decrypted 3).txt" };
        QTest::newRow("upper-case extension")
            << "/x/photo.KORVEL-ENV"
            << "/x/photo" << QStringList { "/x/photo(decrypted)", "/x/photo(decrypted 2)" };
        QTest::newRow("last suffix only") << "/x/archive.tar.korvel-env"
                                          << "/x/archive.tar" << QStringList { "/x/archive(decrypted).tar" };
        QTest::newRow("no suffix") << "/x/notes"
                                   << "/x/notes" << QStringList { "/x/notes(decrypted)" };
        QTest::newRow("other suffix") << "/x/report.pdf"
                                      << "/x/report.pdf"
                                      << QStringList { "/x/report(decrypted).pdf", "/x/report(decrypted 2).pdf" };
    }

    void naming()
    {
        QFETCH(QString, source);
        QFETCH(QString, untagged);
        QFETCH(QStringList, sequence);
        QCOMPARE(CryptTask::withoutDecryptedSuffix(source), untagged);
        for (int n = 1; n <= sequence.size(); ++n)
            QCOMPARE(CryptTask::suffixedDestination(untagged, n), sequence.at(n - 1));
    }

    void nameTakenSeesDanglingLinks()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString link = dir.filePath(QStringLiteral("link"));
        QVERIFY(!CryptTask::nameTaken(link));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), link));
        QVERIFY(CryptTask::nameTaken(link));
        QVERIFY(CryptTask::nameTaken(dir.path()));
    }
};

QTEST_GUILESS_MAIN(TestTask)
#include "test_Task.moc"
