// Where plaintexts go below an output folder: the path each source keeps there
// and the folders made on the way.
#include "engine/OutputFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

mode_t modeOf(const QString& path)
{
    struct stat status { };
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

} // namespace

class TestOutputFolders : public QObject {
    Q_OBJECT

private slots:
    void baseOfFolder_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("base");
        QTest::newRow("absolute") << "/srv/archive/2019"
                                  << "/srv/archive";
        QTest::newRow("trailing slash") << "/srv/archive/2019/"
                                        << "/srv/archive";
        QTest::newRow("dots inside") << "/srv/./archive/x/../2019"
                                     << "/srv/archive";
        QTest::newRow("top folder") << "/srv"
                                    << "/";
        QTest::newRow("the root") << "/"
                                  << "/";
    }

    void baseOfFolder()
    {
        QFETCH(QString, folder);
        QFETCH(QString, base);
        QCOMPARE(OutputFolders::baseOfFolder(folder), base);
    }

    void relativeFolders()
    {
        // A folder given relative to the working folder, even "." and "..": its own
        // name is kept, as cp -r does.
        const QString cwd = QDir::currentPath();
        const QString parent = QFileInfo(cwd).absolutePath();
        QCOMPARE(OutputFolders::baseOfFolder(QStringLiteral("sub")), cwd);
        QCOMPARE(OutputFolders::baseOfFolder(QStringLiteral(".")), parent);
        QCOMPARE(OutputFolders::relativePath(QStringLiteral("./x.korvel-env"), OutputFolders::baseOfFolder(".")),
            QFileInfo(cwd).fileName() + QStringLiteral("/x.korvel-env"));
        QCOMPARE(OutputFolders::relativePath(QStringLiteral("sub/deep/x"), OutputFolders::baseOfFolder("sub")),
            QStringLiteral("sub/deep/x"));
    }

    void relativePath_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("relative");
        QTest::newRow("no base: the file name") << "/srv/a/b/c.korvel-env"
                                                << ""
                                                << "c.korvel-env";
        QTest::newRow("below the base") << "/srv/a/b/c.korvel-env"
                                        << "/srv"
                                        << "a/b/c.korvel-env";
        QTest::newRow("base with a slash") << "/srv/a/c"
                                           << "/srv/"
                                           << "a/c";
        QTest::newRow("the root as base") << "/srv/a/c"
                                          << "/"
                                          << "srv/a/c";
        QTest::newRow("dots cleaned") << "/srv/a/../b/./c"
                                      << "/srv"
                                      << "b/c";
        // Never outside the output folder: a source not below its base keeps only its name.
        QTest::newRow("not below the base") << "/other/c"
                                            << "/srv"
                                            << "c";
        QTest::newRow("a name that only starts like it") << "/srv2/c"
                                                         << "/srv"
                                                         << "c";
        QTest::newRow("climbing out") << "/srv/../etc/passwd"
                                      << "/srv"
                                      << "passwd";
    }

    void relativePath()
    {
        QFETCH(QString, source);
        QFETCH(QString, base);
        QFETCH(QString, relative);
        QCOMPARE(OutputFolders::relativePath(source, base), relative);
    }

    void baseOfListed_data()
    {
        QTest::addColumn<QString>("listed");
        QTest::addColumn<QString>("relative"); // its path below the output folder
        // A path read from a list keeps what it says, less a leading "/" or ".." steps.
        QTest::newRow("absolute") << "/srv/archive/2019/q1.pdf.korvel-env"
                                  << "srv/archive/2019/q1.pdf.korvel-env";
        QTest::newRow("relative") << "archive/x.korvel-env"
                                  << "archive/x.korvel-env";
        QTest::newRow("dot first") << "./archive/./x.korvel-env"
                                   << "archive/x.korvel-env";
        QTest::newRow("one step up") << "../old/x.korvel-env"
                                     << "old/x.korvel-env";
        QTest::newRow("steps up, cleaned") << "a/../../../old//x"
                                           << "old/x";
        QTest::newRow("a bare name") << "x.korvel-env"
                                     << "x.korvel-env";
    }

    void baseOfListed()
    {
        QFETCH(QString, listed);
        QFETCH(QString, relative);
        const QString base = OutputFolders::baseOfListed(listed);
        QVERIFY(QDir::isAbsolutePath(base));
        QCOMPARE(OutputFolders::relativePath(listed, base), relative);
    }

    void prepareMakesTheFolders()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const mode_t umaskWas = ::umask(022);
        // Source folders: a private one inside a shared one.
        const QString shared = dir.filePath(QStringLiteral("src/shared"));
        const QString secret = shared + QStringLiteral("/secret");
        QVERIFY(QDir().mkpath(secret));
        QVERIFY(::chmod(QFile::encodeName(shared).constData(), 0555) == 0); // read-only media look like this
        QVERIFY(::chmod(QFile::encodeName(secret).constData(), 0710) == 0);

        const QString root = dir.filePath(QStringLiteral("out/deeper"));
        const QString folder = OutputFolders::prepare(
            root, secret + QStringLiteral("/x.korvel-env"), dir.filePath(QStringLiteral("src")));
        QCOMPARE(folder, root + QStringLiteral("/shared/secret"));
        QVERIFY(QFileInfo(folder).isDir());
        // The output folder and what was missing above it: the owner's alone.
        QCOMPARE(modeOf(dir.filePath(QStringLiteral("out"))), mode_t(0700));
        QCOMPARE(modeOf(root), mode_t(0700));
        // Folders that stand for source folders: never more open to others than
        // the source folder; always writable for the owner.
        QCOMPARE(modeOf(root + QStringLiteral("/shared")), mode_t(0755));
        QCOMPARE(modeOf(folder), mode_t(0710));

        // A folder that exists is left as it is; a file named directly lands in the root.
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0750) == 0);
        QCOMPARE(
            OutputFolders::prepare(root, secret + QStringLiteral("/y"), dir.filePath(QStringLiteral("src"))), folder);
        QCOMPARE(modeOf(folder), mode_t(0750));
        QCOMPARE(OutputFolders::prepare(root, secret + QStringLiteral("/y"), QString()), root);

        // The umask takes away more.
        ::umask(077);
        const QString other = dir.filePath(QStringLiteral("out2"));
        const QString made
            = OutputFolders::prepare(other, shared + QStringLiteral("/z"), dir.filePath(QStringLiteral("src")));
        QCOMPARE(modeOf(made), mode_t(0700));
        ::umask(umaskWas);
        QVERIFY(::chmod(QFile::encodeName(shared).constData(), 0755) == 0);
    }

    // With a set of known folders, every folder made or found goes in it, and
    // one in it is taken as there: nothing is made for it again.
    void knownFoldersAreNotMadeAgain()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString src = dir.filePath(QStringLiteral("src"));
        QVERIFY(QDir().mkpath(src + QStringLiteral("/a/b")));
        const QString root = dir.filePath(QStringLiteral("out"));
        QSet<QString> known;
        const QString folder = OutputFolders::prepare(root, src + QStringLiteral("/a/b/x"), dir.path(), &known);
        QCOMPARE(folder, root + QStringLiteral("/src/a/b"));
        const QSet<QString> expected { root, root + QStringLiteral("/src"), root + QStringLiteral("/src/a"), folder };
        QCOMPARE(known, expected);
        // Known but gone (removed behind the run's back): not made again.
        QVERIFY(QDir(folder).removeRecursively());
        QCOMPARE(OutputFolders::prepare(root, src + QStringLiteral("/a/b/y"), dir.path(), &known), folder);
        QVERIFY(!QFileInfo::exists(folder));
        // Without the set it is.
        QCOMPARE(OutputFolders::prepare(root, src + QStringLiteral("/a/b/y"), dir.path()), folder);
        QVERIFY(QFileInfo(folder).isDir());
        // A folder that was there already is known too; a new sibling is made.
        QSet<QString> fresh;
        QVERIFY(QDir().mkpath(src + QStringLiteral("/a/c")));
        QCOMPARE(OutputFolders::prepare(root, src + QStringLiteral("/a/c/z"), dir.path(), &fresh),
            root + QStringLiteral("/src/a/c"));
        QVERIFY(fresh.contains(root + QStringLiteral("/src/a")));
        QVERIFY(QFileInfo(root + QStringLiteral("/src/a/c")).isDir());
    }
};

QTEST_GUILESS_MAIN(TestOutputFolders)
#include "test_OutputFolders.moc"
