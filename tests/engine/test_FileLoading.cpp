// The one set of loading rules the window and the command-line tool share:
// which files a load takes from the inputs and folders it is given.
#include "engine/DecryptManager.h"
#include "engine/FileLoading.h"
#include "engine/LocalPath.h"
#include "tests/support/EnvelopeWriter.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool writeEnvelope(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return korvel::test::writeEnvelope(path.toStdString(), korvel::test::patternBytes(500, qHash(path)));
}

} // namespace

class TestFileLoading : public QObject {
    Q_OBJECT

private:
    QScopedPointer<QTemporaryDir> m_dir;
    DecryptManager* m_manager = nullptr;

    QString path(const QString& name) const { return m_dir->filePath(name); }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_manager = DecryptManager::instance();
    }

    void cleanup()
    {
        DecryptManager::destroyInstance();
        m_manager = nullptr;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The path codec: every byte string comes back exactly; only bytes that are
    // not UTF-8 become escapes, and those show as ls -b shows them.
    void localPathRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("escapes");
        QTest::addColumn<QString>("shown"); // LocalPath::escaped()
        QTest::newRow("ASCII") << QByteArray("/tmp/a.txt") << false << "/tmp/a.txt";
        QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9 \xf0\x9f\x94\x91") << false << "café 🔑";
        QTest::newRow("a replacement character") << QByteArray("a\xef\xbf\xbd") << false << "a\uFFFD";
        QTest::newRow("Latin-1") << QByteArray("/d\xe9j\xe0/caf\xe9") << true << "/d\\351j\\340/caf\\351";
        QTest::newRow("a stray continuation byte") << QByteArray("\x80x") << true << "\\200x";
        QTest::newRow("a sequence cut short") << QByteArray("a\xe2\x82") << true << "a\\342\\202";
        QTest::newRow("an overlong slash") << QByteArray("\xc0\xaf") << true << "\\300\\257";
        QTest::newRow("an encoded surrogate") << QByteArray("\xed\xb2\x80") << true << "\\355\\262\\200";
        QTest::newRow("past U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << true << "\\364\\220\\200\\200";
        QTest::newRow("controls and a backslash") << QByteArray("a\tb\nc\\\x01") << false << "a\\tb\\nc\\\\\\001";
    }

    void localPathRoundTrip()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, escapes);
        QFETCH(QString, shown);
        const QString path = LocalPath::decode(bytes);
        QCOMPARE(LocalPath::encode(path), bytes);
        QCOMPARE(LocalPath::hasEscapes(path), escapes);
        if (!escapes)
            QCOMPARE(path, QString::fromUtf8(bytes));
        QCOMPARE(LocalPath::escaped(bytes), shown);
        QCOMPARE(LocalPath::displayName(path), escapes ? shown : path);
        // The name is the file's: made, found and read back by those bytes.
        const QByteArray file = QFile::encodeName(m_dir->path()) + "/" + bytes.mid(bytes.lastIndexOf('/') + 1);
        if (file.contains('\0') || bytes.endsWith('/'))
            return;
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        QVERIFY(fd >= 0);
        ::close(fd);
        const QStringList found = FileLoading::walkDirectory(m_dir->path(), QStringLiteral("*"), false);
        QCOMPARE(found.size(), 1);
        QCOMPARE(LocalPath::encode(found.first()), file);
        struct stat status { };
        QVERIFY(LocalPath::status(found.first(), &status));
        QVERIFY(::unlink(file.constData()) == 0);
    }

    void mayBeEnvelope_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content"); // empty: an envelope
        QTest::addColumn<bool>("expected");
        QTest::newRow("envelope") << "a.txt.korvel-env" << QByteArray() << true;
        QTest::newRow("extension in capitals, any content") << "b.KORVEL-ENV" << QByteArray("words") << true;
        QTest::newRow("envelope without its extension") << "renamed.pdf" << QByteArray() << true;
        QTest::newRow("plaintext") << "readme.txt" << QByteArray("just text").repeated(40) << false;
        QTest::newRow("tiny file") << "tiny" << QByteArray("abc") << false;
        QTest::newRow("extension inside the name only")
            << "x.korvel-env.bak" << QByteArray("old copy").repeated(40) << false;
    }

    void mayBeEnvelope()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(bool, expected);
        const QString file = path(name);
        QVERIFY(content.isEmpty() ? writeEnvelope(file) : writeFile(file, content));
        QCOMPARE(FileLoading::mayBeEnvelope(file), expected);
    }

    // Envelopes whose plaintext stands under its plain name already, next to
    // them or below an output folder, are passed over; a source without the
    // envelope extension holds that name itself and never is.
    void skipDecrypted_data()
    {
        QTest::addColumn<QString>("outputRoot"); // below the test folder; empty: next to each source
        QTest::addColumn<QStringList>("plaintexts"); // standing before the load
        QTest::addColumn<QStringList>("found");
        const QStringList all { "in/a.txt.korvel-env", "in/renamed", "in/sub/b.korvel-env" };
        QTest::newRow("nothing decrypted") << "" << QStringList {} << all;
        QTest::newRow("one decrypted") << "" << QStringList { "in/a.txt" }
                                       << QStringList { "in/renamed", "in/sub/b.korvel-env" };
        QTest::newRow("without the extension, never")
            << "" << QStringList { "in/a.txt", "in/sub/b" } << QStringList { "in/renamed" };
        QTest::newRow("below an output folder")
            << "out" << QStringList { "out/in/sub/b", "out/in/renamed" } << QStringList { "in/a.txt.korvel-env" };
        QTest::newRow("beside the source, not below the folder") << "out" << QStringList { "in/a.txt" } << all;
    }

    void skipDecrypted()
    {
        QFETCH(QString, outputRoot);
        QFETCH(QStringList, plaintexts);
        QFETCH(QStringList, found);
        QVERIFY(writeEnvelope(path("in/a.txt.korvel-env")));
        QVERIFY(writeEnvelope(path("in/renamed")));
        QVERIFY(writeEnvelope(path("in/sub/b.korvel-env")));
        for (const QString& plaintext : plaintexts)
            QVERIFY(writeFile(path(plaintext), "decrypted before"));
        FileLoading::LoadOptions options;
        options.envelopesOnly = true;
        options.skipDecrypted = true;
        options.outputRoot = outputRoot.isEmpty() ? QString() : path(outputRoot);
        const FileLoading::Result result = FileLoading::find({ path("in") }, {}, options);
        QStringList relative;
        for (const QString& file : result.files())
            relative.append(QDir(m_dir->path()).relativeFilePath(file));
        relative.sort();
        QCOMPARE(relative, found);
        QCOMPARE(result.alreadyDecrypted, 3 - static_cast<int>(found.size()));
        // Off, every envelope is taken.
        options.skipDecrypted = false;
        QCOMPARE(FileLoading::find({ path("in") }, {}, options).fileCount(), 3);
    }

    void envelopesOnlyFromFolders_data()
    {
        QTest::addColumn<bool>("envelopesOnly");
        QTest::addColumn<QStringList>("found");
        QTest::addColumn<int>("notEnvelopes");
        // Files named as inputs are taken either way; the folder's plain files only
        // under the window's rule.
        QTest::newRow("every file (the window's rule)")
            << false
            << QStringList { "direct.txt", "in/a.korvel-env", "in/plain.txt", "in/sub/B.KORVEL-ENV", "in/sub/renamed",
                   "in/sub/tiny" }
            << 0;
        QTest::newRow("only envelopes from folders")
            << true << QStringList { "direct.txt", "in/a.korvel-env", "in/sub/B.KORVEL-ENV", "in/sub/renamed" } << 2;
    }

    void envelopesOnlyFromFolders()
    {
        QFETCH(bool, envelopesOnly);
        QFETCH(QStringList, found);
        QFETCH(int, notEnvelopes);
        QVERIFY(writeEnvelope(path("in/a.korvel-env")));
        QVERIFY(writeFile(path("in/plain.txt"), QByteArray("plaintext of an earlier run").repeated(20)));
        QVERIFY(writeEnvelope(path("in/sub/B.KORVEL-ENV")));
        QVERIFY(writeEnvelope(path("in/sub/renamed")));
        QVERIFY(writeFile(path("in/sub/tiny"), "x"));
        QVERIFY(writeFile(path("direct.txt"), QByteArray("named on purpose").repeated(20)));

        FileLoading::LoadOptions options;
        options.envelopesOnly = envelopesOnly;
        // The count of files found, as another thread would read it: seen at each
        // entry the load looks at (the cancel check comes before every one).
        std::atomic<qint64> counter { 0 };
        options.found = &counter;
        QList<qint64> seenCounts;
        const auto watch = [&] {
            seenCounts.append(counter.load());
            return false;
        };
        const FileLoading::Result result
            = FileLoading::load({ path("direct.txt"), path("in") }, *m_manager, watch, options);
        // It grows, one file at a time, to every file found, before any choice.
        QCOMPARE(counter.load(), found.size() + notEnvelopes);
        QVERIFY(std::is_sorted(seenCounts.cbegin(), seenCounts.cend()));
        QCOMPARE(seenCounts.first(), 0);
        QVERIFY(seenCounts.contains(counter.load() - 1));
        QCOMPARE(seenCounts.last(), counter.load());
        QStringList relative;
        for (const QString& file : result.files())
            relative.append(QDir(m_dir->path()).relativeFilePath(file));
        relative.sort();
        QCOMPARE(relative, found);
        QCOMPARE(result.notEnvelopes, notEnvelopes);
        QCOMPARE(result.added, static_cast<int>(found.size()));
        QCOMPARE(m_manager->getNumPending(), static_cast<int>(found.size()));
        QVERIFY(result.skipped.isEmpty());

        // find() follows the same rules and hands nothing to the manager.
        m_manager->clearPending();
        const FileLoading::Result seen
            = FileLoading::find({ path("direct.txt"), path("in"), path("missing") }, {}, options);
        QCOMPARE(seen.fileCount(), found.size());
        QCOMPARE(seen.notEnvelopes, notEnvelopes);
        QCOMPARE(seen.added, 0);
        QCOMPARE(seen.skipped.size(), 1);
        QCOMPARE(seen.skipped.first().input, path("missing"));
        QCOMPARE(m_manager->getNumPending(), 0);
    }

    // The window's status line after a load: every file left out is counted,
    // folders that could not be read with the first one's name and cause.
    void summaryCountsWhatWasLeftOut_data()
    {
        QTest::addColumn<int>("added");
        QTest::addColumn<int>("notEnvelopes");
        QTest::addColumn<QStringList>("unreadable"); // folder names; each "Permission denied"
        QTest::addColumn<QString>("summary");
        QTest::newRow("all loaded") << 3 << 0 << QStringList() << "3 files loaded successfully.";
        QTest::newRow("one folder unreadable")
            << 1 << 0 << QStringList { "in/locked" }
            << "1 files loaded successfully. 1 folders could not be read, first 'in/locked': Permission denied.";
        QTest::newRow("two unreadable beside plain files")
            << 2 << 4 << QStringList { "a/x", "a/y" }
            << "2 files loaded. 4 files that are not envelopes skipped. 2 folders could not be read, first 'a/x': "
               "Permission denied.";
    }

    void summaryCountsWhatWasLeftOut()
    {
        QFETCH(int, added);
        QFETCH(int, notEnvelopes);
        QFETCH(QStringList, unreadable);
        QFETCH(QString, summary);
        FileLoading::Result result;
        result.inputs = 1;
        result.groups.append({ path("in"), "in", QString(), QStringList(added, path("in/f")), {}, QString() });
        result.added = added;
        result.notEnvelopes = notEnvelopes;
        for (const QString& folder : unreadable)
            result.unreadable.append({ folder, QStringLiteral("Permission denied") });
        QCOMPARE(result.summary(), summary);
    }

    // Paths read from a list keep their paths below an output folder: each file and
    // folder gets the base its listed path implies; a find's results add up.
    void listedPathsAndAppend()
    {
        QVERIFY(writeEnvelope(path("in/a.korvel-env")));
        QVERIFY(writeEnvelope(path("in/sub/b.korvel-env")));
        QVERIFY(writeEnvelope(path("c.korvel-env")));
        const QString cwd = QDir::currentPath();
        const auto restore = qScopeGuard([&cwd] { QDir::setCurrent(cwd); });
        QVERIFY(QDir::setCurrent(m_dir->path()));
        FileLoading::LoadOptions options;
        options.keepListedPaths = true;
        FileLoading::Result result
            = FileLoading::find({ "in/a.korvel-env", path("c.korvel-env"), "in/sub", "missing" }, {}, options);
        QCOMPARE(result.groups.size(), 3);
        QCOMPARE(result.groups.at(0).outputBase, QDir::currentPath());
        QCOMPARE(result.groups.at(0).files, QStringList { path("in/a.korvel-env") });
        QCOMPARE(result.groups.at(0).nameOf(0), QStringLiteral("in/a.korvel-env"));
        QCOMPARE(result.groups.at(1).outputBase, QStringLiteral("/"));
        QCOMPARE(result.groups.at(1).files, QStringList { path("c.korvel-env") });
        QCOMPARE(result.groups.at(2).folder, path("in/sub"));
        QCOMPARE(result.groups.at(2).nameOf(0), QStringLiteral("in/sub/b.korvel-env"));
        QCOMPARE(result.groups.at(2).outputBase, QDir::currentPath());
        QCOMPARE(result.skipped.size(), 1);

        // Without the option, as on the command line: a named file lands in the
        // output folder itself, a folder keeps its own name.
        const FileLoading::Result named = FileLoading::find({ "in/a.korvel-env", "in/sub" }, {}, {});
        QCOMPARE(named.groups.size(), 2);
        QVERIFY(named.groups.at(0).outputBase.isEmpty());
        QCOMPARE(named.groups.at(1).outputBase, QDir::current().absoluteFilePath("in"));

        result.append(named);
        QCOMPARE(result.inputs, 6);
        QCOMPARE(result.groups.size(), 5);
        QCOMPARE(result.fileCount(), 5);
        QCOMPARE(result.skipped.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestFileLoading)
#include "test_FileLoading.moc"
