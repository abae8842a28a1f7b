// The system calls korvelcrypt-cli makes for many small envelopes, counted by
// `strace -f -c`, beside what they should stand for in the same run:
// - clone3 (threads started) against the thread count (-t 2): a thread per file
//   would show one per envelope; the target is the thread count plus a few;
// - mkdir with -o against the folders the run made below the output folder:
//   the target is no more than those.
// getpriority, sched_get_priority_min/max (a thread's priority set per start),
// futex and poll are shown as well.
//
// KORVEL_BENCH_FILES (default 2,000, in 20 folders) and KORVEL_BENCH_THREADS
// (default 2). Exits 1 when a target is missed, 2 when a run fails.
#include "bench/BenchSupport.h"
#include "tests/support/EnvelopeWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

using BenchSupport::countFrom;

const char kPassphrase[] = "benchmark";

[[noreturn]] void fail(const QString& what)
{
    std::fprintf(stderr, "cli_syscalls: %s\n", qPrintable(what));
    std::exit(2);
}

// Runs the CLI under strace -f -c; the calls by name (the "calls" column).
QMap<QString, long> straced(const QString& summary, const QStringList& cliArguments)
{
    QProcess strace;
    strace.setStandardOutputFile(QProcess::nullDevice());
    strace.start(QStringLiteral("strace"),
        QStringList {
            QStringLiteral("-f"), QStringLiteral("-c"), QStringLiteral("-o"), summary, QStringLiteral(KORVELCRYPT_CLI) }
            + cliArguments);
    if (!strace.waitForFinished(1800000) || strace.exitStatus() != QProcess::NormalExit || strace.exitCode() != 0)
        fail(QStringLiteral("strace korvelcrypt-cli failed: %1")
                 .arg(QString::fromLocal8Bit(strace.readAllStandardError())));
    QFile file(summary);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("no strace summary"));
    // "% time  seconds  usecs/call  calls  errors  syscall": errors may be blank.
    static const QRegularExpression row(
        QStringLiteral("^\\s*[\\d.]+\\s+[\\d.]+\\s+\\d+\\s+(\\d+)\\s+(?:\\d+\\s+)?(\\w+)\\s*$"));
    QMap<QString, long> calls;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QRegularExpressionMatch match = row.match(QString::fromLatin1(line));
        if (match.hasMatch())
            calls[match.captured(2)] = match.captured(1).toLong();
    }
    return calls;
}

int foldersBelow(const QString& root)
{
    int count = 0;
    QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        fail(QStringLiteral("strace is not installed"));
    QTemporaryDir work;
    if (!work.isValid())
        fail(QStringLiteral("no temporary folder"));
    const int files = countFrom("KORVEL_BENCH_FILES", 2000);
    const int threads = countFrom("KORVEL_BENCH_THREADS", 2);
    const QString tree = work.filePath(QStringLiteral("tree"));
    korvel::test::EnvelopeOptions options;
    options.passphrases = { kPassphrase, "second" };
    for (int i = 0; i < files; ++i) {
        const QString folder = QStringLiteral("%1/folder%2").arg(tree).arg(i % 20);
        if (i < 20)
            QDir().mkpath(folder);
        options.seed = uint64_t(i) + 1;
        const QString path = QStringLiteral("%1/file%2.korvel-env").arg(folder).arg(i);
        if (!korvel::test::writeEnvelope(
                path.toStdString(), korvel::test::patternBytes(size_t(i % 4096), uint64_t(i)), options))
            fail(QStringLiteral("cannot write %1").arg(path));
    }
    const QString passphraseFile = work.filePath(QStringLiteral("passphrase"));
    {
        QFile file(passphraseFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(kPassphrase) + '\n') < 0)
            fail(QStringLiteral("cannot write the passphrase file"));
    }
    const QStringList common { QStringLiteral("-t"), QString::number(threads), QStringLiteral("--quiet"),
        QStringLiteral("--passphrase-file"), passphraseFile };

    const QMap<QString, long> test
        = straced(work.filePath(QStringLiteral("test.txt")), common + QStringList { QStringLiteral("--test"), tree });
    const QString out = work.filePath(QStringLiteral("out"));
    const QMap<QString, long> written
        = straced(work.filePath(QStringLiteral("out.txt")), common + QStringList { QStringLiteral("-o"), out, tree });
    // The output folder, its copy of the tree's folder and the 20 below it.
    const int made = foldersBelow(out) + 1;

    std::printf("korvelcrypt-cli -t %d over %d envelopes in 20 folders (strace -f -c):\n", threads, files);
    std::printf("%-26s %10s %10s\n", "call", "--test", "-o");
    for (const char* name : { "clone3", "clone", "getpriority", "sched_get_priority_min", "sched_get_priority_max",
             "futex", "poll", "mkdir" })
        std::printf("%-26s %10ld %10ld\n", name, test.value(QLatin1String(name)), written.value(QLatin1String(name)));
    const long clones = written.value(QStringLiteral("clone3")) + written.value(QStringLiteral("clone"));
    const long mkdirs = written.value(QStringLiteral("mkdir"));
    std::printf(
        "clone3 with -o: %ld against %d threads (target: threads + a few, <= %d)\n", clones, threads, threads + 8);
    std::printf("mkdir with -o: %ld against %d folders made (target: <= folders made)\n", mkdirs, made);
    return clones <= threads + 8 && mkdirs <= made ? 0 : 1;
}
