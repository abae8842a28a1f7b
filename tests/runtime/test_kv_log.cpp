#include "runtime/src/kv_internal.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestProcesses.h"

#include <kv/kv.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using korvel::test::readAll;

namespace {

ino_t inode(const QString& path)
{
    struct stat st;
    return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

QString hex(qint64 value, int width = 0)
{
    return QString::number(value, 16).rightJustified(width, QLatin1Char('0'));
}

// Everything written to standard error while alive.
class StderrCapture {
public:
    explicit StderrCapture(const QString& path)
        : m_path(path)
    {
        fflush(stderr);
        m_saved = dup(2);
        const int fd = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    QByteArray text()
    {
        restore();
        return readAll(m_path);
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        fflush(stderr);
        dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }
    QString m_path;
    int m_saved = -1;
};

// The seconds the log's clock reads while a test has set fakeClock.
int64_t gFakeSeconds = 0;

int64_t fakeClock()
{
    return gFakeSeconds;
}

// The line a header and message make, for a line written by this thread.
QRegularExpression lineExpression(const QString& tagAndMessage)
{
    return QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[%1-%2\\] %3\r\n$")
                                  .arg(hex(getpid()), hex(gettid(), 8), QRegularExpression::escape(tagAndMessage)));
}

// Makes the file planted at `planted`: a FIFO, or a link to `target`.
bool plant(const std::string& kind, const std::string& planted, const std::string& target)
{
    if (kind.rfind("fifo", 0) == 0)
        return mkfifo(planted.c_str(), 0600) == 0;
    return symlink(target.c_str(), planted.c_str()) == 0;
}

// Opens the log args[1] with standard error going to the file args[0]; with a
// kind in args[2], plants args[3] of that kind (to args[4]) and writes past a
// limit of 1 MiB so that the log rotates onto it. Returns what opening the log
// returned.
KORVEL_CHILD_STEP(logBesidePlanted)
{
    kv_log_set(1);
    kv_dbg_set(0);
    kv_log_set_echo(-1);
    kv_log_set_logfile_size(args[2].empty() ? 10 : 1);
    const int fd = open(args[0].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || dup2(fd, 2) < 0)
        return korvel::test::kChildSetupFailed;
    const int rc = kv_log_init(0, args[1].c_str());
    if (!args[2].empty() && !plant(args[2], args[3], args[4]))
        return 100;
    kv_log("%s", std::string(100, 'x').c_str()); // past the limit at rotation
    kv_log("more");
    kv_log_cleanup();
    return rc;
}

// Logs a line, forks (from another thread when args[1] is not empty), logs in
// the child and once more after it; writes the ids involved to the file args[2].
KORVEL_CHILD_STEP(forkAndLog)
{
    kv_log_set(1);
    kv_log_set_logfile_size(10);
    if (kv_log_init(0, args[0].c_str()) != 0)
        return 100;
    pid_t forker = 0;
    pid_t child = -1;
    int code = -1;
    auto forkAndLog = [&] {
        forker = gettid();
        kv_log("before the fork"); // the forking thread's id is known to the log now
        child = fork();
        if (child == 0) {
            kv_log("in the child");
            _exit(0);
        }
        if (child > 0)
            code = korvel::test::waitChild(child);
    };
    if (!korvel::test::singleThreaded())
        return 101;
    if (args[1].empty())
        forkAndLog();
    else
        std::thread(forkAndLog).join();
    if (child <= 0 || code != 0)
        return 102;
    kv_log("after the fork");
    kv_log_cleanup();
    FILE* report = fopen(args[2].c_str(), "w");
    if (!report)
        return 103;
    fprintf(report, "%d %d %d %d", int(getpid()), int(forker), int(child), int(gettid()));
    return fclose(report) == 0 ? 0 : 104;
}

} // namespace

class TestKvLog : public QObject {
    Q_OBJECT

private:
    QTemporaryDir* m_dir = nullptr;
    QString file(const QString& name) const { return m_dir->filePath(name); }
    QByteArray name(const QString& n) const { return QFile::encodeName(file(n)); }
    void createFile(const QString& n, qint64 size)
    {
        QFile f(file(n));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(size));
    }
    QStringList rotatedFiles() const
    {
        return QDir(m_dir->path()).entryList(QStringList { "app.?.log" }, QDir::Files, QDir::Name);
    }

private slots:
    void init();
    void cleanup();
    void closedLogWritesNothing();
    void lineFormat();
    void levels();
    void repeatNotice();
    void longMessageCut();
    void fileNames_data();
    void fileNames();
    void digitChoice_data();
    void digitChoice();
    void rotationPastLimit();
    void wrapFromNineToZero();
    void growthByOthersCounted();
    void rotationThroughAllFiles();
    void sizeLimits();
    void echoLevels_data();
    void echoLevels();
    void standardErrorOnly();
    void initFailures();
    void defaultDirectory();
    void refusedNames_data();
    void refusedNames();
    void plantedFiles_data();
    void plantedFiles();
    void timeStampsAfter2038_data();
    void timeStampsAfter2038();
    void forkedChildIds_data();
    void forkedChildIds();
    void eightThreads();
};

void TestKvLog::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    kv_log_set(1);
    kv_dbg_set(0);
    kv_log_set_echo(-1);
    kv_log_set_logfile_size(10);
}

void TestKvLog::cleanup()
{
    kv_log_cleanup();
    kv_log_set_clock(nullptr);
    delete m_dir;
    m_dir = nullptr;
}

void TestKvLog::closedLogWritesNothing()
{
    QCOMPARE(kv_log("before init"), 0);
    QCOMPARE(kv_log_cleanup(), -2);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    kv_log_set(0);
    QCOMPARE(kv_err("while disabled"), 0);
    kv_log_set(1);
    QCOMPARE(kv_log("written"), 0);
    QCOMPARE(kv_log_cleanup(), 0);
    QCOMPARE(kv_log("after cleanup"), 0);
    const QByteArray text = readAll(file("app.0.log"));
    QCOMPARE(text.count("\r\n"), 1);
    QVERIFY(text.endsWith("LOG written\r\n"));
}

void TestKvLog::lineFormat()
{
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    QCOMPARE(kv_log("DecryptManager::run() %d %s", 5, "x"), 0);
    const QByteArray text = readAll(file("app.0.log"));
    QVERIFY2(
        lineExpression("LOG DecryptManager::run() 5 x").match(QString::fromUtf8(text)).hasMatch(), text.constData());
    // The configured name is a hard link to the file in use.
    QCOMPARE(inode(file("app.log")), inode(file("app.0.log")));
    const mode_t mask = umask(0);
    umask(mask);
    QCOMPARE(QFileInfo(file("app.0.log")).size(), qint64(text.size()));
    struct stat st;
    QCOMPARE(stat(name("app.0.log").constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0660 & ~mask);
}

void TestKvLog::levels()
{
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    kv_err("an error");
    kv_dbg("hidden debug");
    kv_dbg_set(1);
    kv_dbg("shown debug");
    kv_log("a line");
    const QList<QByteArray> lines = readAll(file("app.0.log")).split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[0].endsWith("] ERR an error\r"));
    QVERIFY(lines[1].endsWith("] DBG shown debug\r"));
    QVERIFY(lines[2].endsWith("] LOG a line\r"));
}

void TestKvLog::repeatNotice()
{
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    kv_log("same");
    kv_log("same");
    kv_log("same");
    kv_log("different");
    kv_err("different"); // another tag: not a repeat
    kv_err("different");
    kv_err("different"); // repeats at the end are never reported
    const QString text = QString::fromUtf8(readAll(file("app.0.log")));
    const QString stamp = QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
    const QRegularExpression expected(QStringLiteral("^%1 \\[%2-%3\\] LOG same\r\n"
                                                     "Last message repeated 2 times\r\n%1 \\[%2-%4\\] LOG different\r\n"
                                                     "%1 \\[%2-%3\\] ERR different\r\n$")
                                          .arg(stamp, hex(getpid()), hex(gettid(), 8), hex(gettid())));
    QVERIFY2(expected.match(text).hasMatch(), qPrintable(text));
}

void TestKvLog::longMessageCut()
{
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    const QByteArray message = QByteArray(4000, 'a') + QByteArray(1000, 'b');
    kv_log("%s", message.constData());
    const QByteArray exact(4089, 'c');
    kv_log("%s", exact.constData());
    const QList<QByteArray> lines = readAll(file("app.0.log")).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].endsWith("] LOG " + message.left(4089) + "\r"));
    QVERIFY(lines[1].endsWith("] LOG " + exact + "\r"));
}

void TestKvLog::fileNames_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("rotated");
    QTest::newRow("extension") << "app.log"
                               << "app.log"
                               << "app.0.log";
    QTest::newRow("no dot") << "trace"
                            << "trace"
                            << "trace.0";
    QTest::newRow("two dots") << "app.old.txt"
                              << "app.old.txt"
                              << "app.old.0.txt";
    QTest::newRow("backslashes") << "sub\\app.log"
                                 << "sub/app.log"
                                 << "sub/app.0.log";
}

void TestKvLog::fileNames()
{
    QFETCH(QString, configured);
    QFETCH(QString, link);
    QFETCH(QString, rotated);
    QVERIFY(QDir(m_dir->path()).mkpath("sub"));
    QByteArray path = QFile::encodeName(m_dir->path()) + "\\" + configured.toUtf8();
    QCOMPARE(kv_log_init(0, path.constData()), 0);
    kv_log("line");
    QVERIFY(readAll(file(rotated)).endsWith("LOG line\r\n"));
    QCOMPARE(inode(file(link)), inode(file(rotated)));
}

void TestKvLog::digitChoice_data()
{
    QTest::addColumn<QList<int>>("present");
    QTest::addColumn<int>("chosen");
    QTest::addColumn<bool>("linked");
    QTest::newRow("none") << QList<int> {} << 0 << true;
    QTest::newRow("0-4 and 6-9") << QList<int> { 0, 1, 2, 3, 4, 6, 7, 8, 9 } << 4 << false;
    QTest::newRow("1-9") << QList<int> { 1, 2, 3, 4, 5, 6, 7, 8, 9 } << 9 << false;
    QTest::newRow("0 and 2-9") << QList<int> { 0, 2, 3, 4, 5, 6, 7, 8, 9 } << 0 << false;
    QTest::newRow("3 alone") << QList<int> { 3 } << 3 << false;
}

void TestKvLog::digitChoice()
{
    QFETCH(QList<int>, present);
    QFETCH(int, chosen);
    QFETCH(bool, linked);
    for (int d : present)
        createFile(QStringLiteral("app.%1.log").arg(d), 0);
    createFile("app.x.log", 0); // not a digit
    createFile("app.12.log", 0); // too long
    createFile("other.5.log", 0); // another stem
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    kv_log("where");
    for (int d = 0; d < 10; ++d) {
        const QByteArray text = readAll(file(QStringLiteral("app.%1.log").arg(d)));
        QCOMPARE(text.endsWith("LOG where\r\n"), d == chosen);
    }
    // The link is made only when the log starts a fresh set of files.
    QCOMPARE(QFile::exists(file("app.log")), linked);
}

void TestKvLog::rotationPastLimit()
{
    kv_log_set_logfile_size(1);
    for (int d : { 0, 1, 2, 3 })
        createFile(QStringLiteral("app.%1.log").arg(d), 10);
    createFile("app.4.log", 1048576 - 50);
    createFile("app.6.log", 10);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    kv_log("%s", QByteArray(100, 'x').constData()); // takes app.4.log past the limit
    QVERIFY(readAll(file("app.4.log")).endsWith(QByteArray(100, 'x') + "\r\n"));
    QVERIFY(!QFile::exists(file("app.6.log")));
    QCOMPARE(inode(file("app.log")), inode(file("app.5.log")));
    kv_log("next");
    QVERIFY(readAll(file("app.5.log")).endsWith("LOG next\r\n"));

    // A file already at the limit is left at opening.
    kv_log_cleanup();
    createFile("app.5.log", 1048576);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    QCOMPARE(inode(file("app.log")), inode(file("app.6.log")));
    QVERIFY(!QFile::exists(file("app.7.log")));
}

void TestKvLog::wrapFromNineToZero()
{
    kv_log_set_logfile_size(1);
    for (int d = 0; d < 9; ++d)
        createFile(QStringLiteral("app.%1.log").arg(d), 10);
    createFile("app.9.log", 1048576);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    QCOMPARE(inode(file("app.log")), inode(file("app.0.log")));
    QVERIFY(!QFile::exists(file("app.1.log")));
    kv_log("after the wrap");
    const QByteArray text = readAll(file("app.0.log"));
    QVERIFY(text.startsWith(QByteArray(10, '\0'))); // appended to, not replaced
    QVERIFY(text.endsWith("LOG after the wrap\r\n"));
}

void TestKvLog::growthByOthersCounted()
{
    kv_log_set_logfile_size(1);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    kv_log("first");
    {
        // Another process appends to the same file.
        QFile other(file("app.0.log"));
        QVERIFY(other.open(QIODevice::Append));
        QCOMPARE(other.write(QByteArray(1048576, 'o')), qint64(1048576));
    }
    for (int i = 0; i < 100 && !QFile::exists(file("app.1.log")); ++i)
        kv_log("line %d", i);
    QVERIFY(QFile::exists(file("app.1.log")));
    QCOMPARE(inode(file("app.log")), inode(file("app.1.log")));
}

void TestKvLog::rotationThroughAllFiles()
{
    kv_log_set_logfile_size(1);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    QList<int> sequence { 0 };
    QHash<ino_t, int> digitOf;
    const QByteArray filler(3000, 'f');
    for (int i = 0; sequence.size() < 13; ++i) {
        kv_log("%d %s", i, filler.constData());
        const ino_t current = inode(file("app.log"));
        if (!digitOf.contains(current) || digitOf[current] != sequence.last()) {
            digitOf.clear();
            for (int d = 0; d < 10; ++d)
                digitOf[inode(file(QStringLiteral("app.%1.log").arg(d)))] = d;
            QVERIFY(digitOf.contains(current));
            if (digitOf[current] != sequence.last()) {
                sequence << digitOf[current];
                // One slot after the file in use is always free.
                QVERIFY(!QFile::exists(file(QStringLiteral("app.%1.log").arg((sequence.last() + 1) % 10))));
            }
        }
        QVERIFY(i < 20000);
    }
    QCOMPARE(sequence, (QList<int> { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2 }));
    // No file grows past the limit by more than the line that crossed it.
    for (const QString& f : rotatedFiles())
        QVERIFY(QFileInfo(file(f)).size() < 1048576 + 3100);
}

void TestKvLog::sizeLimits()
{
    QCOMPARE(kv_log_set_logfile_size(1), 1048576);
    QCOMPARE(kv_log_set_logfile_size(4096), 4096);
    QCOMPARE(kv_log_set_logfile_size(0), 0);
    QCOMPARE(kv_log_set_logfile_size(-3), -3);
    // The limit is still 1 MiB: a file below it is kept, one at it is left.
    createFile("app.0.log", 1048575);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    kv_log("x");
    QVERIFY(readAll(file("app.0.log")).endsWith("LOG x\r\n"));
    kv_log("y");
    QVERIFY(readAll(file("app.1.log")).endsWith("LOG y\r\n"));
    QCOMPARE(kv_log_set_logfile_size(10), 10485760);
}

void TestKvLog::echoLevels_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QByteArray>("echoed");
    QTest::newRow("none") << -1 << QByteArray();
    QTest::newRow("errors") << 0 << QByteArray("ERR e\r\n");
    QTest::newRow("errors and log") << 1 << QByteArray("ERR e\r\nLOG l\r\n");
    QTest::newRow("everything") << 2 << QByteArray("ERR e\r\nLOG l\r\nDBG d\r\n");
}

void TestKvLog::echoLevels()
{
    QFETCH(int, level);
    QFETCH(QByteArray, echoed);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    QCOMPARE(kv_log_set_echo(level), level);
    kv_dbg_set(1);
    QByteArray text;
    {
        StderrCapture capture(file("stderr"));
        kv_err("e");
        kv_log("l");
        kv_dbg("d");
        kv_dbg("d"); // a repeat is not echoed either
        text = capture.text();
    }
    QCOMPARE(text, echoed);
    QCOMPARE(readAll(file("app.0.log")).count("\r\n"), 3);
}

void TestKvLog::standardErrorOnly()
{
    QByteArray text;
    {
        StderrCapture capture(file("stderr"));
        QCOMPARE(kv_log_init(0, "-"), 0);
        kv_log("a");
        kv_log("a");
        kv_err("b %d", 2);
        text = capture.text();
    }
    QCOMPARE(text, QByteArray("LOG a\r\nERR b 2\r\n"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList { "stderr" });
    QVERIFY(!QFile::exists("-"));
}

void TestKvLog::initFailures()
{
    QCOMPARE(kv_log_init(0, nullptr), EINVAL);
    // Still counted as open: a second call does nothing.
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    kv_log("nowhere");
    QVERIFY(!QFile::exists(file("app.0.log")));
    QCOMPARE(kv_log_cleanup(), 0);

    QCOMPARE(kv_log_init(0, QByteArray("/tmp/" + QByteArray(520, 'n')).constData()), int(KV_ERR_FILENAME_TOO_LONG));
    kv_log_cleanup();

    QByteArray text;
    {
        StderrCapture capture(file("stderr"));
        QCOMPARE(kv_log_init(0, name("missing/app.log").constData()), ENOENT);
        kv_log_cleanup();
        QVERIFY(QDir(m_dir->path()).mkdir("app.0.log")); // a folder where the file should be
        QCOMPARE(kv_log_init(0, name("app.log").constData()), EINVAL);
        kv_log("dropped");
        text = capture.text();
    }
    QVERIFY2(text.contains("Error opening log directory " + name("missing") + "\n"), text.constData());
    QVERIFY2(text.contains("Cannot open log file: " + name("app.0.log") + "\n"), text.constData());
    QVERIFY(!text.contains("dropped"));
}

void TestKvLog::defaultDirectory()
{
    // A bare name goes beside the executable (there is no var/log folder above
    // the test binaries).
    const QString dir = QCoreApplication::applicationDirPath();
    const QString stem = QStringLiteral("kv-log-test-%1").arg(getpid());
    if (QDir(dir + "/../var/log").exists() || QDir(dir + "/../../var/log").exists())
        QSKIP("a var/log folder exists above the test binaries");
    QCOMPARE(kv_log_init(0, (stem + ".log").toUtf8().constData()), 0);
    kv_log("beside the executable");
    kv_log_cleanup();
    const QByteArray text = readAll(dir + "/" + stem + ".0.log");
    const ino_t linked = inode(dir + "/" + stem + ".log");
    const ino_t rotated = inode(dir + "/" + stem + ".0.log");
    QFile::remove(dir + "/" + stem + ".0.log");
    QFile::remove(dir + "/" + stem + ".log");
    QVERIFY(text.endsWith("LOG beside the executable\r\n"));
    QCOMPARE(linked, rotated);
}

void TestKvLog::refusedNames_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("wouldBe"); // the file such a name used to create
    const QString exeDir = QCoreApplication::applicationDirPath();
    QTest::newRow("empty") << QString() << exeDir + ".0";
    QTest::newRow("root") << "/"
                          << "/.0";
    QTest::newRow("folder") << "%1/"
                            << "%1/.0";
    QTest::newRow("folder with backslash") << "%1\\"
                                           << "%1/.0";
}

void TestKvLog::refusedNames()
{
    QFETCH(QString, configured);
    QFETCH(QString, wouldBe);
    configured.replace("%1", m_dir->path());
    wouldBe.replace("%1", m_dir->path());
    const bool existed = QFileInfo::exists(wouldBe);
    const int rc = kv_log_init(0, QFile::encodeName(configured).constData());
    kv_log("dropped");
    // Still counted as open, as after a null name.
    const int second = kv_log_init(0, name("app.log").constData());
    kv_log_cleanup();
    const bool created = !existed && QFileInfo::exists(wouldBe);
    if (created)
        QFile::remove(wouldBe);
    QVERIFY2(!created, qPrintable(wouldBe));
    QCOMPARE(rc, EINVAL);
    QCOMPARE(second, 0);
    QVERIFY(!QFile::exists(file("app.0.log")));
}

void TestKvLog::plantedFiles_data()
{
    // What lies under a numbered name: "link" (to a file with content), "dangling"
    // (a link to nothing), "fifo" (nobody reading), "fifo read" (a reader waiting).
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("atRotation"); // planted after the log started, at the next file
    QTest::newRow("link") << "app.0.log"
                          << "link" << false;
    QTest::newRow("dangling link") << "app.0.log"
                                   << "dangling" << false;
    QTest::newRow("fifo") << "app.0.log"
                          << "fifo" << false;
    QTest::newRow("fifo with a reader") << "app.0.log"
                                        << "fifo read" << false;
    QTest::newRow("link at rotation") << "app.1.log"
                                      << "link" << true;
    QTest::newRow("dangling link at rotation") << "app.1.log"
                                               << "dangling" << true;
    QTest::newRow("fifo at rotation") << "app.1.log"
                                      << "fifo" << true;
}

void TestKvLog::plantedFiles()
{
    QFETCH(QString, planted);
    QFETCH(QString, kind);
    QFETCH(bool, atRotation);
    const QString target = file("target");
    if (kind == "link") {
        QFile f(target);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write("kept"), qint64(4));
    }
    const QByteArray plantedPath = name(planted);
    const std::string targetPath = QFile::encodeName(target).toStdString();
    int reader = -1;
    if (!atRotation) {
        QVERIFY(plant(kind.toStdString(), plantedPath.toStdString(), targetPath));
        if (kind == "fifo read") {
            reader = open(plantedPath.constData(), O_RDONLY | O_NONBLOCK);
            QVERIFY(reader >= 0);
        }
    } else {
        createFile("app.0.log", 1048576 - 50);
    }

    // In a child: the log is process-wide, and a log that blocks must not hang
    // the test.
    const QByteArray errors = name("stderr");
    const int rc = korvel::test::runChild("logBesidePlanted",
        { errors.toStdString(), name("app.log").toStdString(), atRotation ? kind.toStdString() : std::string(),
            plantedPath.toStdString(), targetPath });
    QCOMPARE(rc, atRotation ? 0 : EINVAL);
    const QByteArray text = readAll(QFile::decodeName(errors));
    QVERIFY2(text.contains("Cannot open log file: " + plantedPath + "\n"), text.constData());
    // Nothing was written through the link, nor created at its target.
    QCOMPARE(readAll(target), kind == "link" ? QByteArray("kept") : QByteArray());
    QCOMPARE(QFileInfo::exists(target), kind == "link");
    if (reader >= 0) {
        char buffer[16];
        QCOMPARE(read(reader, buffer, sizeof buffer), ssize_t(0));
        close(reader);
    }
    // What was planted is left as it was.
    struct stat st;
    QCOMPARE(lstat(plantedPath.constData(), &st), 0);
    QVERIFY(kind.startsWith("fifo") ? S_ISFIFO(st.st_mode) : S_ISLNK(st.st_mode));
    if (atRotation)
        QVERIFY(readAll(file("app.0.log")).endsWith(QByteArray(100, 'x') + "\r\n"));
}

void TestKvLog::timeStampsAfter2038_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::newRow("last 32-bit second") << qint64(2147483647);
    QTest::newRow("first second past 32 bits") << qint64(2147483648);
    QTest::newRow("2100") << qint64(4102444800);
    QTest::newRow("before 1970") << qint64(-86400);
    QTest::newRow("last second before 1970") << qint64(-1);
}

void TestKvLog::timeStampsAfter2038()
{
    QFETCH(qint64, seconds);
    gFakeSeconds = seconds;
    kv_log_set_clock(fakeClock);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    kv_log("then");
    const time_t t = static_cast<time_t>(seconds);
    tm local;
    QVERIFY(localtime_r(&t, &local));
    char stamp[64];
    snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d [", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    const QByteArray text = readAll(file("app.0.log"));
    QVERIFY2(text.startsWith(stamp), text.constData());
    QVERIFY(text.endsWith("] LOG then\r\n"));
}

void TestKvLog::forkedChildIds_data()
{
    QTest::addColumn<bool>("fromThread");
    QTest::newRow("main thread") << false;
    QTest::newRow("another thread") << true;
}

void TestKvLog::forkedChildIds()
{
    QFETCH(bool, fromThread);
    // Forking is the point here: in a child of its own, whose threads are known.
    const QString report = file("ids");
    QCOMPARE(korvel::test::runChild(
                 "forkAndLog", { name("app.log").toStdString(), fromThread ? "thread" : "", report.toStdString() }),
        0);
    // The process, the forking thread, the forked child and the thread that logged last.
    const QList<QByteArray> ids = readAll(report).split(' ');
    QCOMPARE(ids.size(), 4);
    const QList<QByteArray> lines = readAll(file("app.0.log")).split('\n');
    QCOMPARE(lines.size(), 4);
    const QByteArray stamp = "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ";
    auto matches = [&](const QByteArray& line, const QByteArray& pid, const QByteArray& tid, const char* message) {
        const QRegularExpression expected(
            QString::fromLatin1(stamp + "\\[%1-%2\\] LOG %3\r$").arg(hex(pid.toInt()), hex(tid.toInt(), 8), message));
        return expected.match(QString::fromLatin1(line)).hasMatch();
    };
    QVERIFY2(matches(lines[0], ids[0], ids[1], "before the fork"), lines[0].constData());
    // The child is another process whose one thread has the child's pid as its id.
    QVERIFY2(matches(lines[1], ids[2], ids[2], "in the child"), lines[1].constData());
    QVERIFY2(matches(lines[2], ids[0], ids[3], "after the fork"), lines[2].constData());
}

void TestKvLog::eightThreads()
{
    kv_log_set_logfile_size(100);
    QCOMPARE(kv_log_init(0, name("app.log").constData()), 0);
    constexpr int kThreads = 8;
    constexpr int kLines = 3000;
    std::vector<pid_t> tids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &tids] {
            tids[t] = gettid();
            const QByteArray pad(t * 97, char('a' + t));
            for (int i = 0; i < kLines; ++i) {
                kv_log("thread %d line %d %s", t, i, pad.constData());
                if (i % 500 == 0)
                    kv_err("same text from every thread");
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    kv_log_cleanup();

    const QByteArray text = readAll(file("app.0.log"));
    QVERIFY(text.endsWith("\r\n"));
    const QList<QByteArray> lines = text.left(text.size() - 2).split('\n');
    const QRegularExpression expression(
        QStringLiteral("^(Last message repeated \\d+ times\r\n)?"
                       "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[%1-([0-9a-f]+)\\] "
                       "(LOG thread (\\d) line (\\d+) ([a-h]*)|ERR same text from every thread)\r?$")
            .arg(hex(getpid())));
    const QRegularExpression notice(QStringLiteral("^Last message repeated (\\d+) times\r$"));
    QSet<QPair<int, int>> seen;
    int repeats = 0;
    int errors = 0;
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.startsWith("Last message repeated")) {
            const QRegularExpressionMatch n = notice.match(QString::fromLatin1(line));
            QVERIFY2(n.hasMatch(), line.constData());
            repeats += n.captured(1).toInt();
            QVERIFY(++i < lines.size());
            line += "\n" + lines[i];
        }
        const QRegularExpressionMatch m = expression.match(QString::fromLatin1(line));
        QVERIFY2(m.hasMatch(), line.left(200).constData());
        if (m.captured(4).isEmpty()) {
            ++errors;
            continue;
        }
        const int t = m.captured(4).toInt();
        QCOMPARE(m.captured(2).toLongLong(nullptr, 16), qint64(tids[t]));
        QCOMPARE(m.captured(6), QString(t * 97, QChar('a' + t)));
        const QPair<int, int> key(t, m.captured(5).toInt());
        QVERIFY(!seen.contains(key));
        seen.insert(key);
    }
    QCOMPARE(seen.size(), kThreads * kLines);
    // Every thread logs after its last error line, so each suppressed error
    // line is counted in a notice.
    QCOMPARE(errors + repeats, kThreads * (kLines / 500));
}

KORVEL_TEST_MAIN_GUILESS(TestKvLog)
#include "test_kv_log.moc"
