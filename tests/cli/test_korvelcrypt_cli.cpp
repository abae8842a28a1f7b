// Runs the built korvelcrypt-cli on folders of envelopes made by the test-support
// writer and checks what a script would see: files on disk, output lines, JSON
// objects and exit statuses.
#include "cli/SourceSelection.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EnvelopeWriter.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestProcesses.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using korvel::test::bytesOrMissing;
using korvel::test::fileOrMissing;
using korvel::test::removeTree;

namespace {

const QString kCli = QStringLiteral(KORVELCRYPT_CLI);
const QByteArray kPassphrase = "secret";

struct Result {
    int status = -1;
    QByteArray out;
    QByteArray err;
    QList<QByteArray> lines() const
    {
        QList<QByteArray> list = out.split('\n');
        if (!list.isEmpty() && list.last().isEmpty())
            list.removeLast();
        return list;
    }
};

// How a command is started beyond its arguments.
struct RunAs {
    // The account it runs as ("nobody" when the test is root, so that modes and
    // read-only folders bind it; itself otherwise); 0: the test's own.
    uid_t uid = 0;
    gid_t gid = 0;
    bool account = false;
    // Its standard output a pipe whose reader has already quit.
    bool closedStdout = false;
};

// An account without privileges to run a command as; false when there is none.
bool unprivileged(RunAs* runAs)
{
    if (::geteuid() != 0) {
        runAs->account = false; // the test itself has none
        return true;
    }
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody)
        return false;
    runAs->account = true;
    runAs->uid = nobody->pw_uid;
    runAs->gid = nobody->pw_gid;
    return true;
}

// Every run gets a fresh session, so the command never has a terminal to prompt
// on; extraFd, when given, is duplicated onto descriptor 5 of the command.
Result runCli(const QStringList& args, const QString& workingDir, const QByteArray& input = {}, int extraFd = -1,
    const RunAs& runAs = {})
{
    QProcess process;
    process.setProgram(kCli);
    process.setArguments(args);
    process.setWorkingDirectory(workingDir);
    // Between fork and exec: async-signal-safe calls only.
    process.setChildProcessModifier([extraFd, runAs] {
        ::setsid();
        if (extraFd >= 0)
            ::dup2(extraFd, 5);
        if (runAs.account && (::setgroups(0, nullptr) != 0 || ::setgid(runAs.gid) != 0 || ::setuid(runAs.uid) != 0))
            ::_exit(korvel::test::kChildSetupFailed);
        if (int ends[2]; runAs.closedStdout) {
            if (::pipe(ends) != 0 || ::dup2(ends[1], STDOUT_FILENO) < 0)
                ::_exit(korvel::test::kChildSetupFailed);
            ::close(ends[0]);
            ::close(ends[1]);
        }
    });
    process.start();
    if (!process.waitForStarted())
        return {};
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(300000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return { process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError() };
}

QByteArray plaintextFor(const QString& name)
{
    const korvel::test::Bytes bytes
        = korvel::test::patternBytes(3000 + static_cast<size_t>(name.size()) * 37, qHash(name));
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

bool writeEnvelope(const QString& path, const QByteArray& plaintext, const std::string& passphrase = "secret")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    korvel::test::EnvelopeOptions options;
    options.passphrases = { passphrase };
    return korvel::test::writeEnvelope(
        path.toStdString(), korvel::test::Bytes(plaintext.begin(), plaintext.end()), options);
}

bool writePlain(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every entry under folder, hidden ones included, relative and sorted.
QStringList tree(const QString& folder)
{
    QStringList names;
    const QDir root(folder);
    std::function<void(const QString&)> walk = [&](const QString& path) {
        const QDir dir(path);
        for (const QFileInfo& info :
            dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            names.append(root.relativeFilePath(info.filePath()));
            if (info.isDir() && !info.isSymLink())
                walk(info.filePath());
        }
    };
    walk(folder);
    names.sort();
    return names;
}

QStringList passphraseFileArgs(const QString& dir)
{
    const QString path = dir + QStringLiteral("/../passphrase");
    writePlain(path, kPassphrase + "\n");
    return { QStringLiteral("--passphrase-file"), QFileInfo(path).canonicalFilePath() };
}

// The files below folder that are not in before, sorted.
QStringList newFiles(const QString& folder, const QStringList& before)
{
    QStringList added;
    for (const QString& name : tree(folder))
        if (!before.contains(name) && QFileInfo(folder + '/' + name).isFile())
            added.append(name);
    return added;
}

// The sources a --json run reports, as they were named, sorted.
QStringList reportedSources(const Result& result)
{
    QStringList sources;
    for (const QByteArray& line : result.lines()) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value("type").toString() != QLatin1String("summary"))
            sources.append(object.value("source").toString());
    }
    sources.sort();
    return sources;
}

QJsonObject summaryOf(const Result& result)
{
    return result.lines().isEmpty() ? QJsonObject() : QJsonDocument::fromJson(result.lines().constLast()).object();
}

const QByteArray kJournalHeader = "korvelcrypt-cli journal 3\n";

// Earlier versions: sources alone, then each with its plaintext.
const QByteArray kJournalHeaderFirst = "korvelcrypt-cli journal 1\n";
const QByteArray kJournalHeaderSecond = "korvelcrypt-cli journal 2\n";

// The sources a journal records, in order (each record of the current version
// is its source, its plaintext, its relative path and its fingerprint).
QStringList journalRecords(const QString& path)
{
    QByteArray bytes = fileOrMissing(path);
    const int fields = bytes.startsWith(kJournalHeader) ? 4
        : bytes.startsWith(kJournalHeaderSecond)        ? 2
        : bytes.startsWith(kJournalHeaderFirst)         ? 1
                                                        : 0;
    if (fields == 0)
        return { QStringLiteral("<no journal>") };
    bytes.remove(0, kJournalHeader.size());
    QStringList records;
    const QList<QByteArray> parts = bytes.split('\0');
    for (qsizetype i = 0; i < parts.size(); i += fields)
        records.append(QFile::decodeName(parts.at(i)));
    // What follows the last NUL: empty unless a record was cut short.
    if (records.constLast().isEmpty())
        records.removeLast();
    return records;
}

// A source of the crash-safety run and every name its plaintext may take.
struct CrashSource {
    QString name; // the envelope's name in the folder
    QString original; // the same envelope, kept aside
    QString renamed; // the name a source without the extension would get were it kept
    QString plaintext; // the name its first decryption writes
    QStringList copies; // names a later run writes while the plaintext is already there
    korvel::test::Bytes pattern; // the plaintext is this, repeated to plaintextSize bytes
    qint64 plaintextSize = 0;
};

// Whether the file at path holds exactly `size` bytes and `matches(offset, data,
// length)` accepts each piece of them.
bool fileMatches(const QString& path, qint64 size, const std::function<bool(qint64, const char*, qint64)>& matches)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    QByteArray piece(1 << 20, Qt::Uninitialized);
    qint64 offset = 0;
    while (offset < size) {
        const qint64 n = file.read(piece.data(), piece.size());
        if (n <= 0 || !matches(offset, piece.constData(), n))
            return false;
        offset += n;
    }
    return file.read(piece.data(), 1) == 0;
}

bool sameFile(const QString& path, const QString& original)
{
    QFile other(original);
    if (!other.open(QIODevice::ReadOnly))
        return false;
    QByteArray expected(1 << 20, Qt::Uninitialized);
    return fileMatches(path, other.size(), [&](qint64, const char* data, qint64 length) {
        return other.read(expected.data(), length) == length && std::memcmp(data, expected.constData(), length) == 0;
    });
}

bool isPlaintextOf(const QString& path, const CrashSource& source)
{
    const auto* pattern = reinterpret_cast<const char*>(source.pattern.data());
    const auto period = static_cast<qint64>(source.pattern.size());
    return fileMatches(path, source.plaintextSize, [&](qint64 offset, const char* data, qint64 length) {
        for (qint64 done = 0; done < length;) {
            const qint64 at = (offset + done) % period;
            const qint64 n = std::min(length - done, period - at);
            if (std::memcmp(data + done, pattern + at, n) != 0)
                return false;
            done += n;
        }
        return true;
    });
}

// What a run of --delete-encrypted may leave in folder, however it ended: every
// source intact byte for byte, or gone with its whole plaintext in place; every
// file under a plaintext name whole; nothing else. After a run that finished
// (`finished`) no source is left. Returns what is wrong, one line each.
//
// A source without the extension that is to be deleted is deleted, not renamed
// (it would be renamed to "<name>.korvel-env" only if it stayed): no kill can
// leave a renamed envelope beside its plaintext.
QStringList crashStateProblems(const QString& folder, const QList<CrashSource>& sources, bool finished)
{
    QStringList problems;
    QHash<QString, const CrashSource*> plaintextOf;
    QHash<QString, const CrashSource*> envelopeOf;
    for (const CrashSource& source : sources) {
        // A source that is to be deleted is never renamed: a renamed envelope
        // beside its plaintext would be decrypted again by the next run.
        envelopeOf.insert(source.name, &source);
        plaintextOf.insert(source.plaintext, &source);
        for (const QString& copy : source.copies)
            plaintextOf.insert(copy, &source);
    }

    QHash<const CrashSource*, QStringList> envelopesLeft;
    // A source being deleted is moved aside first, then unlinked: a kill between
    // the two leaves it under a hidden name, with its plaintext on disk.
    static const QRegularExpression aside(QStringLiteral("(^|/)\\.korvel-[0-9a-f]{16}\\.gone$"));
    for (const QString& entry : tree(folder)) {
        const QString path = folder + '/' + entry;
        if (aside.match(entry).hasMatch()) {
            if (std::none_of(sources.cbegin(), sources.cend(),
                    [&](const CrashSource& source) { return sameFile(path, source.original); }))
                problems.append(QStringLiteral("stray entry %1").arg(entry));
            continue;
        }
        if (const CrashSource* source = envelopeOf.value(entry)) {
            if (sameFile(path, source->original)) {
                envelopesLeft[source].append(entry);
                continue;
            }
            problems.append(QStringLiteral("source %1 changed").arg(entry));
            continue;
        }
        const CrashSource* source = plaintextOf.value(entry);
        if (!source)
            problems.append(QStringLiteral("stray entry %1").arg(entry));
        else if (!isPlaintextOf(path, *source))
            problems.append(QStringLiteral("plaintext %1 of %2 is not whole").arg(entry, source->name));
    }

    for (const CrashSource& source : sources) {
        const QStringList left = envelopesLeft.value(&source);
        const bool decrypted = QFileInfo::exists(folder + '/' + source.plaintext);
        if (finished && !left.isEmpty())
            problems.append(QStringLiteral("source %1 left after a finished run").arg(left.join(", ")));
        else if (left.isEmpty() && !decrypted)
            problems.append(
                QStringLiteral("source %1 gone without its plaintext %2").arg(source.name, source.plaintext));
    }
    return problems;
}

// Where the crash-safety rounds keep their folders: a memory file system when one
// has room. A kill tests what a killed process leaves behind, not what reaches the
// disk, and syncing every plaintext before its source goes costs a disk several
// milliseconds a file, seconds a run.
QString crashTestRoot()
{
    struct statvfs status { };
    constexpr unsigned long long kNeeded = 1ull << 30;
    if (::access("/dev/shm", W_OK | X_OK) == 0 && ::statvfs("/dev/shm", &status) == 0
        && static_cast<unsigned long long>(status.f_bavail) * status.f_frsize >= kNeeded)
        return QStringLiteral("/dev/shm");
    return QDir::tempPath();
}

bool copyFolder(const QString& from, const QString& to)
{
    if (!QDir().mkpath(to))
        return false;
    for (const QString& name : QDir(from).entryList(QDir::Files | QDir::Hidden)) {
        if (!QFile::copy(from + '/' + name, to + '/' + name))
            return false;
    }
    return true;
}

} // namespace

class TestKorvelcryptCli : public QObject {
    Q_OBJECT

private slots:
    void naming_data();
    void naming();
    void walksFoldersLikeTheFileLoad();
    void sameFileNamedSeveralWays();
    void failures_data();
    void failures();
    void mixedFolder();
    void onlyEnvelopesFromFolders_data();
    void onlyEnvelopesFromFolders();
    void passphraseSources_data();
    void passphraseSources();
    void severalPassphrases();
    void testWritesNothing();
    void infoDescribesTrailers();
    void outputDir_data();
    void outputDir();
    void outputDirFromReadOnlyMedia();
    void stdoutPipes_data();
    void killedRunsLoseNothing();
    void fullDisk_data();
    void fullDisk();
    void processIsNotDumpable();
    void stdoutPipes();
    void stdoutRefusesATerminal();
    void passphraseMissing_data();
    void passphraseMissing();
    void terminalPrompt();
    void jsonLines();
    void deleteEncrypted();
    void usageAndStatuses_data();
    void usageAndStatuses();
    void placesThatRefuse_data();
    void placesThatRefuse();
    void interruptLeavesNoPartialOutput_data();
    void interruptLeavesNoPartialOutput();
    void filesFrom_data();
    void filesFrom();
    void listIsTakenAsItComes_data();
    void listIsTakenAsItComes();
    void journalSkipsRecordedSources();
    void journalResumesAfterKill_data();
    void journalResumesAfterKill();
    void shardsSideBySide();
    void shardOfIsStable_data();
    void shardOfIsStable();
    void listReadInBatches_data();
    void listReadInBatches();
    void durableOrder_data();
    void durableOrder();
    void journalReruns_data();
    void journalReruns();
};

void TestKorvelcryptCli::naming_data()
{
    QTest::addColumn<QString>("envelope"); // written with the plaintext
    QTest::addColumn<QStringList>("existing"); // plain files there before the run
    QTest::addColumn<QString>("given"); // the path named on the command line
    QTest::addColumn<QString>("reported"); // the source as the OK line shows it
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("sourceAfter"); // where the envelope is afterwards

    QTest::newRow("extension removed") << "report.pdf.korvel-env" << QStringList() << "report.pdf.korvel-env"
                                       << "report.pdf.korvel-env"
                                       << "report.pdf"
                                       << "report.pdf.korvel-env";
    QTest::newRow("extension in capitals") << "PHOTO.KORVEL-ENV" << QStringList() << "PHOTO.KORVEL-ENV"
                                           << "PHOTO.KORVEL-ENV"
                                           << "PHOTO"
                                           << "PHOTO.KORVEL-ENV";
    QTest::newRow("only the last suffix") << "archive.tar.korvel-env" << QStringList() << "archive.tar.korvel-env"
                                          << "archive.tar.korvel-env"
                                          << "archive.tar"
                                          << "archive.tar.korvel-env";
    QTest::newRow("name taken") << "doc.txt.korvel-env" << QStringList { "doc.txt" } << "doc.txt.korvel-env"
                                << "doc.txt.korvel-env"
                                << "doc(decrypted).txt"
                                << "doc.txt.korvel-env";
    QTest::newRow("tagged name taken") << "doc(decrypted).txt.korvel-env" << QStringList { "doc(decrypted).txt" }
                                       << "doc(decrypted).txt.korvel-env"
                                       << "doc(decrypted).txt.korvel-env"
                                       << "doc(decrypted 2).txt"
                                       << "doc(decrypted).txt.korvel-env";
    QTest::newRow("no extension: source renamed") << "notes" << QStringList() << "notes"
                                                  << "notes"
                                                  << "notes(decrypted)"
                                                  << "notes.korvel-env";
    QTest::newRow("folder walked") << "top/sub/deep/data.bin.korvel-env" << QStringList() << "top"
                                   << "top/sub/deep/data.bin.korvel-env"
                                   << "top/sub/deep/data.bin"
                                   << "top/sub/deep/data.bin.korvel-env";
    QTest::newRow("folder with trailing slashes") << "top/data.bin.korvel-env" << QStringList() << "top//"
                                                  << "top/data.bin.korvel-env"
                                                  << "top/data.bin"
                                                  << "top/data.bin.korvel-env";
    // A name cannot forge a line: shown escaped, as ls -b shows it.
    QTest::newRow("tab, newline and backslash in the name")
        << "x\tOK\nfake\\.txt.korvel-env" << QStringList() << "x\tOK\nfake\\.txt.korvel-env"
        << "x\\tOK\\nfake\\\\.txt.korvel-env"
        << "x\tOK\nfake\\.txt"
        << "x\tOK\nfake\\.txt.korvel-env";
}

void TestKorvelcryptCli::naming()
{
    QFETCH(QString, envelope);
    QFETCH(QStringList, existing);
    QFETCH(QString, given);
    QFETCH(QString, reported);
    QFETCH(QString, destination);
    QFETCH(QString, sourceAfter);

    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(dir));
    const QByteArray plaintext = plaintextFor(envelope);
    QVERIFY(writeEnvelope(dir + '/' + envelope, plaintext));
    for (const QString& name : existing)
        QVERIFY(writePlain(dir + '/' + name, "the user's own file"));

    const Result result = runCli(passphraseFileArgs(dir) << given, dir);
    QCOMPARE(result.status, 0);
    QVERIFY2(result.err.isEmpty(), result.err.constData());
    QString shownDestination = QDir(dir).absoluteFilePath(destination);
    shownDestination.replace('\\', "\\\\").replace('\t', "\\t").replace('\n', "\\n");
    const QList<QByteArray> expected {
        "OK\t" + reported.toUtf8() + '\t' + shownDestination.toUtf8(),
        "1 finished, 0 failed, 1 total",
    };
    QCOMPARE(result.lines(), expected);
    QCOMPARE(fileOrMissing(dir + '/' + destination), plaintext);
    QVERIFY(QFileInfo::exists(dir + '/' + sourceAfter));
    if (sourceAfter != envelope)
        QVERIFY(!QFileInfo::exists(dir + '/' + envelope));
    for (const QString& name : existing)
        QCOMPARE(fileOrMissing(dir + '/' + name), QByteArray("the user's own file"));
    // Nothing else: no temporary file left behind.
    QCOMPARE(tree(dir).filter(QRegularExpression(QStringLiteral("(^|/)\\."))), QStringList());
}

void TestKorvelcryptCli::walksFoldersLikeTheFileLoad()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/in/b.korvel-env", "b"));
    QVERIFY(writeEnvelope(dir + "/in/sub/a.korvel-env", "a"));
    QVERIFY(writeEnvelope(dir + "/in/.hidden.korvel-env", "hidden"));
    QVERIFY(writeEnvelope(dir + "/in/.git/c.korvel-env", "in a hidden folder"));
    QVERIFY(writeEnvelope(dir + "/elsewhere/d.korvel-env", "d"));
    QVERIFY(QFile::link(dir + "/elsewhere/d.korvel-env", dir + "/in/link.korvel-env"));
    QVERIFY(QFile::link(dir + "/elsewhere", dir + "/in/linked-folder"));

    const Result result = runCli(passphraseFileArgs(dir) << "--threads"
                                                         << "1"
                                                         << "in",
        dir);
    QCOMPARE(result.status, 0);
    // A folder's own files come before those of its subfolders.
    const QList<QByteArray> expected {
        "OK\tin/b.korvel-env\t" + QDir(dir).absoluteFilePath("in/b").toUtf8(),
        "OK\tin/sub/a.korvel-env\t" + QDir(dir).absoluteFilePath("in/sub/a").toUtf8(),
        "2 finished, 0 failed, 2 total",
    };
    QCOMPARE(result.lines(), expected);
    QVERIFY(!QFileInfo::exists(dir + "/in/.hidden"));
    QVERIFY(!QFileInfo::exists(dir + "/in/.git/c"));
    QVERIFY(!QFileInfo::exists(dir + "/in/link"));
    QVERIFY(!QFileInfo::exists(dir + "/elsewhere/d"));
}

// "set5/ /abs/set5 set5": every file is decrypted once, reported under the name
// the arguments first gave it; nothing gets a "(decrypted)" twin.
void TestKorvelcryptCli::sameFileNamedSeveralWays()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/set5/x.pdf.korvel-env", "x"));
    QVERIFY(writeEnvelope(dir + "/set5/sub/y.txt.korvel-env", "y"));

    const Result result = runCli(passphraseFileArgs(dir) << "--threads"
                                                         << "4"
                                                         << "set5/" << dir + "/set5"
                                                         << "set5"
                                                         << "./set5/sub/../x.pdf.korvel-env",
        dir);
    QCOMPARE(result.status, 0);
    QList<QByteArray> lines = result.lines();
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.takeLast(), QByteArray("2 finished, 0 failed, 2 total"));
    std::sort(lines.begin(), lines.end());
    const QList<QByteArray> expected {
        "OK\tset5/sub/y.txt.korvel-env\t" + QDir(dir).absoluteFilePath("set5/sub/y.txt").toUtf8(),
        "OK\tset5/x.pdf.korvel-env\t" + QDir(dir).absoluteFilePath("set5/x.pdf").toUtf8(),
    };
    QCOMPARE(lines, expected);
    QVERIFY2(result.err.contains("2 files loaded. 5 duplicates skipped."), result.err.constData());
    QCOMPARE(
        tree(dir + "/set5"), (QStringList { "sub", "sub/y.txt", "sub/y.txt.korvel-env", "x.pdf", "x.pdf.korvel-env" }));
    QCOMPARE(fileOrMissing(dir + "/set5/x.pdf"), QByteArray("x"));
}

void TestKorvelcryptCli::failures_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("error"); // the failure class --json names

    const QByteArray plaintext = plaintextFor(QStringLiteral("failure"));
    korvel::test::EnvelopeOptions another;
    another.passphrases = { "another" };
    const korvel::test::Bytes other
        = korvel::test::makeEnvelope(korvel::test::Bytes(plaintext.begin(), plaintext.end()), another);
    QTest::newRow("wrong passphrase") << QByteArray(reinterpret_cast<const char*>(other.data()), other.size())
                                      << "Passphrase doesn't match Code: 1"
                                      << "passphrase";
    QTest::newRow("not an envelope") << plaintext << "Input file is corrupted or not encrypted. Code: 2"
                                     << "not-envelope";
    const korvel::test::Bytes good
        = korvel::test::makeEnvelope(korvel::test::Bytes(plaintext.begin(), plaintext.end()));
    QTest::newRow("trailer cut off") << QByteArray(reinterpret_cast<const char*>(good.data()), good.size() - 3)
                                     << "Input file is corrupted or not encrypted. Code: 2"
                                     << "not-envelope";
}

void TestKorvelcryptCli::failures()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    QFETCH(QString, error);

    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writePlain(dir + "/file.txt.korvel-env", content));

    const Result json = runCli(passphraseFileArgs(dir) << "--json"
                                                       << "file.txt.korvel-env",
        dir);
    const QJsonObject task = QJsonDocument::fromJson(json.lines().value(0)).object();
    QCOMPARE(task.value("error").toString(), error);
    QCOMPARE(task.value("message").toString(), message);

    const Result result = runCli(passphraseFileArgs(dir) << "file.txt.korvel-env", dir);
    QCOMPARE(result.status, 1);
    const QList<QByteArray> expected {
        "FAILED\tfile.txt.korvel-env\t" + message.toUtf8(),
        "0 finished, 1 failed, 1 total",
    };
    QCOMPARE(result.lines(), expected);
    // No destination, no temporary file, the source as it was.
    QCOMPARE(tree(dir), QStringList { "file.txt.korvel-env" });
    QCOMPARE(fileOrMissing(dir + "/file.txt.korvel-env"), content);
}

void TestKorvelcryptCli::mixedFolder()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/mixed/one.txt.korvel-env", "first plaintext"));
    QVERIFY(writeEnvelope(dir + "/mixed/deeper/two.txt.korvel-env", "second plaintext"));
    QVERIFY(writeEnvelope(dir + "/mixed/three.txt.korvel-env", "third plaintext", "not the passphrase"));
    QVERIFY(writePlain(dir + "/mixed/readme.txt", "just text"));

    const Result result = runCli(passphraseFileArgs(dir) << "--threads"
                                                         << "4"
                                                         << "mixed",
        dir);
    QCOMPARE(result.status, 1);
    QList<QByteArray> lines = result.lines();
    QCOMPARE(lines.size(), 4);
    // The folder's plain file is no envelope: skipped, neither tried nor a failure.
    QCOMPARE(lines.takeLast(), QByteArray("2 finished, 1 failed, 3 total, 1 skipped"));
    std::sort(lines.begin(), lines.end());
    const QList<QByteArray> expected {
        "FAILED\tmixed/three.txt.korvel-env\tPassphrase doesn't match Code: 1",
        "OK\tmixed/deeper/two.txt.korvel-env\t" + QDir(dir).absoluteFilePath("mixed/deeper/two.txt").toUtf8(),
        "OK\tmixed/one.txt.korvel-env\t" + QDir(dir).absoluteFilePath("mixed/one.txt").toUtf8(),
    };
    QCOMPARE(lines, expected);
    QCOMPARE(fileOrMissing(dir + "/mixed/one.txt"), QByteArray("first plaintext"));
    QCOMPARE(fileOrMissing(dir + "/mixed/deeper/two.txt"), QByteArray("second plaintext"));
    QVERIFY(!QFileInfo::exists(dir + "/mixed/three.txt"));
    QCOMPARE(fileOrMissing(dir + "/mixed/readme.txt"), QByteArray("just text"));
}

void TestKorvelcryptCli::onlyEnvelopesFromFolders_data()
{
    QTest::addColumn<QStringList>("args"); // before the passphrase options
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<QByteArray>>("lines"); // per-task lines, sorted, then the summary
    QTest::addColumn<QStringList>("after"); // the folder's files afterwards

    const QByteArray corrupt = "Input file is corrupted or not encrypted. Code: 2";
    QTest::newRow("rerun over a half-done folder")
        << QStringList { "half" } << 0
        << QList<QByteArray> { "OK\thalf/sub/todo.txt.korvel-env\tDIR/half/sub/todo.txt",
               "1 finished, 0 failed, 1 total, 3 skipped" }
        << QStringList { "half/done.txt", "half/notes", "half/sub", "half/sub/photo.jpg", "half/sub/todo.txt",
               "half/sub/todo.txt.korvel-env" };
    QTest::newRow("--all-files: the window's rule")
        << QStringList { "--all-files", "half" } << 1
        << QList<QByteArray> { "FAILED\thalf/done.txt\t" + corrupt, "FAILED\thalf/notes\t" + corrupt,
               "FAILED\thalf/sub/photo.jpg\t" + corrupt, "OK\thalf/sub/todo.txt.korvel-env\tDIR/half/sub/todo.txt",
               "1 finished, 3 failed, 4 total" }
        << QStringList { "half/done.txt", "half/notes", "half/sub", "half/sub/photo.jpg", "half/sub/todo.txt",
               "half/sub/todo.txt.korvel-env" };
    QTest::newRow("named files are always tried")
        << QStringList { "half/done.txt", "half/sub/todo.txt.korvel-env" } << 1
        << QList<QByteArray> { "FAILED\thalf/done.txt\t" + corrupt,
               "OK\thalf/sub/todo.txt.korvel-env\tDIR/half/sub/todo.txt", "1 finished, 1 failed, 2 total" }
        << QStringList { "half/done.txt", "half/notes", "half/sub", "half/sub/photo.jpg", "half/sub/todo.txt",
               "half/sub/todo.txt.korvel-env" };
    QTest::newRow("an envelope without its extension is found by its marker")
        << QStringList { "renamed" } << 0
        << QList<QByteArray> { "OK\trenamed/scan\tDIR/renamed/scan(decrypted)", "1 finished, 0 failed, 1 total" }
        << QStringList { "renamed/scan(decrypted)", "renamed/scan.korvel-env" };
    // Names from older systems (Latin-1 bytes) are found, walked and decrypted by
    // their bytes, shown as ls -b shows them (the names Qt cannot list are
    // checked by their bytes below).
    QTest::newRow("names that are not UTF-8")
        << QStringList { "latin" } << 0
        << QList<QByteArray> { "OK\tlatin/alt\\351/deep.txt.korvel-env\tDIR/latin/alt\\351/deep.txt",
               "OK\tlatin/caf\\351.txt.korvel-env\tDIR/latin/caf\\351.txt",
               "OK\tlatin/ok.txt.korvel-env\tDIR/latin/ok.txt", "3 finished, 0 failed, 3 total" }
        << QStringList { "latin/ok.txt", "latin/ok.txt.korvel-env" };
    QTest::newRow("--test of names that are not UTF-8")
        << QStringList { "--test", "latin" } << 0
        << QList<QByteArray> { "OK\tlatin/alt\\351/deep.txt.korvel-env", "OK\tlatin/caf\\351.txt.korvel-env",
               "OK\tlatin/ok.txt.korvel-env", "3 finished, 0 failed, 3 total" }
        << QStringList { "latin/ok.txt.korvel-env" };
    QTest::newRow("names that are not UTF-8 into an output folder")
        << QStringList { "-o", "out", "latin" } << 0
        << QList<QByteArray> { "OK\tlatin/alt\\351/deep.txt.korvel-env\tDIR/out/latin/alt\\351/deep.txt",
               "OK\tlatin/caf\\351.txt.korvel-env\tDIR/out/latin/caf\\351.txt",
               "OK\tlatin/ok.txt.korvel-env\tDIR/out/latin/ok.txt", "3 finished, 0 failed, 3 total" }
        << QStringList { "latin/ok.txt.korvel-env" };
    QTest::newRow("names that are not UTF-8, sources deleted")
        << QStringList { "--delete-encrypted", "latin" } << 0
        << QList<QByteArray> { "OK\tlatin/alt\\351/deep.txt.korvel-env\tDIR/latin/alt\\351/deep.txt",
               "OK\tlatin/caf\\351.txt.korvel-env\tDIR/latin/caf\\351.txt",
               "OK\tlatin/ok.txt.korvel-env\tDIR/latin/ok.txt", "3 finished, 0 failed, 3 total" }
        << QStringList { "latin/ok.txt" };
    // An envelope whose plaintext stands already: both kept, or left alone.
    QTest::newRow("--existing keep, the default")
        << QStringList { "again" } << 0
        << QList<QByteArray> { "OK\tagain/report.txt.korvel-env\tDIR/again/report(decrypted).txt",
               "1 finished, 0 failed, 1 total, 1 skipped" }
        << QStringList { "again/report(decrypted).txt", "again/report.txt", "again/report.txt.korvel-env" };
    QTest::newRow("--existing skip writes nothing")
        << QStringList { "--existing", "skip", "again" } << 0
        << QList<QByteArray> { "0 finished, 0 failed, 0 total, 2 skipped" }
        << QStringList { "again/report.txt", "again/report.txt.korvel-env" };
}

void TestKorvelcryptCli::onlyEnvelopesFromFolders()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QStringList, after);

    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    // A folder half decrypted by an earlier run that deleted its sources.
    QVERIFY(writePlain(dir + "/half/done.txt", "decrypted by an earlier run"));
    QVERIFY(writePlain(dir + "/half/notes", QByteArray(4096, 'n')));
    QVERIFY(writePlain(dir + "/half/sub/photo.jpg", QByteArray(100, '\xB1')));
    QVERIFY(writeEnvelope(dir + "/half/sub/todo.txt.korvel-env", "still to do"));
    QVERIFY(writeEnvelope(dir + "/renamed/scan", "an envelope under another name"));
    QVERIFY(writeEnvelope(dir + "/latin/ok.txt.korvel-env", "fine"));
    QVERIFY(writeEnvelope(dir + "/latin/tmp/caf.korvel-env", "café"));
    QVERIFY(writeEnvelope(dir + "/latin/tmp/deep.txt.korvel-env", "deep"));
    const QByteArray latin = QFile::encodeName(dir + "/latin/");
    QCOMPARE(::rename((latin + "tmp/caf.korvel-env").constData(), (latin + "caf\xe9.txt.korvel-env").constData()), 0);
    QCOMPARE(::rename((latin + "tmp").constData(), (latin + "alt\xe9").constData()), 0);
    QVERIFY(writeEnvelope(dir + "/again/report.txt.korvel-env", "decrypted before"));
    QVERIFY(writePlain(dir + "/again/report.txt", "decrypted before"));

    const Result result = runCli(passphraseFileArgs(dir) << args, dir);
    QCOMPARE(result.status, status);
    QVERIFY2(result.err.isEmpty(), result.err.constData());
    QList<QByteArray> seen = result.lines();
    QVERIFY(!seen.isEmpty());
    std::sort(seen.begin(), seen.end() - 1);
    for (QByteArray& line : lines)
        line.replace("DIR", QFile::encodeName(dir));
    QCOMPARE(seen, lines);
    const QString folder = args.last().section(QLatin1Char('/'), 0, 0);
    QStringList files = tree(dir + '/' + folder);
    for (QString& file : files)
        file.prepend(folder + '/');
    QCOMPARE(files, after);
    QCOMPARE(fileOrMissing(dir + "/half/done.txt"), QByteArray("decrypted by an earlier run"));
    // The plaintexts of the names that are not UTF-8 carry the same bytes; the
    // sources stay unless deleted. Their tree goes by its bytes, as Qt cannot list it.
    if (folder == QStringLiteral("latin")) {
        const QByteArray top = QFile::encodeName(dir) + (args.contains("-o") ? "/out/latin/" : "/latin/");
        const bool tested = args.contains("--test");
        QCOMPARE(bytesOrMissing(top + "caf\xe9.txt"), tested ? QByteArray("<missing>") : QByteArray("café"));
        QCOMPARE(bytesOrMissing(top + "alt\xe9/deep.txt"), tested ? QByteArray("<missing>") : QByteArray("deep"));
        const bool deleted = args.contains("--delete-encrypted");
        QCOMPARE(::access((latin + "caf\xe9.txt.korvel-env").constData(), F_OK) == 0, !deleted);
        QCOMPARE(::access((latin + "alt\xe9/deep.txt.korvel-env").constData(), F_OK) == 0, !deleted);
    }
    QVERIFY(removeTree(latin) && removeTree(QFile::encodeName(dir) + "/out"));

    // Once more, as JSON: the plaintext the first run wrote is skipped as well.
    if (args == QStringList { "half" }) {
        const Result json = runCli(passphraseFileArgs(dir) << "--json" << args, dir);
        QCOMPARE(json.status, 0);
        const QJsonObject summary = QJsonDocument::fromJson(json.lines().last()).object();
        QCOMPARE(summary.value("skipped").toInt(), 4);
        QCOMPARE(summary.value("total").toInt(), 1);
    }
}

void TestKorvelcryptCli::passphraseSources_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("stdinData");
    QTest::addColumn<QByteArray>("fd5Data"); // written to a pipe that becomes descriptor 5
    QTest::addColumn<QByteArray>("fileData"); // the passphrase file, when args name it

    QTest::newRow("fd 0, one line") << QStringList { "--passphrase-fd", "0" } << QByteArray("secret\n") << QByteArray()
                                    << QByteArray();
    QTest::newRow("fd 0, no newline") << QStringList { "--passphrase-fd", "0" } << QByteArray("secret") << QByteArray()
                                      << QByteArray();
    QTest::newRow("fd 0, CRLF and more lines") << QStringList { "--passphrase-fd", "0" }
                                               << QByteArray("secret\r\nsecond line\n") << QByteArray() << QByteArray();
    QTest::newRow("fd 5") << QStringList { "--passphrase-fd", "5" } << QByteArray() << QByteArray("secret\n")
                          << QByteArray();
    QTest::newRow("file, first line") << QStringList { "--passphrase-file", "PASSFILE" } << QByteArray() << QByteArray()
                                      << QByteArray("secret\nnot this one\n");
    QTest::newRow("file and fd, both candidates")
        << QStringList { "--passphrase-file", "PASSFILE", "--passphrase-fd", "0" } << QByteArray("secret\n")
        << QByteArray() << QByteArray("wrong\n");
    QTest::newRow("list") << QStringList { "--passphrase-list", "PASSFILE" } << QByteArray() << QByteArray()
                          << QByteArray("old\r\n\nsecret\r\n");
}

void TestKorvelcryptCli::passphraseSources()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, stdinData);
    QFETCH(QByteArray, fd5Data);
    QFETCH(QByteArray, fileData);

    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/x.korvel-env", "plain"));
    const QString passFile = base.filePath(QStringLiteral("passfile"));
    QVERIFY(writePlain(passFile, fileData));
    args.replaceInStrings(QStringLiteral("PASSFILE"), passFile);

    int fds[2] = { -1, -1 };
    if (!fd5Data.isEmpty()) {
        QCOMPARE(::pipe(fds), 0);
        QCOMPARE(::write(fds[1], fd5Data.constData(), fd5Data.size()), fd5Data.size());
        ::close(fds[1]);
    }
    const Result result = runCli(args << "x.korvel-env", dir, stdinData, fds[0]);
    if (fds[0] >= 0)
        ::close(fds[0]);
    QVERIFY2(result.status == 0, result.out + result.err);
    QCOMPARE(fileOrMissing(dir + "/x"), QByteArray("plain"));
}

void TestKorvelcryptCli::severalPassphrases()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/in/2019.txt.korvel-env", "from 2019", "rotated-2019"));
    QVERIFY(writeEnvelope(dir + "/in/2021.txt.korvel-env", "from 2021", "rotated-2021"));
    QVERIFY(writeEnvelope(dir + "/in/2023.txt.korvel-env", "from 2023", "current"));
    QVERIFY(writeEnvelope(dir + "/in/lost.txt.korvel-env", "no one knows", "forgotten"));
    // Opened through a key record, not the header's own key.
    QVERIFY(QDir().mkpath(dir + "/in/shared"));
    korvel::test::EnvelopeOptions shared;
    shared.passphrases = { "someone else's", "rotated-2021" };
    QVERIFY(korvel::test::writeEnvelope((dir + "/in/shared/s.txt.korvel-env").toStdString(),
        korvel::test::Bytes { 's', 'h', 'a', 'r', 'e', 'd' }, shared));
    const QString current = base.filePath(QStringLiteral("current"));
    const QString list = base.filePath(QStringLiteral("old-passphrases"));
    QVERIFY(writePlain(current, "current\n"));
    // A passphrase typed on an old Latin-1 system: its bytes, not their UTF-8 reading.
    QVERIFY(writeEnvelope(dir + "/in/latin.txt.korvel-env", "from Latin-1", "rotated-caf\xe9"));
    QVERIFY(writePlain(list, "rotated-2017\r\nrotated-2019\r\n\r\nrotated-2021\r\nrotated-caf\xe9\n\n"));

    // Candidates: 1 current, 2 to 5 the list (a blank line is no candidate), 6 from standard input.
    const Result result = runCli({ "--json", "--threads", "2", "--passphrase-file", current, "--passphrase-list", list,
                                     "--passphrase-fd", "0", "in" },
        dir, "typed-2024\n");
    QCOMPARE(result.status, 1);
    QVERIFY2(result.err.isEmpty(), result.err.constData());
    QHash<QString, QJsonObject> tasks;
    for (const QByteArray& line : result.lines()) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value("type").toString() == QLatin1String("task"))
            tasks.insert(object.value("source").toString(), object);
        // The JSON names a candidate only by its position.
        for (const char* secret : { "current", "rotated", "typed-2024" })
            QVERIFY2(!line.contains(secret), line.constData());
    }
    const QHash<QString, int> expected { { "in/2019.txt.korvel-env", 3 }, { "in/2021.txt.korvel-env", 4 },
        { "in/2023.txt.korvel-env", 1 }, { "in/shared/s.txt.korvel-env", 4 }, { "in/latin.txt.korvel-env", 5 } };
    QCOMPARE(tasks.size(), 6);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QJsonObject task = tasks.value(it.key());
        QVERIFY2(task.value("status").toString() == QStringLiteral("finished"),
            qPrintable(it.key() + task.value("message").toString()));
        QCOMPARE(task.value("passphrase").toInt(), it.value());
    }
    const QJsonObject lost = tasks.value("in/lost.txt.korvel-env");
    QCOMPARE(lost.value("status").toString(), QStringLiteral("failed"));
    QCOMPARE(lost.value("message").toString(), QStringLiteral("Passphrase doesn't match Code: 1"));
    QVERIFY(lost.value("passphrase").isNull());
    QCOMPARE(fileOrMissing(dir + "/in/2019.txt"), QByteArray("from 2019"));
    QCOMPARE(fileOrMissing(dir + "/in/2021.txt"), QByteArray("from 2021"));
    QCOMPARE(fileOrMissing(dir + "/in/2023.txt"), QByteArray("from 2023"));
    QCOMPARE(fileOrMissing(dir + "/in/shared/s.txt"), QByteArray("shared"));
    QVERIFY(!QFileInfo::exists(dir + "/in/lost.txt"));

    // Text lines are those of a single passphrase.
    const Result text = runCli({ "--threads", "1", "--passphrase-list", list, "--passphrase-file", current,
                                   "in/lost.txt.korvel-env", "in/2019.txt.korvel-env" },
        dir);
    QCOMPARE(text.status, 1);
    const QList<QByteArray> lines {
        "FAILED\tin/lost.txt.korvel-env\tPassphrase doesn't match Code: 1",
        "OK\tin/2019.txt.korvel-env\t" + QFile::encodeName(dir) + "/in/2019(decrypted).txt",
        "1 finished, 1 failed, 2 total",
    };
    QCOMPARE(text.lines(), lines);
}

void TestKorvelcryptCli::testWritesNothing()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/archive/good.txt.korvel-env", plaintextFor("good")));
    QVERIFY(writeEnvelope(dir + "/archive/sub/older.txt.korvel-env", plaintextFor("older"), "rotated"));
    QVERIFY(writeEnvelope(dir + "/archive/noext", plaintextFor("noext")));
    QVERIFY(writePlain(dir + "/archive/earlier-plaintext.txt", "skipped"));
    // Declares more plaintext than it holds: the test reads to the end and finds it.
    korvel::test::EnvelopeOptions cut;
    cut.declaredSize = 1 << 20;
    const QByteArray cutPlain = plaintextFor("cut");
    QVERIFY(korvel::test::writeEnvelope((dir + "/archive/sub/cut.bin.korvel-env").toStdString(),
        korvel::test::Bytes(cutPlain.begin(), cutPlain.end()), cut));
    const QStringList before = tree(dir);
    QHash<QString, QPair<QByteArray, QDateTime>> files;
    for (const QString& name : before)
        if (QFileInfo(dir + '/' + name).isFile())
            files.insert(name, { fileOrMissing(dir + '/' + name), QFileInfo(dir + '/' + name).lastModified() });

    Result result = runCli(passphraseFileArgs(dir) << "--test"
                                                   << "archive",
        dir);
    QCOMPARE(result.status, 1);
    QList<QByteArray> lines = result.lines();
    QCOMPARE(lines.takeLast(), QByteArray("2 finished, 2 failed, 4 total, 1 skipped"));
    std::sort(lines.begin(), lines.end());
    const QList<QByteArray> expected {
        "FAILED\tarchive/sub/cut.bin.korvel-env\tRead failed Code: 1",
        "FAILED\tarchive/sub/older.txt.korvel-env\tPassphrase doesn't match Code: 1",
        "OK\tarchive/good.txt.korvel-env",
        "OK\tarchive/noext",
    };
    QCOMPARE(lines, expected);

    // With the rotated passphrase as a second candidate, as JSON.
    const QString list = base.filePath(QStringLiteral("list"));
    QVERIFY(writePlain(list, "secret\nrotated\n"));
    result = runCli({ "--test", "--json", "--passphrase-list", list, "archive/sub/older.txt.korvel-env",
                        "archive/good.txt.korvel-env" },
        dir);
    QCOMPARE(result.status, 0);
    for (const QByteArray& line : result.lines()) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value("type").toString() == QLatin1String("summary")) {
            QCOMPARE(object.value("test").toBool(), true);
            QCOMPARE(object.value("finished").toInt(), 2);
            continue;
        }
        QCOMPARE(object.value("status").toString(), QStringLiteral("finished"));
        QVERIFY(object.value("destination").isNull());
        QCOMPARE(object.value("passphrase").toInt(), object.value("source").toString().contains("older") ? 2 : 1);
    }

    // Nothing was written, renamed or touched.
    QCOMPARE(tree(dir), before);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QCOMPARE(fileOrMissing(dir + '/' + it.key()), it.value().first);
        QCOMPARE(QFileInfo(dir + '/' + it.key()).lastModified(), it.value().second);
    }
}

void TestKorvelcryptCli::infoDescribesTrailers()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/in/one.korvel-env", QByteArray(5000, 'a')));
    korvel::test::EnvelopeOptions three;
    three.passphrases = { "a", "b", "c" };
    three.extraRecords = { korvel::test::ExtraRecord { 0x9000, korvel::test::Bytes(40, 0), false } };
    QVERIFY(QDir().mkpath(dir + "/in/sub"));
    QVERIFY(korvel::test::writeEnvelope((dir + "/in/sub/three").toStdString(), korvel::test::Bytes(12345, 'b'), three));
    QVERIFY(writePlain(dir + "/in/readme.txt", "no envelope"));
    QVERIFY(writePlain(dir + "/in/broken.korvel-env", QByteArray(300, 'x')));
    QVERIFY(writePlain(dir + "/plain.txt", QByteArray(300, 'p')));

    // No passphrase is asked for, and there is no terminal to ask on.
    Result result = runCli({ "--info", "in" }, dir);
    QCOMPARE(result.status, 1);
    QVERIFY2(result.err.isEmpty(), result.err.constData());
    QList<QByteArray> lines = result.lines();
    QCOMPARE(lines.takeLast(), QByteArray("2 envelopes, 1 not envelopes, 3 total, 1 skipped"));
    std::sort(lines.begin(), lines.end());
    const QList<QByteArray> expected {
        "ENVELOPE\tin/one.korvel-env\t5000\t0\t120",
        "ENVELOPE\tin/sub/three\t12345\t2\t" + QByteArray::number(120 + 2 * 24 + 48),
        "NOT-ENVELOPE\tin/broken.korvel-env\tInput file is corrupted or not encrypted.",
    };
    QCOMPARE(lines, expected);

    result = runCli({ "--info", "--json", "in/one.korvel-env", "plain.txt", "missing" }, dir);
    QCOMPARE(result.status, 1);
    QVERIFY2(result.err.contains("cannot access 'missing'"), result.err.constData());
    lines = result.lines();
    QCOMPARE(lines.size(), 4);
    // The missing path has a record of its own, first.
    const QJsonObject missing = QJsonDocument::fromJson(lines.takeFirst()).object();
    QCOMPARE(missing.value("type").toString(), QStringLiteral("path"));
    QCOMPARE(missing.value("source").toString(), QStringLiteral("missing"));
    QCOMPARE(missing.value("error").toString(), QStringLiteral("missing"));
    const QJsonObject one = QJsonDocument::fromJson(lines[0]).object();
    QCOMPARE(one.value("type").toString(), QStringLiteral("info"));
    QCOMPARE(one.value("source").toString(), QStringLiteral("in/one.korvel-env"));
    QCOMPARE(one.value("envelope").toBool(), true);
    QCOMPARE(one.value("plaintextSize").toInteger(), 5000);
    QCOMPARE(one.value("keyRecords").toInteger(), 0);
    QCOMPARE(one.value("trailerSize").toInteger(), 120);
    const QJsonObject plain = QJsonDocument::fromJson(lines[1]).object();
    QCOMPARE(plain.value("envelope").toBool(), false);
    QCOMPARE(plain.value("message").toString(), QStringLiteral("Input file is corrupted or not encrypted."));
    const QJsonObject summary = QJsonDocument::fromJson(lines[2]).object();
    QCOMPARE(summary.value("envelopes").toInt(), 1);
    QCOMPARE(summary.value("notEnvelopes").toInt(), 1);
    QCOMPARE(summary.value("missing").toInt(), 1);
    QCOMPARE(summary.value("exitStatus").toInt(), 1);

    // Only envelopes: exit 0; --quiet prints nothing then.
    result = runCli({ "--info", "--quiet", "in/one.korvel-env", "in/sub" }, dir);
    QCOMPARE(result.status, 0);
    QVERIFY2(result.out.isEmpty(), result.out.constData());
    // Nothing was written anywhere.
    QCOMPARE(tree(dir),
        (QStringList { "in", "in/broken.korvel-env", "in/one.korvel-env", "in/readme.txt", "in/sub", "in/sub/three",
            "plain.txt" }));
}

void TestKorvelcryptCli::outputDir_data()
{
    QTest::addColumn<QStringList>("args"); // after the passphrase options; OUT stands for the output folder
    QTest::addColumn<QStringList>("plaintexts"); // below OUT, sorted: where each plaintext lands
    QTest::addColumn<bool>("sourcesDeleted");

    const QStringList all { "archive/2019/q1.pdf", "archive/2019/q2.pdf", "archive/notes",
        "archive/readme(decrypted).txt", "archive/readme.txt" };
    // A folder keeps its own name, a file named directly lands in the folder itself;
    // an existing file there is never replaced ("(decrypted)" continues).
    QTest::newRow("folder") << QStringList { "-o", "OUT", "archive" } << all << false;
    QTest::newRow("folder with a slash, long option") << QStringList { "--output-dir=OUT", "archive/" } << all << false;
    QTest::newRow("files named") << QStringList { "--output-dir", "OUT", "archive/2019/q1.pdf.korvel-env",
        "archive/notes" } << QStringList { "archive/readme.txt", "notes", "q1.pdf" }
                                 << false;
    QTest::newRow("a subfolder") << QStringList { "-o", "OUT", "archive/2019" }
                                 << QStringList { "2019/q1.pdf", "2019/q2.pdf", "archive/readme.txt" } << false;
    QTest::newRow("missing folders made")
        << QStringList { "-o", "OUT/new/deeper", "archive/2019" }
        << QStringList { "archive/readme.txt", "new/deeper/2019/q1.pdf", "new/deeper/2019/q2.pdf" } << false;
    QTest::newRow("deleting the sources")
        << QStringList { "--delete-encrypted", "-o", "OUT", "archive" } << all << true;
}

void TestKorvelcryptCli::outputDir()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, plaintexts);
    QFETCH(bool, sourcesDeleted);

    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    const QHash<QString, QString> sources { { "archive/2019/q1.pdf.korvel-env", "2019/q1.pdf" },
        { "archive/2019/q2.pdf.korvel-env", "2019/q2.pdf" }, { "archive/notes", "notes" },
        { "archive/readme.txt.korvel-env", "readme.txt" } };
    for (auto it = sources.cbegin(); it != sources.cend(); ++it)
        QVERIFY(writeEnvelope(dir + '/' + it.key(), plaintextFor(it.value())));
    QVERIFY(::chmod(QFile::encodeName(dir + "/archive/2019").constData(), 0750) == 0);
    const QString out = base.filePath(QStringLiteral("out"));
    QVERIFY(writePlain(out + "/archive/readme.txt", "the user's own file"));
    const QStringList sourceTree = tree(dir);

    args.replaceInStrings(QStringLiteral("OUT"), out);
    const Result result = runCli(passphraseFileArgs(dir) << "--threads"
                                                         << "2" << args,
        dir);
    QCOMPARE(result.status, 0);
    QVERIFY2(result.err.isEmpty(), result.err.constData());

    QStringList files;
    for (const QString& name : tree(out))
        if (QFileInfo(out + '/' + name).isFile())
            files.append(name);
    QCOMPARE(files, plaintexts);
    QCOMPARE(fileOrMissing(out + "/archive/readme.txt"), QByteArray("the user's own file"));
    // Which source each plaintext comes from, by its name.
    const QHash<QString, QString> origin { { "q1.pdf", "2019/q1.pdf" }, { "q2.pdf", "2019/q2.pdf" },
        { "notes", "notes" }, { "readme(decrypted).txt", "readme.txt" } };
    for (const QString& name : plaintexts) {
        if (name == "archive/readme.txt")
            continue;
        QCOMPARE(fileOrMissing(out + '/' + name), plaintextFor(origin.value(QFileInfo(name).fileName())));
        // Every OK line names its plaintext.
        QVERIFY2(result.out.contains('\t' + QFile::encodeName(out + '/' + name) + '\n'), result.out.constData());
    }
    // A folder made for a source folder is no more open than it.
    if (QFileInfo::exists(out + "/archive/2019"))
        QCOMPARE(QFileInfo(out + "/archive/2019").permissions() & 0x0077,
            QFileInfo(dir + "/archive/2019").permissions() & 0x0077);
    if (sourcesDeleted) {
        QCOMPARE(tree(dir), (QStringList { "archive", "archive/2019" }));
    } else {
        // Sources are never renamed or written below an output folder.
        QCOMPARE(tree(dir), sourceTree);
    }
}

// Sources on read-only media: every plaintext arrives below the output folder and
// every source keeps its inode, times and bytes; a deletion that cannot happen
// is reported while the plaintext stays.
void TestKorvelcryptCli::outputDirFromReadOnlyMedia()
{
    if (::geteuid() != 0)
        QSKIP("mounting a read-only copy of the sources needs root (CI runs as root)");
    if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        QSKIP("unshare(1) is not installed");

    QTemporaryDir base;
    const QString media = base.filePath(QStringLiteral("media"));
    QStringList names;
    for (int i = 0; i < 6; ++i) {
        names.append(QStringLiteral("disc/%1/file%2.bin.korvel-env").arg(i % 2 ? "odd" : "even").arg(i));
        QVERIFY(writeEnvelope(media + '/' + names.last(), plaintextFor(names.last())));
    }
    const QString passFile = base.filePath(QStringLiteral("pass"));
    QVERIFY(writePlain(passFile, "secret\n"));
    struct Snapshot {
        ino_t inode;
        timespec modified;
        timespec changed;
        timespec accessed;
        QByteArray bytes;
    };
    QHash<QString, Snapshot> before;
    for (const QString& name : names) {
        const QByteArray bytes = fileOrMissing(media + '/' + name);
        struct stat status { };
        QCOMPARE(::stat(QFile::encodeName(media + '/' + name).constData(), &status), 0);
        before.insert(name, { status.st_ino, status.st_mtim, status.st_ctim, status.st_atim, bytes });
    }

    for (const bool deleteSources : { false, true }) {
        const QString out = base.filePath(deleteSources ? QStringLiteral("out2") : QStringLiteral("out"));
        // A private mount namespace, in which the media are mounted read-only.
        const QString script
            = QStringLiteral("mount --bind \"$2\" \"$2\" && mount -o remount,bind,ro \"$2\" || exit 97\n"
                             "touch \"$2/probe\" 2>/dev/null && exit 98\n"
                             "cd \"$2\" && exec \"$1\" --passphrase-file \"$3\" -o \"$4\" $5 disc\n");
        QProcess process;
        process.setChildProcessModifier([] { ::setsid(); });
        process.start(QStringLiteral("unshare"),
            { "-m", "--propagation", "private", "sh", "-c", script, "sh", kCli, media, passFile, out,
                deleteSources ? "--delete-encrypted" : "" });
        QVERIFY(process.waitForFinished(120000));
        const QByteArray out1 = process.readAllStandardOutput();
        const QByteArray err = process.readAllStandardError();
        if (process.exitCode() == 97)
            QSKIP(qPrintable("no read-only bind mount here: " + QString::fromLocal8Bit(err)));
        QVERIFY2(process.exitCode() != 98, "the media were writable");
        QCOMPARE(process.exitCode(), deleteSources ? 1 : 0);
        QVERIFY2(out1.contains("6 finished, 0 failed, 6 total"), out1.constData());
        if (deleteSources) {
            for (const QString& name : names)
                QVERIFY2(err.contains("Could not remove file "
                             + QFile::encodeName(QFileInfo(media).canonicalFilePath() + '/' + name)),
                    err.constData());
        } else {
            QVERIFY2(err.isEmpty(), err.constData());
        }
        for (const QString& name : names) {
            const QString plain = out + '/' + name.chopped(QStringLiteral(".korvel-env").size());
            QCOMPARE(fileOrMissing(plain), plaintextFor(name));
            struct stat status { };
            QCOMPARE(::stat(QFile::encodeName(media + '/' + name).constData(), &status), 0);
            const Snapshot& was = before.value(name);
            QCOMPARE(status.st_ino, was.inode);
            QCOMPARE(status.st_mtim.tv_sec, was.modified.tv_sec);
            QCOMPARE(status.st_mtim.tv_nsec, was.modified.tv_nsec);
            QCOMPARE(status.st_ctim.tv_sec, was.changed.tv_sec);
            QCOMPARE(status.st_ctim.tv_nsec, was.changed.tv_nsec);
            QCOMPARE(status.st_atim.tv_sec, was.accessed.tv_sec);
            QCOMPARE(status.st_atim.tv_nsec, was.accessed.tv_nsec);
            QCOMPARE(fileOrMissing(media + '/' + name), was.bytes);
        }
    }
}

void TestKorvelcryptCli::stdoutPipes_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("pipeline"); // run by bash -o pipefail; $CLI, $PASS, $FILE are set
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("err"); // a text standard error holds (empty: it is empty)

    // The plaintext goes through the pipe byte for byte.
    QTest::newRow("into sha256sum") << "whole"
                                    << "\"$CLI\" --stdout --passphrase-file \"$PASS\" \"$FILE\" | sha256sum" << 0
                                    << QByteArray();
    QTest::newRow("second candidate")
        << "whole"
        << "printf 'old\\n' | \"$CLI\" --stdout --passphrase-fd 0 --passphrase-file \"$PASS\" \"$FILE\" | sha256sum"
        << 0 << QByteArray();
    // A reader that has enough ends the run quietly, not with a success.
    QTest::newRow("reader closes early")
        << "early"
        << "\"$CLI\" --stdout --passphrase-file \"$PASS\" \"$FILE\" | head -c 1000 >/dev/null; exit ${PIPESTATUS[0]}"
        << 141 << QByteArray();
    // Part-way: what was written stays written, and the reason follows.
    QTest::newRow("data cut short") << "cut"
                                    << "\"$CLI\" --stdout --passphrase-file \"$PASS\" \"$FILE\" > out" << 1
                                    << QByteArray("Read failed (the plaintext before this point was written)");
    QTest::newRow("wrong passphrase") << "wrong"
                                      << "\"$CLI\" --stdout --passphrase-file \"$PASS\" \"$FILE\" > out" << 1
                                      << QByteArray("Passphrase doesn't match");
    QTest::newRow("not an envelope") << "plain"
                                     << "\"$CLI\" --stdout --passphrase-file \"$PASS\" \"$FILE\" > out" << 1
                                     << QByteArray("Input file is corrupted or not encrypted.");
    QTest::newRow("missing") << "missing"
                             << "\"$CLI\" --stdout --passphrase-file \"$PASS\" \"$FILE\" > out" << 1
                             << QByteArray("cannot access");
    QTest::newRow("a folder") << "folder"
                              << "\"$CLI\" --stdout --passphrase-file \"$PASS\" \"$FILE\" > out" << 2
                              << QByteArray("--stdout takes one file, and");
    // Nothing would ever be written into the pipe: refused, not waited on.
    QTest::newRow("a named pipe") << "fifo"
                                  << "timeout 60 \"$CLI\" --stdout --passphrase-file \"$PASS\" \"$FILE\" > out" << 2
                                  << QByteArray("is a pipe: the input must be a regular file");
    QTest::newRow("standard input a pipe")
        << "pipe-in"
        << "cat \"$FILE\" | \"$CLI\" --stdout --passphrase-file \"$PASS\" /dev/stdin > out" << 2
        << QByteArray("--stdout takes a regular file, and '/dev/stdin' is a pipe: the input must be a regular file");
}

void TestKorvelcryptCli::stdoutPipes()
{
    QFETCH(QString, kind);
    QFETCH(QString, pipeline);
    QFETCH(int, status);
    QFETCH(QByteArray, err);

    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(dir));
    const korvel::test::Bytes plain = korvel::test::patternBytes((8 << 20) + 77, 31);
    const QByteArray plaintext(reinterpret_cast<const char*>(plain.data()), static_cast<qsizetype>(plain.size()));
    QString file = dir + "/data.bin.korvel-env";
    korvel::test::EnvelopeOptions options;
    options.passphrases = { kind == "wrong" ? "other" : "secret", "old" };
    if (kind == "cut")
        options.declaredSize = plain.size() + (1 << 20);
    if (kind == "plain")
        QVERIFY(writePlain(file, plaintext.left(5000)));
    else if (kind == "folder")
        file = dir;
    else if (kind == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    else if (kind == "missing")
        file = dir + "/nothing.korvel-env";
    else
        QVERIFY(korvel::test::writeEnvelope(file.toStdString(), plain, options));
    const QStringList before = tree(dir);
    const QString passFile = base.filePath(QStringLiteral("pass"));
    QVERIFY(writePlain(passFile, kind == "whole" && pipeline.contains("printf") ? "wrong\n" : "secret\n"));

    QProcess shell;
    shell.setWorkingDirectory(base.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CLI", kCli);
    env.insert("PASS", passFile);
    env.insert("FILE", file);
    shell.setProcessEnvironment(env);
    shell.setChildProcessModifier([] { ::setsid(); });
    shell.start("bash", { "-o", "pipefail", "-c", pipeline });
    QVERIFY(shell.waitForFinished(120000));
    QCOMPARE(shell.exitStatus(), QProcess::NormalExit);
    const QByteArray out = shell.readAllStandardOutput();
    const QByteArray errText = shell.readAllStandardError();
    QCOMPARE(shell.exitCode(), status);
    if (err.isEmpty())
        QVERIFY2(errText.isEmpty(), errText.constData());
    else
        QVERIFY2(errText.contains(err), errText.constData());

    if (kind == "whole") {
        const QByteArray digest = QCryptographicHash::hash(plaintext, QCryptographicHash::Sha256).toHex();
        QCOMPARE(out, digest + "  -\n");
    } else if (kind == "cut") {
        // Every piece before the end of the data came out, and nothing else.
        const QByteArray written = fileOrMissing(base.filePath("out"));
        QVERIFY2(written.size() >= plaintext.size() - 65536 - 15, QByteArray::number(written.size()).constData());
        QCOMPARE(written, plaintext.left(written.size()));
    } else if (kind != "early") {
        QCOMPARE(fileOrMissing(base.filePath("out")), QByteArray());
    }
    // Nothing on disk beside the source.
    QCOMPARE(tree(dir), before);
}

void TestKorvelcryptCli::stdoutRefusesATerminal()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/x.korvel-env", "shown on the terminal"));
    const QString passFile = base.filePath(QStringLiteral("pass"));
    QVERIFY(writePlain(passFile, "secret\n"));

    for (const bool force : { false, true }) {
        QList<QByteArray> args { QFile::encodeName(kCli), "--stdout", "--passphrase-file", QFile::encodeName(passFile),
            QFile::encodeName(dir + "/x.korvel-env") };
        if (force)
            args.insert(1, "--force");
        // Made before the fork: the child only execs.
        std::vector<char*> argv;
        for (QByteArray& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        QVERIFY(pid >= 0);
        if (pid == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        QByteArray seen;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break; // EIO once the child has gone
            seen.append(buffer, n);
        }
        ::close(master);
        const int status = korvel::test::waitChild(pid);
        QVERIFY(status >= 0 && status < 256);
        if (force) {
            QCOMPARE(status, 0);
            QVERIFY2(seen.contains("shown on the terminal"), seen.constData());
        } else {
            QCOMPARE(status, 2);
            QVERIFY2(seen.contains("standard output is a terminal"), seen.constData());
            QVERIFY2(!seen.contains("shown on the terminal"), seen.constData());
        }
    }
    QCOMPARE(tree(dir), QStringList { "x.korvel-env" });
}

void TestKorvelcryptCli::passphraseMissing_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("stdinData");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("no source and no terminal") << QStringList() << QByteArray("secret\n")
                                               << QByteArray("no terminal to ask for one; use --passphrase-fd N, "
                                                             "--passphrase-file FILE or --passphrase-list FILE.");
    QTest::newRow("one descriptor twice")
        << QStringList { "--passphrase-fd", "0", "--passphrase-fd", "0" } << QByteArray("secret\nsecond\n")
        << QByteArray("--passphrase-fd 0 is given twice");
    QTest::newRow("empty descriptor") << QStringList { "--passphrase-fd", "0" } << QByteArray()
                                      << QByteArray("no passphrase on file descriptor 0");
    QTest::newRow("closed descriptor") << QStringList { "--passphrase-fd", "47" } << QByteArray()
                                       << QByteArray("cannot read the passphrase from file descriptor 47");
    QTest::newRow("missing file") << QStringList { "--passphrase-file", "/nonexistent/passphrase" } << QByteArray()
                                  << QByteArray("cannot open passphrase file '/nonexistent/passphrase'");
    // Every named source must be readable, even when an earlier one would do.
    QTest::newRow("second source missing")
        << QStringList { "--passphrase-fd", "0", "--passphrase-list", "/nonexistent/list" } << QByteArray("secret\n")
        << QByteArray("cannot open passphrase list '/nonexistent/list'");
    QTest::newRow("empty list") << QStringList { "--passphrase-list", "/dev/null" } << QByteArray()
                                << QByteArray("passphrase list '/dev/null' is empty");
}

void TestKorvelcryptCli::passphraseMissing()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, stdinData);
    QFETCH(QByteArray, error);

    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/x.korvel-env", "plain"));
    const Result result = runCli(args << "x.korvel-env", dir, stdinData);
    QCOMPARE(result.status, 2);
    QVERIFY2(result.err.contains(error), result.err.constData());
    QVERIFY(result.out.isEmpty());
    QCOMPARE(tree(dir), QStringList { "x.korvel-env" });
}

void TestKorvelcryptCli::terminalPrompt()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/x.korvel-env", "typed at the prompt"));
    const QByteArray program = QFile::encodeName(kCli);
    const QByteArray target = QFile::encodeName(dir + "/x.korvel-env");

    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    QVERIFY(pid >= 0);
    if (pid == 0) {
        // The child's controlling terminal is the pty: stdin and stdout go there too.
        execl(program.constData(), program.constData(), target.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }

    QByteArray seen;
    auto readUntil = [&](const QByteArray& marker) {
        QElapsedTimer clock;
        clock.start();
        char buffer[4096];
        while (!marker.isEmpty() ? !seen.contains(marker) : true) {
            if (clock.elapsed() > 120000)
                return false;
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                return marker.isEmpty(); // EIO once the child has gone
            seen.append(buffer, n);
        }
        return true;
    };
    QVERIFY2(readUntil("Passphrase: "), seen.constData());
    QCOMPARE(::write(master, "secret\n", 7), 7);
    QVERIFY(readUntil({}));
    ::close(master);
    QCOMPARE(korvel::test::waitChild(pid), 0);
    QCOMPARE(fileOrMissing(dir + "/x"), QByteArray("typed at the prompt"));
    QVERIFY2(seen.contains("1 finished, 0 failed, 1 total"), seen.constData());
    // Echo was off while it was typed.
    QVERIFY2(!seen.contains("secret"), seen.constData());
}

void TestKorvelcryptCli::jsonLines()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    const QByteArray good = plaintextFor(QStringLiteral("good"));
    QVERIFY(writeEnvelope(dir + "/in/good.bin.korvel-env", good));
    QVERIFY(writeEnvelope(dir + "/in/bad.bin.korvel-env", "x", "other"));

    const Result result = runCli(passphraseFileArgs(dir) << "--json"
                                                         << "in",
        dir);
    QCOMPARE(result.status, 1);
    QVERIFY2(result.err.isEmpty(), result.err.constData());
    const QList<QByteArray> lines = result.lines();
    QCOMPARE(lines.size(), 3);

    QHash<QString, QJsonObject> tasks;
    for (int i = 0; i < 2; ++i) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(lines[i], &error);
        QVERIFY2(error.error == QJsonParseError::NoError && doc.isObject(), lines[i].constData());
        const QJsonObject object = doc.object();
        QCOMPARE(object.value("type").toString(), QStringLiteral("task"));
        for (const char* key : { "source", "destination", "status", "message", "reason", "bytes", "seconds" })
            QVERIFY2(object.contains(QLatin1String(key)), key);
        QVERIFY(object.value("seconds").isDouble());
        QVERIFY(object.value("seconds").toDouble() >= 0);
        tasks.insert(object.value("source").toString(), object);
    }

    const QJsonObject ok = tasks.value("in/good.bin.korvel-env");
    QCOMPARE(ok.value("status").toString(), QStringLiteral("finished"));
    QCOMPARE(ok.value("destination").toString(), QDir(dir).absoluteFilePath("in/good.bin"));
    QCOMPARE(ok.value("message").toString(), QStringLiteral("Finished"));
    QVERIFY(ok.value("reason").isNull());
    QCOMPARE(ok.value("bytes").toInteger(), QFileInfo(dir + "/in/good.bin.korvel-env").size());
    QCOMPARE(fileOrMissing(ok.value("destination").toString()), good);

    const QJsonObject failed = tasks.value("in/bad.bin.korvel-env");
    QCOMPARE(failed.value("status").toString(), QStringLiteral("failed"));
    QVERIFY(failed.value("destination").isNull());
    QCOMPARE(failed.value("message").toString(), QStringLiteral("Passphrase doesn't match Code: 1"));
    QVERIFY(failed.value("reason").isNull()); // no write failed

    const QJsonObject summary = QJsonDocument::fromJson(lines[2]).object();
    QCOMPARE(summary.value("type").toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value("finished").toInt(), 1);
    QCOMPARE(summary.value("failed").toInt(), 1);
    QCOMPARE(summary.value("total").toInt(), 2);
    QCOMPARE(summary.value("cancelled").toInt(), 0);
    QCOMPARE(summary.value("interrupted").toBool(true), false);
    QCOMPARE(summary.value("exitStatus").toInt(), 1);
}

void TestKorvelcryptCli::deleteEncrypted()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/in/a.txt.korvel-env", "alpha"));
    QVERIFY(writeEnvelope(dir + "/in/b.txt.korvel-env", "beta", "other"));
    QVERIFY(writeEnvelope(dir + "/in/plainname", "gamma"));

    const Result result = runCli(passphraseFileArgs(dir) << "--json"
                                                         << "--delete-encrypted"
                                                         << "in",
        dir);
    QCOMPARE(result.status, 1);
    // Deleted after success (one without the extension too, never renamed); the failed one stays.
    QCOMPARE(tree(dir + "/in"), (QStringList { "a.txt", "b.txt.korvel-env", "plainname(decrypted)" }));
    QCOMPARE(fileOrMissing(dir + "/in/a.txt"), QByteArray("alpha"));
    QCOMPARE(fileOrMissing(dir + "/in/plainname(decrypted)"), QByteArray("gamma"));
    QSet<QString> messages;
    for (const QByteArray& line : result.lines())
        messages.insert(QJsonDocument::fromJson(line).object().value("message").toString());
    QVERIFY(messages.contains(QStringLiteral("Finished (Deleted source)")));
    QVERIFY(
        messages.contains(QStringLiteral("Finished (Deleted source and (decrypted) appended to destination name)")));
}

void TestKorvelcryptCli::usageAndStatuses_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out"); // a line stdout must hold (empty: stdout is empty)
    QTest::addColumn<QByteArray>("err"); // a text stderr must hold (empty: stderr is empty)

    const QByteArray hint = "Try 'korvelcrypt-cli --help'";
    QTest::newRow("no path") << QStringList() << 2 << QByteArray() << QByteArray("no files or folders given");
    QTest::newRow("threads 3") << QStringList { "--threads", "3", "x" } << 2 << QByteArray() << hint;
    QTest::newRow("threads=0") << QStringList { "--threads=0", "x" } << 2 << QByteArray() << hint;
    QTest::newRow("threads word") << QStringList { "-t", "many", "x" } << 2 << QByteArray() << hint;
    QTest::newRow("unknown option") << QStringList { "--passphrase", "secret", "x" } << 2 << QByteArray() << hint;
    QTest::newRow("bad descriptor") << QStringList { "--passphrase-fd", "-1", "x" } << 2 << QByteArray() << hint;
    QTest::newRow("version") << QStringList { "--version" } << 0 << QByteArray("korvelcrypt-cli (Korvel Crypt) 1.1.0")
                             << QByteArray();
    QTest::newRow("missing path") << QStringList { "--passphrase-fd", "0", "nothing-here" } << 1
                                  << QByteArray("0 finished, 0 failed, 0 total, 1 missing")
                                  << QByteArray("cannot access 'nothing-here'");
    // An unmounted mount point looks like this: said, though nothing failed.
    QTest::newRow("empty folder") << QStringList { "--passphrase-fd", "0", "empty" } << 0
                                  << QByteArray("0 finished, 0 failed, 0 total")
                                  << QByteArray("korvelcrypt-cli: no envelope found; nothing to do.");
    QTest::newRow("quiet failure") << QStringList { "--quiet", "--passphrase-fd", "0", "bad" } << 1
                                   << QByteArray("FAILED\tbad/y.korvel-env\tPassphrase doesn't match Code: 1")
                                   << QByteArray();
    QTest::newRow("test and delete refused") << QStringList { "--test", "--delete-encrypted", "--passphrase-fd", "0",
        "one" } << 2 << QByteArray() << QByteArray("--test cannot be combined with --delete-encrypted");
    QTest::newRow("info with a passphrase refused") << QStringList { "--info", "--passphrase-fd", "0", "one" } << 2
                                                    << QByteArray() << QByteArray("--info needs no passphrase");
    QTest::newRow("output folder is a file") << QStringList { "-o", "one/x.korvel-env", "--passphrase-fd", "0",
        "one" } << 2 << QByteArray() << QByteArray("--output-dir 'one/x.korvel-env' is not a folder");
    QTest::newRow("stdout of several files refused")
        << QStringList { "--stdout", "--passphrase-fd", "0", "one/x.korvel-env", "bad/y.korvel-env" } << 2
        << QByteArray() << QByteArray("--stdout writes the plaintext of exactly one envelope, not of 2 files");
    QTest::newRow("a list that cannot be read") << QStringList { "--files-from", "no-list", "--passphrase-fd",
        "0" } << 2 << QByteArray() << QByteArray("cannot open the list of files 'no-list'");
    QTest::newRow("a shard out of range") << QStringList { "--shard", "3/2", "--passphrase-fd", "0", "one" } << 2
                                          << QByteArray() << QByteArray("--shard needs K/N with 1 <= K <= N");
    QTest::newRow("quiet success") << QStringList { "-q", "--passphrase-fd", "0", "one" } << 0 << QByteArray()
                                   << QByteArray();
    QTest::newRow("exclude by name") << QStringList { "--exclude", "x.*", "--passphrase-fd", "0", "one", "bad" } << 1
                                     << QByteArray("0 finished, 1 failed, 1 total") << QByteArray();
    QTest::newRow("exclude by path below the folder")
        << QStringList { "--exclude", "y.korvel-env", "--exclude", "nothing/*", "--passphrase-fd", "0", "bad" } << 0
        << QByteArray("0 finished, 0 failed, 0 total") << QByteArray("no envelope found");
    QTest::newRow("progress lines for a log")
        << QStringList { "--progress", "--passphrase-fd", "0", "one" } << 0
        << QByteArray("1 finished, 0 failed, 1 total") << QByteArray("korvelcrypt-cli: progress: 1/1");
    // Nothing written (the tree is checked below); a file named twice listed once.
    QTest::newRow("dry run") << QStringList { "--dry-run", "--passphrase-fd", "0", "one", "one/x.korvel-env" } << 0
                             << QByteArray("one/x.korvel-env -> DIR/one/x") << QByteArray();
    // With no passphrase source and no terminal, a dry run still lists.
    QTest::newRow("dry run asks for no passphrase")
        << QStringList { "--dry-run", "-o", "out", "--shard", "1/1", "--exclude", "y.*", "--existing", "skip", "one",
               "bad" }
        << 0 << QByteArray("one/x.korvel-env -> DIR/out/one/x") << QByteArray();
    QTest::newRow("dry run as JSON") << QStringList { "--dry-run", "--json", "one", "nothing-here" } << 1
                                     << QByteArray("{\"destination\":\"DIR/one/x\",\"source\":\"one/x.korvel-env\","
                                                   "\"type\":\"planned\"}")
                                     << QByteArray("cannot access 'nothing-here'");
    QTest::newRow("verbose names a file passed over")
        << QStringList { "--verbose", "--exclude", "x.*", "--passphrase-fd", "0", "one", "bad" } << 1
        << QByteArray("0 finished, 1 failed, 1 total")
        << QByteArray("korvelcrypt-cli: passed over one/x.korvel-env: excluded\n");
    QTest::newRow("verbose says the settings")
        << QStringList { "--verbose", "-t", "2", "--passphrase-fd", "0", "one" } << 0
        << QByteArray("1 finished, 0 failed, 1 total")
        << QByteArray("korvelcrypt-cli: decrypting with 2 threads, 1 passphrase candidates\n");
    QTest::newRow("exclude anchored to the relative path")
        << QStringList { "--exclude", "/bad/*", "--exclude", "/x.korvel-env", "--passphrase-fd", "0", "one", "bad" }
        << 0 << QByteArray("1 finished, 0 failed, 1 total") << QByteArray();
    QTest::newRow("root that is no folder")
        << QStringList { "--files-from", "no-list", "--root", "one/x.korvel-env", "--passphrase-fd", "0" } << 2
        << QByteArray() << QByteArray("--root 'one/x.korvel-env' is not a folder");
    QTest::newRow("verbose and quiet refused") << QStringList { "--verbose", "-q", "--passphrase-fd", "0",
        "one" } << 2 << QByteArray() << QByteArray("--verbose cannot be combined with --quiet");
    // The plaintext gets the envelope's time (checked below).
    QTest::newRow("keep times") << QStringList { "--keep-times", "--passphrase-fd", "0", "one" } << 0
                                << QByteArray("1 finished, 0 failed, 1 total") << QByteArray();
}

void TestKorvelcryptCli::usageAndStatuses()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("empty")));
    QVERIFY(writeEnvelope(dir.filePath("one/x.korvel-env"), "x"));
    QVERIFY(writeEnvelope(dir.filePath("bad/y.korvel-env"), "y", "other"));
    const QDateTime old = QDateTime::fromSecsSinceEpoch(1000000000);
    QFile envelope(dir.filePath("one/x.korvel-env"));
    QVERIFY(envelope.open(QIODevice::ReadWrite) && envelope.setFileTime(old, QFileDevice::FileModificationTime));
    envelope.close();
    const QStringList before = tree(dir.path());
    out.replace("DIR", QFile::encodeName(QFileInfo(dir.path()).canonicalFilePath()));
    const Result result = runCli(args, dir.path(), "secret\n");
    if (args.contains("--dry-run"))
        QCOMPARE(tree(dir.path()), before);
    if (QFileInfo::exists(dir.filePath("one/x")))
        QCOMPARE(QFileInfo(dir.filePath("one/x")).lastModified() == old, args.contains("--keep-times"));
    QCOMPARE(result.status, status);
    if (out.isEmpty())
        QVERIFY2(result.out.isEmpty(), result.out.constData());
    else
        QVERIFY2(result.lines().contains(out), result.out.constData());
    if (err.isEmpty())
        QVERIFY2(result.err.isEmpty(), result.err.constData());
    else
        QVERIFY2(result.err.contains(err), result.err.constData());
}

void TestKorvelcryptCli::placesThatRefuse_data()
{
    QTest::addColumn<QStringList>("args"); // the passphrase comes on standard input
    QTest::addColumn<bool>("closedStdout");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out"); // a text stdout holds; empty: not looked at
    QTest::addColumn<QByteArray>("err"); // a text stderr holds

    const QByteArray locked = "cannot read the folder 'walk/locked': Permission denied; nothing in it was taken";
    QTest::newRow("unreadable folder") << QStringList { "walk" } << false << 1
                                       << QByteArray("1 finished, 0 failed, 1 total, 1 folders unreadable") << locked;
    QTest::newRow("unreadable folder, JSON")
        << QStringList { "--json", "walk" } << false << 1
        << QByteArray(R"({"error":"read","message":"cannot read the folder","reason":"Permission denied",)"
                      R"("source":"walk/locked","status":"failed","type":"path"})")
        << locked;
    QTest::newRow("unreadable folder, --info")
        << QStringList { "--info", "walk" } << false << 1
        << QByteArray("1 envelopes, 0 not envelopes, 1 total, 1 folders unreadable") << locked;
    QTest::newRow("output folder that cannot be written")
        << QStringList { "-o", "ro/new", "walk/x.korvel-env" } << false << 2 << QByteArray()
        << QByteArray("--output-dir 'ro/new' cannot be written: Permission denied");
    // The folder below -o that could not be made, not the file missing in it.
    QTest::newRow("output subfolder that cannot be made")
        << QStringList { "-o", "outs", "nest" } << false << 1 << QByteArray("(Permission denied)") << QByteArray();
    QTest::newRow("source on a read-only folder")
        << QStringList { "-o", "outk", "--delete-encrypted", "keep" } << false << 1
        << QByteArray("1 finished, 0 failed, 1 total") << QByteArray("keep/k.korvel-env: Permission denied");
    // A reader that quit: the batch ends as interrupted, with what finished journaled.
    QTest::newRow("standard output closed")
        << QStringList { "--threads", "1", "--journal", "jdir/j", "many" } << true << 141 << QByteArray()
        << QByteArray("standard output was closed; the batch ends as interrupted.");
}

// Folders the command may not read or write, and a reader that quits: each
// named with the system's cause, counted, and ending in the documented status.
void TestKorvelcryptCli::placesThatRefuse()
{
    QFETCH(QStringList, args);
    QFETCH(bool, closedStdout);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    RunAs runAs;
    if (!unprivileged(&runAs))
        QSKIP("no account without privileges to run the command as");
    runAs.closedStdout = closedStdout;

    QTemporaryDir base;
    const QString dir = base.path();
    QVERIFY(writeEnvelope(dir + "/walk/x.korvel-env", "x"));
    QVERIFY(writeEnvelope(dir + "/walk/locked/y.korvel-env", "y"));
    QVERIFY(writeEnvelope(dir + "/nest/deep/z.korvel-env", "z"));
    QVERIFY(writeEnvelope(dir + "/keep/k.korvel-env", "k"));
    for (int i = 0; i < 6; ++i)
        QVERIFY(writeEnvelope(dir + QStringLiteral("/many/m%1.korvel-env").arg(i), plaintextFor(QString::number(i))));
    for (const char* folder : { "ro", "outs/nest", "outk", "jdir" })
        QVERIFY(QDir(dir).mkpath(folder));
    // Open to the account, then closed where each row needs it.
    const auto setModes = [&](bool closed) {
        bool ok = ::chmod(QFile::encodeName(dir).constData(), 0755) == 0;
        for (const QString& entry : tree(dir)) {
            const QString path = dir + '/' + entry;
            ok = ::chmod(QFile::encodeName(path).constData(), QFileInfo(path).isDir() ? 0777 : 0644) == 0 && ok;
        }
        const QList<QPair<const char*, mode_t>> modes { { "walk/locked", 0 }, { "ro", 0555 }, { "outs/nest", 0555 },
            { "keep", 0555 } };
        for (const auto& [entry, mode] : modes)
            ok = !closed || (::chmod(QFile::encodeName(dir + '/' + entry).constData(), mode) == 0 && ok);
        return ok;
    };
    QVERIFY(setModes(true));
    const auto reopen = qScopeGuard([&] { setModes(false); });

    if (!args.contains("--info"))
        args = QStringList { "--passphrase-fd", "0" } + args;
    const Result result = runCli(args, dir, "secret\n", -1, runAs);
    QCOMPARE(result.status, status);
    QVERIFY2(result.err.contains(err), result.err.constData());
    if (!out.isEmpty())
        QVERIFY2(result.out.contains(out), result.out.constData());
    // Never the missing file for a folder that was not made.
    QVERIFY2(!(result.out + result.err).contains("No such file"), result.out + result.err);
    if (!closedStdout)
        return;
    // Nothing half-written, and every plaintext journaled: a rerun does the rest
    // and writes no "(decrypted)" copy of what was done.
    const QStringList done = journalRecords(dir + "/jdir/j");
    for (const QString& source : done)
        QVERIFY2(QFileInfo(source.chopped(QStringLiteral(".korvel-env").size())).isFile(), qPrintable(source));
    runAs.closedStdout = false;
    const Result rerun = runCli(args, dir, "secret\n", -1, runAs);
    QCOMPARE(rerun.status, 0);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(fileOrMissing(dir + QStringLiteral("/many/m%1").arg(i)), plaintextFor(QString::number(i)));
    QVERIFY2(!tree(dir + "/many").join(' ').contains("(decrypted"), qPrintable(tree(dir + "/many").join(' ')));
}

void TestKorvelcryptCli::interruptLeavesNoPartialOutput_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("status");
    QTest::newRow("SIGINT") << SIGINT << 130;
    QTest::newRow("SIGTERM") << SIGTERM << 143;
}

void TestKorvelcryptCli::interruptLeavesNoPartialOutput()
{
    QFETCH(int, signalNumber);
    QFETCH(int, status);

    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(dir));
    const QString envelope = dir + "/large.bin.korvel-env";
    // Large enough that the decryption is still running when the signal comes.
    const uint64_t size = 192ull << 20;
    const korvel::test::Bytes pattern = korvel::test::patternBytes(1 << 16, 5);
    QVERIFY(korvel::test::writeEnvelopeStreaming(
        envelope.toStdString(), size, [&](uint64_t offset, uint8_t* buffer, size_t length) {
            for (size_t i = 0; i < length; ++i)
                buffer[i] = pattern[(offset + i) % pattern.size()];
        }));
    const qint64 envelopeSize = QFileInfo(envelope).size();

    // Reads of the envelope, seen through inotify: the program is not dumpable,
    // so its /proc files are closed to a test that does not run as root.
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    QVERIFY(watch >= 0);
    QVERIFY(inotify_add_watch(watch, QFile::encodeName(envelope).constData(), IN_ACCESS) >= 0);
    const auto closeWatch = qScopeGuard([watch] { ::close(watch); });

    QProcess process;
    process.setProgram(kCli);
    process.setArguments(passphraseFileArgs(dir) << "--threads"
                                                 << "1"
                                                 << "--delete-encrypted" << envelope);
    process.setChildProcessModifier([] { ::setsid(); });
    process.start();
    QVERIFY(process.waitForStarted());

    // Wait until the decryption reads the envelope, then interrupt. The
    // plaintext is written to a file without a name: nothing but the source may
    // be seen in the folder meanwhile. Each event stands for one read or more;
    // the program is held still while they are counted, so that however fast it
    // reads it cannot finish before the signal: each round lets it read on.
    const auto pid = static_cast<pid_t>(process.processId());
    int reads = 0;
    QElapsedTimer clock;
    clock.start();
    while (reads < 8 && process.state() == QProcess::Running && clock.elapsed() < 120000) {
        QCOMPARE(tree(dir), QStringList { "large.bin.korvel-env" });
        pollfd ready { watch, POLLIN, 0 };
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        QCOMPARE(::kill(pid, SIGSTOP), 0);
        alignas(inotify_event) char events[4096];
        const ssize_t n = ::read(watch, events, sizeof events);
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            reads += (event->mask & IN_ACCESS) != 0;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
        if (reads < 8)
            QCOMPARE(::kill(pid, SIGCONT), 0);
    }
    QVERIFY2(reads >= 8, "the decryption ended before it could be interrupted");
    // Taken when the program goes on.
    QCOMPARE(::kill(pid, signalNumber), 0);
    QCOMPARE(::kill(pid, SIGCONT), 0);
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);

    const QByteArray out = process.readAllStandardOutput();
    QCOMPARE(process.exitCode(), status);
    QVERIFY2(out.contains("CANCELLED\t" + QFile::encodeName(envelope) + '\n'), out.constData());
    QVERIFY2(out.contains("0 finished, 0 failed, 1 total (interrupted: 1 not decrypted)"), out.constData());
    // Only the untouched source remains.
    QCOMPARE(tree(dir), QStringList { "large.bin.korvel-env" });
    QCOMPARE(QFileInfo(envelope).size(), envelopeSize);
}

void TestKorvelcryptCli::filesFrom_data()
{
    QTest::addColumn<QByteArray>("list"); // the list's bytes
    QTest::addColumn<QStringList>("args"); // after the passphrase options; LIST stands for the list's path
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("written"); // new files below the working folder, sorted
    QTest::addColumn<QByteArray>("summary");

    QTest::newRow("one a line") << QByteArray("archive/a.txt.korvel-env\narchive/sub/b.txt.korvel-env\n")
                                << QStringList { "--files-from", "LIST" } << 0
                                << QStringList { "archive/a.txt", "archive/sub/b.txt" }
                                << QByteArray("2 finished, 0 failed, 2 total");
    QTest::newRow("CRLF, blank lines, no last newline")
        << QByteArray("archive/a.txt.korvel-env\r\n\r\n\narchive/with space.txt.korvel-env")
        << QStringList { "--files-from=LIST" } << 0 << QStringList { "archive/a.txt", "archive/with space.txt" }
        << QByteArray("2 finished, 0 failed, 2 total");
    QTest::newRow("NUL-separated on standard input, a folder listed")
        << QByteArrayLiteral("archive/new\nline.txt.korvel-env\0archive/sub\0")
        << QStringList { "--null", "--files-from", "-" } << 0
        << QStringList { "archive/new\nline.txt", "archive/sub/b.txt" } << QByteArray("2 finished, 0 failed, 2 total");
    QTest::newRow("listed and named") << QByteArray("archive/sub\n")
                                      << QStringList { "--files-from", "LIST", "archive/c.bin.korvel-env" } << 0
                                      << QStringList { "archive/c.bin", "archive/sub/b.txt" }
                                      << QByteArray("2 finished, 0 failed, 2 total");
    QTest::newRow("below -o, listed paths kept")
        << QByteArrayLiteral("./archive/sub/b.txt.korvel-env\0archive/a.txt.korvel-env\0")
        << QStringList { "--files-from", "LIST", "--null", "-o", "out" } << 0
        << QStringList { "out/archive/a.txt", "out/archive/sub/b.txt" } << QByteArray("2 finished, 0 failed, 2 total");
    // A list is a walk made elsewhere: its plain files are skipped as a folder's are.
    QTest::newRow("a plain file listed is skipped")
        << QByteArray("archive/plain.txt\narchive/a.txt.korvel-env\n") << QStringList { "--files-from", "LIST" } << 0
        << QStringList { "archive/a.txt" } << QByteArray("1 finished, 0 failed, 1 total, 1 skipped");
    QTest::newRow("every listed file tried with --all-files")
        << QByteArray("archive/plain.txt\narchive/a.txt.korvel-env\n")
        << QStringList { "--all-files", "--files-from", "LIST" } << 1 << QStringList { "archive/a.txt" }
        << QByteArray("1 finished, 1 failed, 2 total");
    QTest::newRow("a test of the listed files")
        << QByteArray("archive/a.txt.korvel-env\narchive/sub\n") << QStringList { "--test", "--files-from", "LIST" }
        << 0 << QStringList() << QByteArray("2 finished, 0 failed, 2 total");
    QTest::newRow("an empty list") << QByteArray() << QStringList { "--files-from", "LIST" } << 0 << QStringList()
                                   << QByteArray("0 finished, 0 failed, 0 total");
    // A listed name that is not UTF-8 names its file by its bytes (checked below,
    // as Qt cannot list it).
    QTest::newRow("a name that is not UTF-8")
        << QByteArray("archive/caf\xe9.txt.korvel-env\narchive/a.txt.korvel-env\n")
        << QStringList { "--files-from", "LIST" } << 0 << QStringList { "archive/a.txt" }
        << QByteArray("2 finished, 0 failed, 2 total");
    // One rule for walks and lists: absolute paths below --root land where a walk
    // of ROOT/archive puts them, hidden ones are passed over as a walk passes them.
    QTest::newRow("absolute paths below --root, laid out as a walk")
        << QByteArray("ROOT/archive/a.txt.korvel-env\nROOT/archive/sub\n")
        << QStringList { "--files-from", "LIST", "--root", "ROOT", "-o", "out" } << 0
        << QStringList { "out/archive/a.txt", "out/archive/sub/b.txt" } << QByteArray("2 finished, 0 failed, 2 total");
    QTest::newRow("a path outside --root refused")
        << QByteArray("archive/sub/b.txt.korvel-env\narchive/a.txt.korvel-env\n")
        << QStringList { "--files-from", "LIST", "--root", "archive/sub" } << 2 << QStringList() << QByteArray();
    QTest::newRow("hidden entries passed over")
        << QByteArray("archive/.hidden.txt.korvel-env\narchive/a.txt.korvel-env\n")
        << QStringList { "--files-from", "LIST" } << 0 << QStringList { "archive/a.txt" }
        << QByteArray("1 finished, 0 failed, 1 total");
    QTest::newRow("--verbose names what it passes over")
        << QByteArray("archive/plain.txt\narchive/a.txt.korvel-env\n")
        << QStringList { "--verbose", "--files-from", "LIST" } << 0 << QStringList { "archive/a.txt" }
        << QByteArray("1 finished, 0 failed, 1 total, 1 skipped");
    QTest::newRow("a test of a name that is not UTF-8")
        << QByteArray("archive/caf\xe9.txt.korvel-env\n") << QStringList { "--test", "--files-from", "LIST" } << 0
        << QStringList() << QByteArray("1 finished, 0 failed, 1 total");
}

// --files-from takes the paths a file or standard input lists: folders as on the
// command line, files as a folder's.
void TestKorvelcryptCli::filesFrom()
{
    QFETCH(QByteArray, list);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QStringList, written);
    QFETCH(QByteArray, summary);

    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    for (const char* name : { "a.txt", "sub/b.txt", "c.bin", "with space.txt", "new\nline.txt", ".hidden.txt" })
        QVERIFY(writeEnvelope(dir + "/archive/" + name + ".korvel-env", plaintextFor(QFileInfo(name).fileName())));
    QVERIFY(writePlain(dir + "/archive/plain.txt", QByteArray("an earlier plaintext").repeated(20)));
    // Beside them, a Latin-1 name for the rows that list it.
    const QByteArray latin = QFile::encodeName(dir) + "/archive/caf\xe9.txt";
    if (list.contains('\xe9')) {
        QVERIFY(writeEnvelope(dir + "/latin.korvel-env", "café"));
        QCOMPARE(
            ::rename(QFile::encodeName(dir + "/latin.korvel-env").constData(), (latin + ".korvel-env").constData()), 0);
    }
    const auto removeLatin = qScopeGuard([&] {
        removeTree(latin + ".korvel-env");
        removeTree(latin);
    });
    const QString listPath = base.filePath(QStringLiteral("list"));
    const QString root = QFileInfo(dir).canonicalFilePath();
    list.replace("ROOT", QFile::encodeName(root));
    QVERIFY(writePlain(listPath, list));
    const QStringList before = tree(dir);

    args.replaceInStrings(QStringLiteral("LIST"), listPath);
    args.replaceInStrings(QStringLiteral("ROOT"), root);
    const bool fromStdin = args.contains(QStringLiteral("-"));
    const Result result = runCli(passphraseFileArgs(dir) << args, dir, fromStdin ? list : QByteArray());
    QCOMPARE(result.status, status);
    QCOMPARE(newFiles(dir, before), written);
    if (status == 2) { // refused before anything was done
        QVERIFY2(result.err.contains("'archive/a.txt.korvel-env' is listed but is not below --root"),
            result.err.constData());
        return;
    }
    // Only a run that found nothing at all says so; --verbose says what it passes over.
    if (args.contains("--verbose"))
        QVERIFY2(result.err.contains("korvelcrypt-cli: passed over archive/plain.txt: not an envelope\n"),
            result.err.constData());
    else
        QCOMPARE(result.err,
            result.out.contains(" 0 total") ? QByteArray("korvelcrypt-cli: no envelope found; nothing to do.\n")
                                            : QByteArray());
    for (const QString& name : written)
        QCOMPARE(fileOrMissing(dir + '/' + name), plaintextFor(QFileInfo(name).fileName()));
    QVERIFY2(result.lines().contains(summary), result.out.constData());
    if (list.contains('\xe9')) {
        const bool tested = args.contains("--test");
        QCOMPARE(bytesOrMissing(latin), tested ? QByteArray("<missing>") : QByteArray("café"));
        const QByteArray line = "OK\tarchive/caf\\351.txt.korvel-env"
            + (tested ? QByteArray() : "\t" + QFile::encodeName(dir) + "/archive/caf\\351.txt");
        QVERIFY2(result.lines().contains(line), result.out.constData());
    }
    // Each line names its source as the list or the command line did: by the
    // relative paths given, not by the absolute paths worked on.
    for (const QByteArray& line : result.lines()) {
        if (line.startsWith("OK\t"))
            QVERIFY2(line.startsWith("OK\tarchive/") || line.startsWith("OK\t./archive/")
                    || line.startsWith("OK\t" + QFile::encodeName(root) + "/archive/"),
                line.constData());
    }
}

void TestKorvelcryptCli::listIsTakenAsItComes_data()
{
    QTest::addColumn<QByteArray>("rest"); // written once the first name's line is out
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("plaintexts");
    QTest::addColumn<QByteArray>("said"); // on standard error
    QTest::newRow("a name listed again") << QByteArray("archive/a.txt.korvel-env\narchive/b.txt.korvel-env\n") << 0
                                         << QStringList { "a.txt", "b.txt" } << QByteArray("1 duplicates skipped");
    QTest::newRow("a path outside the root") << QByteArray("/etc/passwd\narchive/b.txt.korvel-env\n") << 2
                                             << QStringList { "a.txt" } << QByteArray("'/etc/passwd' is listed");
}

// A list on a pipe is decrypted as it comes: the first name's result is out
// before the rest is written. A name listed again after its plaintext was
// written is still a duplicate, and a refused name ends the list there.
void TestKorvelcryptCli::listIsTakenAsItComes()
{
    QFETCH(QByteArray, rest);
    QFETCH(int, status);
    QFETCH(QStringList, plaintexts);
    QFETCH(QByteArray, said);
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    for (const char* name : { "a.txt", "b.txt" })
        QVERIFY(writeEnvelope(dir + "/archive/" + name + ".korvel-env", plaintextFor(name)));
    QProcess process;
    process.setProgram(kCli);
    process.setArguments(passphraseFileArgs(dir) << "--files-from"
                                                 << "-");
    process.setWorkingDirectory(dir);
    process.start();
    QVERIFY(process.waitForStarted());
    process.write("archive/a.txt.korvel-env\n");
    QByteArray out;
    while (!out.contains('\n') && process.waitForReadyRead(60000))
        out += process.readAllStandardOutput();
    QCOMPARE(out, "OK\tarchive/a.txt.korvel-env\t" + QFile::encodeName(dir) + "/archive/a.txt\n");
    process.write(rest);
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(120000));
    out += process.readAllStandardOutput();
    QCOMPARE(process.exitCode(), status);
    QVERIFY2(out.contains(QByteArray::number(plaintexts.size()) + " finished, 0 failed"), out.constData());
    QStringList expected = plaintexts;
    for (const char* name : { "a.txt", "b.txt" })
        expected.append(QString::fromLatin1(name) + ".korvel-env");
    expected.sort();
    QCOMPARE(tree(dir + "/archive"), expected);
    QVERIFY2(process.readAllStandardError().contains(said), out.constData());
}

// A journal names every finished source; a rerun with it skips them, a record cut
// short goes, and a file that is no journal is never written to.
void TestKorvelcryptCli::journalSkipsRecordedSources()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    for (const char* name : { "a.txt", "b.txt", "c.txt", "d.txt" })
        QVERIFY(writeEnvelope(dir + "/archive/" + name + ".korvel-env", plaintextFor(name)));
    QVERIFY(writeEnvelope(dir + "/archive/wrong.txt.korvel-env", plaintextFor("wrong"), "other"));
    const QString journal = base.filePath(QStringLiteral("journal"));
    const QString root = QFileInfo(dir).canonicalFilePath() + "/archive/";
    // a.txt was recorded; the record of b.txt was cut short by a crash.
    QVERIFY(writePlain(journal,
        kJournalHeaderFirst + QFile::encodeName(root + "a.txt.korvel-env") + '\0' + QFile::encodeName(root + "b.txt")));

    Result result = runCli(passphraseFileArgs(dir) << "--json"
                                                   << "--journal" << journal << "archive",
        dir);
    QCOMPARE(result.status, 1);
    QCOMPARE(reportedSources(result),
        (QStringList { "archive/b.txt.korvel-env", "archive/c.txt.korvel-env", "archive/d.txt.korvel-env",
            "archive/wrong.txt.korvel-env" }));
    QCOMPARE(summaryOf(result).value("journaled").toInt(), 1);
    QCOMPARE(summaryOf(result).value("total").toInt(), 4);
    QVERIFY(!QFileInfo::exists(dir + "/archive/a.txt"));
    // Only what finished is recorded, each once, the cut record gone.
    QStringList records = journalRecords(journal);
    QCOMPARE(records.size(), 4);
    QCOMPARE(records.takeFirst(), root + "a.txt.korvel-env");
    records.sort();
    QCOMPARE(
        records, (QStringList { root + "b.txt.korvel-env", root + "c.txt.korvel-env", root + "d.txt.korvel-env" }));

    // The rerun finds only the failed one left, however the folder is named.
    result = runCli(passphraseFileArgs(dir) << "--journal" << journal << "-q" << root, dir);
    QCOMPARE(result.status, 1);
    QCOMPARE(result.lines(),
        QList<QByteArray> { "FAILED\t" + QFile::encodeName(root)
            + "wrong.txt.korvel-env\tPassphrase doesn't match "
              "Code: 1" });
    QCOMPARE(journalRecords(journal).size(), 4);

    // Never appended to a file that is not a journal.
    const QByteArray envelope = fileOrMissing(dir + "/archive/c.txt.korvel-env");
    result = runCli(passphraseFileArgs(dir) << "--journal"
                                            << "archive/c.txt.korvel-env"
                                            << "archive",
        dir);
    QCOMPARE(result.status, 2);
    QVERIFY2(result.err.contains("is not a korvelcrypt-cli journal"), result.err.constData());
    QCOMPARE(fileOrMissing(dir + "/archive/c.txt.korvel-env"), envelope);

    // A test records what it read, not what it wrote: its journal and a
    // decryption's are never taken for each other.
    result = runCli(passphraseFileArgs(dir) << "--test"
                                            << "--journal" << journal << "archive",
        dir);
    QCOMPARE(result.status, 2);
    QVERIFY2(result.err.contains("is the journal of a decryption; a test needs a journal of its own"),
        result.err.constData());
    const QString testJournal = base.filePath(QStringLiteral("test-journal"));
    result = runCli(passphraseFileArgs(dir) << "--test"
                                            << "-q"
                                            << "--journal" << testJournal << "archive/c.txt.korvel-env",
        dir);
    QCOMPARE(result.status, 0);
    QCOMPARE(journalRecords(testJournal), QStringList { "<no journal>" }); // of the other kind
    result = runCli(passphraseFileArgs(dir) << "--test"
                                            << "--json"
                                            << "--journal" << testJournal << "archive",
        dir);
    QCOMPARE(summaryOf(result).value("journaled").toInt(), 1);
    result = runCli(passphraseFileArgs(dir) << "--journal" << testJournal << "archive", dir);
    QCOMPARE(result.status, 2);
    QVERIFY2(result.err.contains("is the journal of a test (--test); a decryption needs a journal of its own"),
        result.err.constData());
    QVERIFY(fileOrMissing(testJournal).startsWith("korvelcrypt-cli test journal 2\n"));
}

void TestKorvelcryptCli::journalResumesAfterKill_data()
{
    QTest::addColumn<bool>("fromFind");
    QTest::newRow("a folder") << false;
    // The one-machine recipe: find ... -print0 | korvelcrypt-cli --files-from - --null --journal ...
    QTest::newRow("find -print0 into --files-from -") << true;
}

// Killed part-way, a run with a journal is finished by a rerun with the same
// journal: no recorded source is decrypted again and every source ends with its
// plaintext.
void TestKorvelcryptCli::journalResumesAfterKill()
{
    QFETCH(bool, fromFind);
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    constexpr int kFiles = 1500;
    QStringList names;
    for (int i = 0; i < kFiles; ++i) {
        names.append(QStringLiteral("archive/%1/file%2.txt").arg(i % 7).arg(i));
        QVERIFY(writeEnvelope(dir + '/' + names.last() + ".korvel-env", plaintextFor(names.last())));
    }
    const QString journal = base.filePath(QStringLiteral("journal"));
    const QStringList cliArgs = passphraseFileArgs(dir) << "--threads"
                                                        << "1"
                                                        << "--json"
                                                        << "--journal" << journal;
    // The command runs in a session of its own, so that a kill of its group ends
    // find, the shell and korvelcrypt-cli at once.
    const auto start = [&](QProcess& process) {
        if (fromFind) {
            process.setProgram(QStringLiteral("sh"));
            process.setArguments(
                QStringList { "-c", "find archive -type f -print0 | \"$0\" \"$@\" --files-from - --null", kCli }
                + cliArgs);
        } else {
            process.setProgram(kCli);
            process.setArguments(QStringList(cliArgs) << "archive");
        }
        process.setWorkingDirectory(dir);
        process.setChildProcessModifier([] { ::setsid(); });
        process.start();
        return process.waitForStarted();
    };

    QProcess process;
    QVERIFY(start(process));
    QTRY_VERIFY_WITH_TIMEOUT(journalRecords(journal).size() >= 50 || process.state() != QProcess::Running, 120000);
    QVERIFY2(process.state() == QProcess::Running, "the run ended before it could be killed");
    QCOMPARE(::kill(-static_cast<pid_t>(process.processId()), SIGKILL), 0);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);

    const QStringList recorded = journalRecords(journal);
    QVERIFY(recorded.size() < kFiles);
    const QString root = QFileInfo(dir).canonicalFilePath() + '/';
    for (const QString& record : recorded)
        QVERIFY2(record.startsWith(root + "archive/") && QFileInfo::exists(record.chopped(11)), qPrintable(record));

    QProcess second;
    QVERIFY(start(second));
    QVERIFY(second.waitForFinished(300000));
    const Result rerun { second.exitCode(), second.readAllStandardOutput(), second.readAllStandardError() };
    QCOMPARE(rerun.status, 0);
    QVERIFY2(rerun.err.isEmpty(), rerun.err.constData());
    QCOMPARE(summaryOf(rerun).value("journaled").toInt(), recorded.size());
    const QStringList redone = reportedSources(rerun);
    QCOMPARE(redone.size(), kFiles - recorded.size());
    for (const QString& source : redone)
        QVERIFY2(
            source.startsWith(QStringLiteral("archive/")) && !recorded.contains(root + source), qPrintable(source));

    // Every plaintext is there. A source finished in the moment before the kill,
    // whose record was not yet written, is decrypted again beside its first
    // plaintext: with one thread, the task that was just reported and perhaps the
    // next one, no more.
    int again = 0;
    for (const QString& name : names)
        QCOMPARE(fileOrMissing(dir + '/' + name), plaintextFor(name));
    for (const QString& name : tree(dir))
        again += name.contains(QStringLiteral("(decrypted)")) ? 1 : 0;
    QVERIFY2(again <= 2, qPrintable(QString::number(again)));
    // Each source recorded once now, whichever run recorded it.
    QStringList records = journalRecords(journal);
    QCOMPARE(records.size(), kFiles);
    records.removeDuplicates();
    QCOMPARE(records.size(), kFiles);
}

// N shards started side by side over one folder decrypt every file exactly once,
// and a shard takes the same files however its folder is named.
void TestKorvelcryptCli::shardsSideBySide()
{
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("work"));
    QStringList all;
    for (int i = 0; i < 60; ++i) {
        all.append(QStringLiteral("archive/%1/file%2.txt.korvel-env").arg(i % 4).arg(i));
        QVERIFY(writeEnvelope(dir + '/' + all.last(), plaintextFor(all.last())));
        // Files that are no envelopes beside them: each shard counts its own share.
        if (i % 2 == 0)
            QVERIFY(writePlain(dir + QStringLiteral("/archive/%1/note%2.txt").arg(i % 4).arg(i), "a note"));
    }
    all.sort();
    const QStringList passphrase = passphraseFileArgs(dir);
    const QStringList sourceTree = tree(dir);
    const QString out = base.filePath(QStringLiteral("restored"));

    constexpr int kShards = 3;
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int k = 1; k <= kShards; ++k) {
        auto& process = processes.emplace_back(std::make_unique<QProcess>());
        process->setProgram(kCli);
        // The many-machine recipe: one shard a machine, each with its own journal,
        // every plaintext below one output folder.
        process->setArguments(QStringList(passphrase)
            << "--json"
            << "--shard" << QStringLiteral("%1/%2").arg(k).arg(kShards) << "--journal"
            << base.filePath(QStringLiteral("shard%1.journal").arg(k)) << "-o" << out << "archive");
        process->setWorkingDirectory(dir);
        process->setChildProcessModifier([] { ::setsid(); });
        process->start();
    }
    QStringList union_;
    QList<QStringList> shards;
    int skipped = 0;
    for (auto& process : processes) {
        QVERIFY(process->waitForFinished(120000));
        QCOMPARE(process->exitCode(), 0);
        const Result result { process->exitCode(), process->readAllStandardOutput(), process->readAllStandardError() };
        shards.append(reportedSources(result));
        skipped += summaryOf(result).value("skipped").toInt();
        QVERIFY2(!shards.last().isEmpty(), result.out.constData());
        union_ += shards.last();
    }
    union_.sort();
    QCOMPARE(union_, all); // each file once: the shards neither overlap nor miss one
    QCOMPARE(skipped, 30); // and each other file counted once
    for (const QString& source : all)
        QCOMPARE(fileOrMissing(out + '/' + source.chopped(11)), plaintextFor(source));
    for (const QString& name : tree(out))
        QVERIFY2(!name.contains(QStringLiteral("(decrypted)")), qPrintable(name));
    QCOMPARE(tree(dir), sourceTree);
    // Each shard's journal holds its own sources.
    const QString root = QFileInfo(dir).canonicalFilePath() + '/';
    for (int k = 1; k <= kShards; ++k) {
        QStringList recorded = journalRecords(base.filePath(QStringLiteral("shard%1.journal").arg(k)));
        recorded.replaceInStrings(root, QString());
        recorded.sort();
        QCOMPARE(recorded, shards.at(k - 1));
    }

    // Named otherwise (absolute, a trailing slash, from elsewhere) the folder's
    // files fall into the same shards.
    const QString archive = QFileInfo(dir + "/archive").canonicalFilePath();
    const Result again = runCli(QStringList(passphrase) << "--test"
                                                        << "--json"
                                                        << "--shard"
                                                        << "2/3" << archive + '/',
        base.path());
    QCOMPARE(again.status, 0);
    QStringList second;
    for (const QString& source : reportedSources(again))
        second.append(QStringLiteral("archive/") + QDir(archive).relativeFilePath(source));
    QCOMPARE(second, shards.at(1));

    // A folder shard and a list shard (absolute paths below --root) divide the
    // same files exactly: each once.
    QByteArray listed;
    for (const QString& name : all)
        listed += QFile::encodeName(dir + '/' + name) + '\0';
    const Result walked = runCli(QStringList(passphrase) << "--test"
                                                         << "--json"
                                                         << "--shard"
                                                         << "1/2"
                                                         << "archive",
        dir);
    const Result fromList = runCli(QStringList(passphrase) << "--test"
                                                           << "--json"
                                                           << "--shard"
                                                           << "2/2"
                                                           << "--files-from"
                                                           << "-"
                                                           << "--null"
                                                           << "--root" << dir,
        base.path(), listed);
    QCOMPARE(walked.status, 0);
    QCOMPARE(fromList.status, 0);
    QStringList both = reportedSources(walked);
    for (const QString& source : reportedSources(fromList))
        both.append(source.mid(dir.size() + 1));
    both.sort();
    QCOMPARE(both, all);
}

void TestKorvelcryptCli::shardOfIsStable_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("shard");
    // The first eight bytes of the key's SHA-256, big-endian, modulo the count,
    // plus one: the same on every machine and in every version.
    QTest::newRow("two shards") << "a.txt.korvel-env" << 2 << 1;
    QTest::newRow("seven shards") << "d1/f2.txt.korvel-env" << 7 << 3;
    QTest::newRow("three shards") << "2019/q1.pdf.korvel-env" << 3 << 1;
    QTest::newRow("UTF-8 key") << QStringLiteral("ünïcode/名前.korvel-env") << 5 << 4;
    QTest::newRow("a large count") << "x" << 1000003 << 309981;
    QTest::newRow("one shard") << "anything" << 1 << 1;
}

void TestKorvelcryptCli::shardOfIsStable()
{
    QFETCH(QString, key);
    QFETCH(int, count);
    QFETCH(int, shard);
    QCOMPARE(SourceSelection::shardOf(key, count), shard);
    // The key is the relative path: of a file found in a folder, its path below
    // the folder's parent (its output base); of a file listed, its path below the
    // root; of a file named, its name.
    FileLoading::Group inFolder;
    inFolder.folder = QStringLiteral("/media/disc/archive");
    inFolder.outputBase = QStringLiteral("/media/disc");
    inFolder.files = QStringList { QStringLiteral("/media/disc/archive/") + key };
    QCOMPARE(SourceSelection::shardKey(inFolder, 0), QStringLiteral("archive/") + key);
    FileLoading::Group listed;
    listed.outputBase = QStringLiteral("/home/me");
    listed.files = QStringList { QStringLiteral("/home/me/sub/") + key };
    listed.named = QStringList { QStringLiteral("./sub//") + key };
    QCOMPARE(SourceSelection::shardKey(listed, 0), QStringLiteral("sub/") + key);
    listed.outputBase.clear();
    QCOMPARE(SourceSelection::shardKey(listed, 0), QFileInfo(key).fileName());
}

void TestKorvelcryptCli::killedRunsLoseNothing()
{
    // Hundreds of small envelopes and a few large ones, some of them without the
    // extension (deleted without being renamed first), decrypted with
    // --delete-encrypted and killed with SIGKILL at random moments. Whatever
    // moment the kill hits, the folder must hold each source or its plaintext,
    // whole, and nothing else; a second run over what is left must finish.
    bool seedGiven = false;
    const quint32 seed = qEnvironmentVariable("KORVEL_CRASH_SEED").toUInt(&seedGiven);
    const quint32 usedSeed = seedGiven ? seed : QRandomGenerator::global()->generate();
    qInfo(
        "killedRunsLoseNothing: seed %u (KORVEL_CRASH_SEED=%u repeats the sizes and kill moments)", usedSeed, usedSeed);
    QRandomGenerator random(usedSeed);

    QTemporaryDir base(crashTestRoot() + QStringLiteral("/korvel-crash-XXXXXX"));
    QVERIFY(base.isValid());
    const QString master = base.filePath(QStringLiteral("master"));
    QVERIFY(QDir().mkpath(master));
    QList<CrashSource> sources;
    const auto add = [&](const QString& name, const korvel::test::Bytes& pattern, qint64 plaintextSize) {
        CrashSource source;
        source.name = name;
        source.original = master + '/' + name;
        source.pattern = pattern;
        source.plaintextSize = plaintextSize;
        if (name.endsWith(QStringLiteral(".korvel-env"))) {
            const QString plain = name.chopped(11); // "s001.bin"
            const int dot = plain.lastIndexOf('.');
            source.plaintext = plain;
            source.copies = { plain.left(dot) + QStringLiteral("(decrypted)") + plain.mid(dot) };
        } else {
            source.renamed = name + QStringLiteral(".korvel-env");
            source.plaintext = name + QStringLiteral("(decrypted)");
            source.copies = { name + QStringLiteral("(decrypted 2)") };
        }
        sources.append(source);
    };
    for (int i = 0; i < 300; ++i) {
        const bool bare = i % 25 == 7;
        const QString name = bare ? QStringLiteral("n%1").arg(i, 3, 10, QLatin1Char('0'))
                                  : QStringLiteral("s%1.bin.korvel-env").arg(i, 3, 10, QLatin1Char('0'));
        const korvel::test::Bytes plaintext
            = korvel::test::patternBytes(random.bounded(1024, 8 * 1024 + 1), random.generate64());
        korvel::test::EnvelopeOptions options;
        options.passphrases = { kPassphrase.toStdString() };
        options.seed = random.generate64();
        QVERIFY(korvel::test::writeEnvelope((master + '/' + name).toStdString(), plaintext, options));
        add(name, plaintext, static_cast<qint64>(plaintext.size()));
    }
    for (int i = 0; i < 3; ++i) {
        const QString name = QStringLiteral("large%1.bin.korvel-env").arg(i);
        const korvel::test::Bytes pattern = korvel::test::patternBytes(1 << 16, random.generate64());
        constexpr qint64 kSize = qint64(24) << 20;
        korvel::test::EnvelopeOptions options;
        options.passphrases = { kPassphrase.toStdString() };
        options.seed = random.generate64();
        QVERIFY(korvel::test::writeEnvelopeStreaming((master + '/' + name).toStdString(), kSize,
            [&](uint64_t offset, uint8_t* buffer, size_t length) {
                for (size_t k = 0; k < length; ++k)
                    buffer[k] = pattern[(offset + k) % pattern.size()];
            },
            options));
        add(name, pattern, kSize);
    }

    const auto startKilledRun = [&](const QString& folder, QProcess& process) {
        process.setProgram(kCli);
        process.setArguments(passphraseFileArgs(folder) << "--quiet"
                                                        << "--delete-encrypted" << folder);
        process.setChildProcessModifier([] { ::setsid(); });
        process.start();
        return process.waitForStarted();
    };

    // A run that is not killed: how long a whole run takes on this machine, the
    // span the kill moments are drawn from.
    const QString first = base.filePath(QStringLiteral("uninterrupted"));
    QVERIFY(copyFolder(master, first));
    QElapsedTimer clock;
    clock.start();
    const Result whole = runCli(passphraseFileArgs(first) << "--quiet"
                                                          << "--delete-encrypted" << first,
        first);
    const qint64 span = std::max<qint64>(clock.elapsed(), 20);
    QVERIFY2(whole.status == 0, whole.out + whole.err);
    QStringList problems = crashStateProblems(first, sources, true);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    QVERIFY(QDir(first).removeRecursively());

    // Rounds until ten of them were ended by the kill (a run may finish before its
    // kill comes), and no more than forty.
    int kills = 0;
    for (int round = 1; kills < 10 && round <= 40; ++round) {
        const QString folder = base.filePath(QStringLiteral("round%1").arg(round));
        QVERIFY(copyFolder(master, folder));
        const qint64 delayUs = static_cast<qint64>(random.bounded(static_cast<quint32>(span * 1000)));

        QProcess process;
        QVERIFY(startKilledRun(folder, process));
        QThread::usleep(static_cast<unsigned long>(delayUs));
        // The process is not reaped before waitForFinished(), so its id is still its own.
        QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGKILL), 0);
        QVERIFY(process.waitForFinished(300000));
        // Killed, or finished just before the kill came.
        const bool killed = process.exitStatus() == QProcess::CrashExit;
        if (killed)
            ++kills;
        else
            QCOMPARE(process.exitCode(), 0);

        problems = crashStateProblems(folder, sources, false);
        QVERIFY2(problems.isEmpty(),
            qPrintable(QStringLiteral("round %1, killed after %2 ms:\n").arg(round).arg(delayUs / 1000.0)
                + problems.join('\n')));

        QStringList left;
        for (const CrashSource& source : std::as_const(sources)) {
            for (const QString& name : { source.name, source.renamed }) {
                if (!name.isEmpty() && QFileInfo::exists(folder + '/' + name))
                    left.append(folder + '/' + name);
            }
        }
        qInfo("round %d: %s after %.1f ms of %lld, %lld of %lld sources decrypted", round,
            killed ? "killed" : "finished before the kill", delayUs / 1000.0, span,
            static_cast<long long>(sources.size() - left.size()), static_cast<long long>(sources.size()));
        if (!left.isEmpty()) {
            const Result rest = runCli(passphraseFileArgs(folder) << "--quiet"
                                                                  << "--delete-encrypted" << left,
                folder);
            QVERIFY2(rest.status == 0, rest.out + rest.err);
        }
        problems = crashStateProblems(folder, sources, true);
        QVERIFY2(problems.isEmpty(),
            qPrintable(QStringLiteral("round %1, after the second run:\n").arg(round) + problems.join('\n')));
        QVERIFY(QDir(folder).removeRecursively());
    }
    QVERIFY2(kills >= 10, qPrintable(QStringLiteral("only %1 runs were ended by the kill").arg(kills)));
}

void TestKorvelcryptCli::fullDisk_data()
{
    QTest::addColumn<bool>("tmpfs"); // else a file size limit
    QTest::addColumn<bool>("deleteSources");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("signalIgnored"); // the caller ignores SIGXFSZ for the command
    const QString full = QStringLiteral("No space left on device");
    const QString tooLarge = QStringLiteral("File too large");
    QTest::newRow("tmpfs, json") << true << false << true << full << true;
    QTest::newRow("tmpfs, deleting sources, text") << true << true << false << full << true;
    QTest::newRow("file size limit, deleting sources, json") << false << true << true << tooLarge << true;
    QTest::newRow("file size limit, text") << false << false << false << tooLarge << true;
    // As a shell's ulimit -f leaves it: the signal would end the whole batch.
    QTest::newRow("file size limit, signal not ignored, json") << false << false << true << tooLarge << false;
}

// A disk that holds the envelopes but not all their plaintexts: as root a small
// tmpfs in a private mount namespace, otherwise a file size limit that the large
// plaintexts exceed. Every failure says why; a failed source stays as it was,
// and nothing is left but whole plaintexts and the sources that remain.
void TestKorvelcryptCli::fullDisk()
{
    QFETCH(bool, tmpfs);
    QFETCH(bool, deleteSources);
    QFETCH(bool, json);
    QFETCH(QString, reason);
    QFETCH(bool, signalIgnored);
    if (tmpfs && geteuid() != 0)
        QSKIP("a tmpfs of its own needs root");

    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString stage = base.filePath(QStringLiteral("stage"));
    QHash<QString, QByteArray> plaintexts; // envelope name -> plaintext
    qint64 pages = 0;
    for (int i = 0; i < 30; ++i)
        plaintexts.insert(QStringLiteral("small%1.txt.korvel-env").arg(i, 2, 10, QLatin1Char('0')),
            plaintextFor(QStringLiteral("small %1").arg(i)).repeated(2));
    for (int i = 1; i <= 2; ++i) {
        const korvel::test::Bytes big = korvel::test::patternBytes(3 << 20, uint64_t(i));
        plaintexts.insert(QStringLiteral("large%1.bin.korvel-env").arg(i),
            QByteArray(reinterpret_cast<const char*>(big.data()), static_cast<qsizetype>(big.size())));
    }
    QHash<QString, QByteArray> envelopes;
    for (auto it = plaintexts.cbegin(); it != plaintexts.cend(); ++it) {
        QVERIFY(writeEnvelope(stage + '/' + it.key(), it.value()));
        envelopes.insert(it.key(), fileOrMissing(stage + '/' + it.key()));
        pages += (envelopes.value(it.key()).size() + 4095) / 4096;
    }
    const QString passFile = base.filePath(QStringLiteral("passphrase"));
    QVERIFY(writePlain(passFile, kPassphrase + "\n"));

    QStringList args { QStringLiteral("--passphrase-file"), passFile, QStringLiteral("--threads"),
        QStringLiteral("2") };
    if (deleteSources)
        args << QStringLiteral("--delete-encrypted");
    if (json)
        args << QStringLiteral("--json");

    // What the run leaves in its folder, as a copy taken once it has ended.
    QString result;
    QProcess process;
    if (tmpfs) {
        // Room for the envelopes and 2 MiB more: neither 3 MiB plaintext fits.
        const QString mount = base.filePath(QStringLiteral("mnt"));
        result = base.filePath(QStringLiteral("result"));
        QVERIFY(QDir().mkpath(mount) && QDir().mkpath(result));
        const QString script = QStringLiteral("mount -t tmpfs -o size=\"$1\" tmpfs \"$2\" || exit 97\n"
                                              "cp -a \"$3\"/. \"$2\"/ || exit 98\n"
                                              "shift 3\n"
                                              "\"$@\"\n"
                                              "status=$?\n"
                                              "cp -a \"$MNT\"/. \"$RESULT\"/ || exit 99\n"
                                              "exit $status\n");
        const qint64 sizeKib = pages * 4 + 2048;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MNT"), mount);
        environment.insert(QStringLiteral("RESULT"), result);
        process.setProcessEnvironment(environment);
        process.setProgram(QStringLiteral("unshare"));
        process.setArguments(QStringList { "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                                 QStringLiteral("%1k").arg(sizeKib), mount, stage, kCli }
            + args + QStringList { mount });
    } else {
        result = stage;
        process.setProgram(kCli);
        process.setArguments(args << stage);
        process.setChildProcessModifier([signalIgnored] {
            // Past the limit a write fails with EFBIG instead of raising SIGXFSZ
            // (the command makes sure of that itself).
            const rlimit limit { 1 << 20, 1 << 20 };
            std::signal(SIGXFSZ, signalIgnored ? SIG_IGN : SIG_DFL);
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::setsid();
        });
    }
    process.start();
    QVERIFY(process.waitForStarted());
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(300000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    const QByteArray out = process.readAllStandardOutput();
    const QByteArray err = process.readAllStandardError();
    if (tmpfs && (process.exitCode() == 97 || process.exitCode() == 98 || process.exitCode() == 127))
        QSKIP(qPrintable(QStringLiteral("no tmpfs in a private mount namespace here: ") + QString::fromLocal8Bit(err)));
    QCOMPARE(process.exitCode(), 1);

    // Each task as the output reports it: file name, finished or not, and what it says.
    struct Reported {
        bool finished = false;
        QString destination;
        QString message;
        QString reason;
    };
    QHash<QString, Reported> reported;
    QList<QByteArray> lines = out.split('\n');
    lines.removeAll(QByteArray());
    QVERIFY2(lines.size() == plaintexts.size() + 1, out.constData());
    const QByteArray summary = lines.takeLast();
    for (const QByteArray& line : std::as_const(lines)) {
        Reported task;
        QString source;
        if (json) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            source = object.value("source").toString();
            task.finished = object.value("status").toString() == QLatin1String("finished");
            task.destination = object.value("destination").toString();
            task.message = object.value("message").toString();
            task.reason = object.value("reason").toString();
        } else {
            const QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
            QCOMPARE(fields.size(), 3);
            source = fields[1];
            task.finished = fields[0] == QLatin1String("OK");
            if (task.finished) {
                task.destination = fields[2];
            } else {
                // The text, then the system's reason in parentheses.
                const qsizetype open = fields[2].lastIndexOf(QLatin1String(" ("));
                QVERIFY2(open > 0 && fields[2].endsWith(QLatin1Char(')')), line.constData());
                task.message = fields[2].left(open);
                task.reason = fields[2].mid(open + 2).chopped(1);
            }
        }
        reported.insert(QFileInfo(source).fileName(), task);
    }
    QCOMPARE(reported.size(), plaintexts.size());

    QStringList expected;
    int failed = 0;
    for (auto it = reported.cbegin(); it != reported.cend(); ++it) {
        const QString& name = it.key();
        QVERIFY2(plaintexts.contains(name), qPrintable(name));
        const QString plainName = QFileInfo(name).completeBaseName();
        if (it->finished) {
            QCOMPARE(QFileInfo(it->destination).fileName(), plainName);
            QCOMPARE(fileOrMissing(result + '/' + plainName), plaintexts.value(name));
            expected << plainName;
            if (!deleteSources)
                expected << name;
        } else {
            ++failed;
            QCOMPARE(it->message, QStringLiteral("Could not write out to device. Code: -5"));
            QCOMPARE(it->reason, reason);
            expected << name;
        }
        if (!it->finished || !deleteSources)
            QCOMPARE(fileOrMissing(result + '/' + name), envelopes.value(name));
    }
    // Neither large plaintext fits; no partial file and no temporary is left.
    QVERIFY(!reported.value("large1.bin.korvel-env").finished && !reported.value("large2.bin.korvel-env").finished);
    expected.sort();
    QCOMPARE(tree(result), expected);
    if (json)
        QCOMPARE(QJsonDocument::fromJson(summary).object().value("failed").toInt(), failed);
    else
        QCOMPARE(summary,
            QStringLiteral("%1 finished, %2 failed, %3 total")
                .arg(plaintexts.size() - failed)
                .arg(failed)
                .arg(plaintexts.size())
                .toUtf8());
}

// Both programs make themselves non-dumpable before anything else: no core file
// with the passphrase or plaintext, no reading of their memory by other processes
// of the same user. The files under /proc/<pid> of a non-dumpable process belong
// to root, so the command runs as another user than root ("nobody" when the test
// is root).
void TestKorvelcryptCli::processIsNotDumpable()
{
    const bool root = geteuid() == 0;
    if (root && !getpwnam("nobody"))
        QSKIP("no account to run the command as");
    korvel::test::HangGuard guard;

    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString dir = base.filePath(QStringLiteral("work"));
    QVERIFY(writeEnvelope(dir + "/x.korvel-env", "plain"));
    // Reachable and writable for the account that runs the command.
    QCOMPARE(::chmod(QFile::encodeName(base.path()).constData(), 0755), 0);
    QCOMPARE(::chmod(QFile::encodeName(dir).constData(), 0777), 0);
    QCOMPARE(::chmod(QFile::encodeName(dir + "/x.korvel-env").constData(), 0644), 0);
    // The passphrase comes through a FIFO: once the command has opened it, its
    // start-up is behind it.
    const QByteArray fifo = QFile::encodeName(base.filePath(QStringLiteral("passphrase")));
    QCOMPARE(::mkfifo(fifo.constData(), 0666), 0);
    QCOMPARE(::chmod(fifo.constData(), 0666), 0);

    const QByteArray program = QFile::encodeName(kCli);
    const QByteArray folder = QFile::encodeName(dir);
    // Everything the child needs is looked up here: between fork and exec it
    // makes only async-signal-safe calls.
    const passwd* nobody = root ? getpwnam("nobody") : nullptr;
    const uid_t uid = nobody ? nobody->pw_uid : 0;
    const gid_t gid = nobody ? nobody->pw_gid : 0;
    const char* const argv[] = { program.constData(), "--passphrase-file", fifo.constData(), "x.korvel-env", nullptr };
    const pid_t pid = _Fork();
    QVERIFY(pid >= 0);
    if (pid == 0) {
        if (root && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(korvel::test::kChildSetupFailed);
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (::chdir(folder.constData()) != 0 || devNull < 0 || ::dup2(devNull, STDOUT_FILENO) < 0)
            _exit(korvel::test::kChildSetupFailed);
        execve(argv[0], const_cast<char* const*>(argv), environ);
        _exit(127);
    }

    int writer = -1;
    while (writer < 0) {
        writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0 || errno != ENXIO)
            break;
        // No reader yet: unless the command has ended, it is still starting.
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        QVERIFY2(ended == 0, "the command ended before it read its passphrase");
        QThread::msleep(1);
    }
    QVERIFY(writer >= 0);
    struct stat entry { };
    QCOMPARE(::stat(QStringLiteral("/proc/%1/status").arg(pid).toLocal8Bit().constData(), &entry), 0);
    const uid_t owner = entry.st_uid;
    QCOMPARE(::write(writer, "secret\n", 7), ssize_t(7));
    ::close(writer);
    const int exitCode = korvel::test::waitChild(pid);
    QCOMPARE(owner, uid_t(0));
    QCOMPARE(exitCode, 0);
    QCOMPARE(fileOrMissing(dir + "/x"), QByteArray("plain"));
}

void TestKorvelcryptCli::listReadInBatches_data()
{
    QTest::addColumn<bool>("nullSeparated");
    QTest::addColumn<QByteArray>("ending"); // after each name
    QTest::newRow("lines") << false << QByteArray("\n");
    QTest::newRow("CRLF lines") << false << QByteArray("\r\n");
    QTest::newRow("NUL-separated") << true << QByteArray("\0", 1);
}

// A long list reaches the find a few thousand names at a time, every name once,
// in order, with nothing between the pieces lost or joined.
void TestKorvelcryptCli::listReadInBatches()
{
    QFETCH(bool, nullSeparated);
    QFETCH(QByteArray, ending);
    QTemporaryDir dir;
    QStringList names;
    QByteArray list;
    for (int i = 0; i < 10000; ++i) {
        names.append(QStringLiteral("folder %1/név %2.korvel-env").arg(i % 13).arg(i));
        list += names.last().toUtf8() + ending;
        if (i % 1000 == 0)
            list += ending; // an empty name, passed over
    }
    list.chop(ending.size()); // the last name has no ending
    QVERIFY(writePlain(dir.filePath("list"), list));

    QStringList read;
    int batches = 0;
    QString error;
    QVERIFY(SourceSelection::readList(
        dir.filePath("list"), nullSeparated,
        [&](QStringList& batch) {
            ++batches;
            QVERIFY(!batch.isEmpty() && batch.size() <= 4096);
            read += batch;
        },
        &error));
    QCOMPARE(read, names);
    QCOMPARE(batches, 3);
    QVERIFY(!SourceSelection::readList(
        dir.filePath("missing"), false, [](QStringList&) {}, &error));
    QVERIFY2(error.contains(QStringLiteral("cannot open the list of files")), qPrintable(error));
}

void TestKorvelcryptCli::durableOrder_data()
{
    QTest::addColumn<QString>("output"); // below the base folder; empty: next to the sources
    QTest::newRow("next to the sources") << QString();
    QTest::newRow("below an output folder made on the way") << QStringLiteral("restore/new/deep");
}

// What no kill can show: whether a power loss may lose a plaintext whose source
// is gone. The system calls of a run are recorded (strace -f) and, for every
// source, checked to come in this order: the plaintext's data flushed, then
// its name linked, then every folder that leads to it flushed (below an output
// folder up to that folder's parent), then its journal record written and
// flushed, then the source moved aside and unlinked.
void TestKorvelcryptCli::durableOrder()
{
    QFETCH(QString, output);
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed (scripts/install-deps installs it)");
    QTemporaryDir base;
    const QString root = QFileInfo(base.path()).canonicalFilePath();
    const QStringList names { "a.txt", "b.bin", "sub/c.txt", "sub/d.txt", "sub/deeper/e.txt", "sub/deeper/f.txt" };
    for (const QString& name : names)
        QVERIFY(writeEnvelope(root + "/in/" + name + ".korvel-env", plaintextFor(name)));
    const QString journal = root + "/journal";
    const QString trace = root + "/trace";
    QStringList args { "-f", "-qq", "-y", "-s", "65536", "-o", trace, "-e",
        "trace=close,fsync,fdatasync,write,linkat,renameat2,rename,unlink,unlinkat", "--", kCli };
    args << passphraseFileArgs(root + "/in") << "--json"
         << "--threads"
         << "2"
         << "--delete-encrypted"
         << "--journal" << journal;
    if (!output.isEmpty())
        args << "-o" << root + '/' + output;
    args << root + "/in";
    QProcess process;
    process.start(strace, args);
    QVERIFY(process.waitForFinished(300000));
    const QByteArray err = process.readAllStandardError();
    if (process.exitCode() != 0 && err.contains("ptrace"))
        QSKIP(qPrintable("strace cannot trace here: " + QString::fromLocal8Bit(err)));
    QCOMPARE(process.exitCode(), 0);
    QHash<QString, QString> plaintextOf; // source -> plaintext
    for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value("type").toString() == QLatin1String("task"))
            plaintextOf.insert(object.value("source").toString(), object.value("destination").toString());
    }
    QCOMPARE(plaintextOf.size(), names.size());

    // The calls that succeeded, in the order they returned.
    struct Call {
        QString name;
        QString args;
    };
    QList<Call> calls;
    QHash<QString, QString> unfinished; // pid -> the call's start
    static const QRegularExpression lineForm(QStringLiteral("^(\\d+)\\s+(.*)$"));
    static const QRegularExpression callForm(QStringLiteral("^(\\w+)\\((.*)\\)\\s+=\\s+(-?\\d+)"));
    for (const QByteArray& raw : fileOrMissing(trace).split('\n')) {
        const QRegularExpressionMatch line = lineForm.match(QString::fromUtf8(raw));
        if (!line.hasMatch())
            continue;
        const QString pid = line.captured(1);
        QString text = line.captured(2);
        if (text.endsWith(QLatin1String(" <unfinished ...>"))) {
            unfinished.insert(pid, text.chopped(17));
            continue;
        }
        if (text.startsWith(QLatin1String("<... "))) {
            text = unfinished.take(pid) + text.mid(text.indexOf(QLatin1String("resumed>")) + 8);
        }
        const QRegularExpressionMatch call = callForm.match(text);
        if (call.hasMatch() && call.captured(3).toLongLong() >= 0)
            calls.append({ call.captured(1), call.captured(2) });
    }
    QVERIFY(!calls.isEmpty());

    static const QRegularExpression fdForm(QStringLiteral("^(\\d+)<(.*)>"));
    static const QRegularExpression quoted(QStringLiteral("\"([^\"]*)\""));
    const auto fdOf = [](const QString& callArgs) { return fdForm.match(callArgs).captured(1); };
    const auto pathOf = [](const QString& callArgs) { return fdForm.match(callArgs).captured(2); };
    const auto strings = [](const QString& callArgs) {
        QStringList found;
        for (auto it = quoted.globalMatch(callArgs); it.hasNext();)
            found.append(it.next().captured(1));
        return found;
    };
    QSet<QString> dataSynced; // descriptors whose data was flushed since opened
    QHash<QString, bool> linkedSynced; // plaintext -> its data was flushed before it got its name
    QHash<QString, qsizetype> linkedAt;
    QHash<QString, QList<qsizetype>> folderSyncs;
    QHash<QString, qsizetype> recordedAt; // source -> its journal record was written
    QHash<QString, qsizetype> recordFlushedAt;
    QHash<QString, qsizetype> movedAsideAt;
    QSet<QString> unlinked;
    QHash<QString, QString> asideOf;
    for (qsizetype i = 0; i < calls.size(); ++i) {
        const Call& call = calls.at(i);
        if (call.name == QLatin1String("fdatasync")) {
            dataSynced.insert(fdOf(call.args));
            if (pathOf(call.args) == journal)
                for (const QString& source : recordedAt.keys())
                    if (!recordFlushedAt.contains(source))
                        recordFlushedAt.insert(source, i);
        } else if (call.name == QLatin1String("fsync")) {
            folderSyncs[pathOf(call.args)].append(i);
        } else if (call.name == QLatin1String("close")) {
            dataSynced.remove(fdOf(call.args));
        } else if (call.name == QLatin1String("linkat")) {
            const QStringList paths = strings(call.args);
            if (paths.size() == 2 && paths.first().startsWith(QLatin1String("/proc/self/fd/"))) {
                linkedSynced.insert(paths.last(), dataSynced.contains(paths.first().mid(14)));
                linkedAt.insert(paths.last(), i);
            }
        } else if (call.name == QLatin1String("write") && pathOf(call.args) == journal) {
            for (const QString& source : plaintextOf.keys())
                if (call.args.contains(source + "\\0"))
                    recordedAt.insert(source, i);
        } else if (call.name.startsWith(QLatin1String("rename"))) {
            const QStringList paths = strings(call.args);
            if (paths.size() == 2 && plaintextOf.contains(paths.first()) && !movedAsideAt.contains(paths.first())) {
                movedAsideAt.insert(paths.first(), i);
                asideOf.insert(paths.first(), paths.last());
            }
        } else if (call.name.startsWith(QLatin1String("unlink"))) {
            for (const QString& path : strings(call.args))
                unlinked.insert(path);
        }
    }

    for (auto it = plaintextOf.cbegin(); it != plaintextOf.cend(); ++it) {
        const QString& source = it.key();
        const QString& plaintext = it.value();
        QVERIFY2(linkedAt.contains(plaintext), qPrintable(plaintext));
        QVERIFY2(linkedSynced.value(plaintext), qPrintable("data not flushed before the name: " + plaintext));
        QVERIFY2(movedAsideAt.contains(source), qPrintable("never moved aside: " + source));
        const qsizetype gone = movedAsideAt.value(source);
        QVERIFY2(unlinked.contains(asideOf.value(source)), qPrintable("never unlinked: " + source));
        // Every folder that leads to the plaintext, flushed after the name was linked.
        QStringList folders { QFileInfo(plaintext).absolutePath() };
        if (!output.isEmpty()) {
            const QString top = root + '/' + output;
            while (folders.constLast() != top)
                folders.append(QFileInfo(folders.constLast()).absolutePath());
            folders.append(QFileInfo(top).absolutePath());
        }
        qsizetype lastFolderSync = linkedAt.value(plaintext);
        for (const QString& folder : std::as_const(folders)) {
            const QList<qsizetype> syncs = folderSyncs.value(folder);
            const auto synced = std::find_if(syncs.cbegin(), syncs.cend(),
                [&](qsizetype at) { return at > linkedAt.value(plaintext) && at < gone; });
            QVERIFY2(synced != syncs.cend(), qPrintable(folder + " not flushed before " + source + " went"));
            lastFolderSync = std::max(lastFolderSync, *synced);
        }
        QVERIFY2(recordedAt.contains(source), qPrintable("no record: " + source));
        QVERIFY2(recordedAt.value(source) > lastFolderSync, qPrintable("recorded too early: " + source));
        QVERIFY2(recordFlushedAt.value(source, gone) < gone, qPrintable("record not on disk before: " + source));
    }
    QCOMPARE(journalRecords(journal).size(), names.size());
}

void TestKorvelcryptCli::journalReruns_data()
{
    QTest::addColumn<bool>("lockHeld"); // another process holds the journal
    QTest::addColumn<bool>("waits"); // the rerun waits for the journal (--wait-journal)
    QTest::addColumn<bool>("throughLink"); // the rerun names the folder through a symbolic link
    QTest::addColumn<bool>("deleting"); // the rerun deletes sources
    QTest::addColumn<bool>("plaintextGone"); // a.txt was removed before the rerun
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("after"); // the folder afterwards
    QTest::addColumn<QByteArray>("err"); // a text stderr holds; empty: stderr is empty
    // 1: the tree is moved elsewhere before the rerun (a medium mounted under a
    // new path); 2: and a.txt.korvel-env is another envelope there now; 3: and
    // the journal is of the previous version, which knows resolved paths only.
    QTest::addColumn<int>("move");
    const QStringList all { "a.txt", "a.txt.korvel-env", "b.txt", "b.txt.korvel-env" };
    QTest::newRow("rerun skips what is recorded")
        << false << false << false << false << false << 0 << all << QByteArray() << 0;
    QTest::newRow("through a link to the same folder")
        << false << false << true << false << false << 0 << all << QByteArray() << 0;
    QTest::newRow("journal in use: refused") << true << false << false << false << false << 2 << all
                                             << QByteArray("is in use by another korvelcrypt-cli process") << 0;
    QTest::newRow("journal in use: waits for it")
        << true << true << false << false << false << 0 << all << QByteArray("waiting for it to end") << 0;
    QTest::newRow("deleting: recorded sources go")
        << false << false << false << true << false << 0 << QStringList { "a.txt", "b.txt" } << QByteArray() << 0;
    QTest::newRow("deleting through a link")
        << false << false << true << true << false << 0 << QStringList { "a.txt", "b.txt" } << QByteArray() << 0;
    QTest::newRow("deleting, a plaintext gone: its source stays")
        << false << false << false << true << true << 1 << QStringList { "a.txt.korvel-env", "b.txt" }
        << QByteArray("is recorded as decrypted but was kept") << 0;
    QTest::newRow("moved elsewhere: resumes")
        << false << false << false << false << false << 0 << all << QByteArray() << 1;
    QTest::newRow("moved, a source replaced: it alone again")
        << false << false << false << false << false << 0
        << QStringList { "a(decrypted).txt", "a.txt", "a.txt.korvel-env", "b.txt", "b.txt.korvel-env" } << QByteArray()
        << 2;
    QTest::newRow("moved, a journal of the previous version: done again, never skipped wrongly")
        << false << false << false << false << false << 0
        << QStringList { "a(decrypted).txt", "a.txt", "a.txt.korvel-env", "b(decrypted).txt", "b.txt",
               "b.txt.korvel-env" }
        << QByteArray() << 3;
}

// A journal has one writer, knows a folder however it is reached, and lets a
// run that deletes sources finish what an earlier run recorded.
void TestKorvelcryptCli::journalReruns()
{
    QFETCH(bool, lockHeld);
    QFETCH(bool, waits);
    QFETCH(bool, throughLink);
    QFETCH(bool, deleting);
    QFETCH(bool, plaintextGone);
    QFETCH(int, status);
    QFETCH(QStringList, after);
    QFETCH(QByteArray, err);
    QFETCH(int, move);
    QTemporaryDir base;
    QString dir = base.filePath(QStringLiteral("work"));
    for (const char* name : { "a.txt", "b.txt" })
        QVERIFY(writeEnvelope(dir + "/archive/" + name + ".korvel-env", plaintextFor(name)));
    QVERIFY(QFile::link(dir + "/archive", dir + "/link"));
    const QString journal = base.filePath(QStringLiteral("journal"));
    Result result = runCli(passphraseFileArgs(dir) << "-q"
                                                   << "--journal" << journal << "archive",
        dir);
    QCOMPARE(result.status, 0);
    if (plaintextGone)
        QVERIFY(QFile::remove(dir + "/archive/a.txt"));
    if (move > 0) {
        const QString moved = base.filePath(QStringLiteral("mnt/usb"));
        QVERIFY(QDir().mkpath(moved));
        QVERIFY(QDir().rename(dir + "/archive", moved + "/archive"));
        dir = moved;
        if (move == 3) {
            QByteArray previous = kJournalHeaderSecond;
            for (const QString& source : journalRecords(journal))
                previous += QFile::encodeName(source) + '\0' + QFile::encodeName(source.chopped(11)) + '\0';
            QVERIFY(writePlain(journal, previous));
        }
        if (move == 2)
            QVERIFY(writeEnvelope(dir + "/archive/a.txt.korvel-env", plaintextFor("another a.txt")));
    }

    const int held = lockHeld ? ::open(QFile::encodeName(journal).constData(), O_RDONLY | O_CLOEXEC) : -1;
    if (lockHeld)
        QCOMPARE(::flock(held, LOCK_EX), 0);
    QStringList args = passphraseFileArgs(dir) << "--json"
                                               << "--journal" << journal;
    if (deleting)
        args << "--delete-encrypted";
    args << (throughLink ? "link" : "archive");
    if (waits) {
        // Let go of the lock once the run says it waits; it then goes on.
        QProcess process;
        process.setProgram(kCli);
        process.setArguments(args << "--wait-journal");
        process.setWorkingDirectory(dir);
        // The wait is said on standard error: that is the channel waited on.
        process.setReadChannel(QProcess::StandardError);
        process.start();
        QVERIFY(process.waitForStarted());
        result.err.clear();
        while (!result.err.contains("waiting") && process.waitForReadyRead(120000))
            result.err += process.readAllStandardError();
        ::close(held);
        QVERIFY(process.waitForFinished(300000));
        result = { process.exitCode(), process.readAllStandardOutput(), result.err + process.readAllStandardError() };
    } else {
        result = runCli(args, dir);
        if (held >= 0)
            ::close(held);
    }
    QCOMPARE(result.status, status);
    if (err.isEmpty())
        QCOMPARE(result.err, QByteArray());
    else
        QVERIFY2(result.err.contains(err), result.err.constData());
    QCOMPARE(tree(dir + "/archive"), after);
    if (status != 2) {
        // Nothing was decrypted again, but a source that is another file now.
        const int redone = move >= 2 ? move - 1 : 0;
        QCOMPARE(summaryOf(result).value("total").toInt(), redone);
        QCOMPARE(summaryOf(result).value("journaled").toInt(), 2 - redone);
    }
    for (const char* name : { "a.txt", "b.txt" })
        if (after.contains(name))
            QCOMPARE(fileOrMissing(dir + "/archive/" + name), plaintextFor(name));
}

QTEST_GUILESS_MAIN(TestKorvelcryptCli)
#include "test_korvelcrypt_cli.moc"
