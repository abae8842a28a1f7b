// The real window (korvelcrypt, offscreen) loading a folder of many files named
// on its command line, beside `find DIR -type f` over the same tree in the same
// run.
//
// Writes KORVEL_BENCH_FILES empty files named as envelopes (default 200,000) in
// folders of 1,000 (with KORVEL_BENCH_PLAIN=1 without the envelope extension,
// so that the load looks into each); then, KORVEL_BENCH_ROUNDS times (default 3), alternately:
// - find: `find DIR -type f`, its whole output read, timed from start to end;
// - the window: `korvelcrypt DIR` with a settings store and launch socket of its
//   own, timed from its start (start-up included) until the load has ended (its
//   task manager's thread, which runs the load, has come and gone) and the
//   window answers on its launch socket (its main thread has taken the result).
// Prints each round, the medians and the ratio window/find (target: the window
// within 2 s). KORVEL_BENCH_BEFORE names another build of korvelcrypt (an
// earlier one) to time in each round as well, for a before and after measured
// alike. Exits 1 when a run fails.
#include "app/LaunchChannel.h"
#include "bench/BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using BenchSupport::countFrom;
using BenchSupport::median;

// The window being timed, ended with the bench when it fails.
QProcess* g_window = nullptr;

[[noreturn]] void fail(const QString& what)
{
    std::fprintf(stderr, "window_load: %s\n", qPrintable(what));
    if (g_window) {
        g_window->kill();
        g_window->waitForFinished(60000);
    }
    std::exit(1);
}

void writeTree(const QString& root, int count, bool plainNames)
{
    const QString extension = plainNames ? QString() : QStringLiteral(".korvel-env");
    for (int i = 0; i < count; ++i) {
        const QString folder = QStringLiteral("%1/folder%2").arg(root).arg(i / 1000);
        if (i % 1000 == 0 && !QDir().mkpath(folder))
            fail(QStringLiteral("cannot make %1").arg(folder));
        QFile file(QStringLiteral("%1/file%2.txt%3").arg(folder).arg(i).arg(extension));
        if (!file.open(QIODevice::WriteOnly))
            fail(QStringLiteral("cannot write %1").arg(file.fileName()));
    }
}

double findRound(const QString& root, int count)
{
    QElapsedTimer clock;
    clock.start();
    QProcess find;
    find.start(QStringLiteral("find"), { root, QStringLiteral("-type"), QStringLiteral("f") });
    if (!find.waitForFinished(600000) || find.exitCode() != 0)
        fail(QStringLiteral("find failed"));
    const qsizetype listed = find.readAllStandardOutput().count('\n');
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (listed != count)
        fail(QStringLiteral("find listed %1 files").arg(listed));
    return seconds;
}

// Whether the process has a thread of this name (as /proc shows it).
bool hasThread(qint64 pid, const QByteArray& name)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return std::any_of(ids.cbegin(), ids.cend(), [&](const QString& id) {
        QFile comm(tasks.filePath(id + QStringLiteral("/comm")));
        return comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name;
    });
}

double windowRound(const QString& window, const QString& root, const QString& work)
{
    const QString socket = work + QStringLiteral("/runtime/korvelcrypt.socket");
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), work + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), work + QStringLiteral("/runtime"));
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(window, { root });
    g_window = &process;
    if (!process.waitForStarted(60000))
        fail(QStringLiteral("cannot start %1").arg(window));
    const QByteArray loader("TaskManager");
    // A load too short to be seen (a few files) ends the bench within seconds.
    const auto waitFor = [&](bool present, qint64 limitMs) {
        while (hasThread(process.processId(), loader) != present) {
            if (process.state() != QProcess::Running || clock.elapsed() > limitMs)
                fail(QStringLiteral("the window's load %1").arg(present ? "was not seen" : "never ended"));
            QThread::usleep(500);
        }
    };
    waitFor(true, 20000);
    waitFor(false, 600000);
    // The main thread answers once it has handled what came before.
    if (!LaunchChannel::handOver({}, socket, 60000))
        fail(QStringLiteral("the window did not answer"));
    const double seconds = clock.nsecsElapsed() / 1e9;
    process.kill();
    process.waitForFinished(60000);
    g_window = nullptr;
    return seconds;
}

} // namespace

int main(int argc, char* argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    QTemporaryDir work;
    if (!work.isValid() || !QDir().mkpath(work.filePath(QStringLiteral("runtime"))))
        return 1;
    QFile::setPermissions(
        work.filePath(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const int files = countFrom("KORVEL_BENCH_FILES", 200000);
    const int rounds = std::max(1, countFrom("KORVEL_BENCH_ROUNDS", 3));
    const QString root = work.filePath(QStringLiteral("tree"));
    const bool plainNames = countFrom("KORVEL_BENCH_PLAIN", 0) != 0;
    writeTree(root, files, plainNames);
    const QString before = qEnvironmentVariable("KORVEL_BENCH_BEFORE");
    std::vector<double> windowTimes;
    std::vector<double> findTimes;
    std::vector<double> beforeTimes;
    for (int round = 0; round < rounds; ++round) {
        findTimes.push_back(findRound(root, files));
        windowTimes.push_back(windowRound(QStringLiteral(KORVELCRYPT_WINDOW), root, work.path()));
        std::printf("round %d: find %.3f s, window %.3f s", round + 1, findTimes.back(), windowTimes.back());
        if (!before.isEmpty()) {
            beforeTimes.push_back(windowRound(before, root, work.path()));
            std::printf(", before %.3f s", beforeTimes.back());
        }
        std::printf("\n");
    }
    if (!beforeTimes.empty())
        std::printf("before (%s): %.3f s (median)\n", qPrintable(before), median(beforeTimes));
    const double windowMedian = median(windowTimes);
    const double findMedian = median(findTimes);
    std::printf("%d files%s: window (start-up included) %.3f s, find -type f %.3f s (median of %d)\n", files,
        plainNames ? " without the envelope extension" : "", windowMedian, findMedian, rounds);
    std::printf("ratio window/find: %.2f  (target: window <= 2 s)\n", windowMedian / findMedian);
    return 0;
}
