// Decrypts many small envelopes (0 to 8 KiB of plaintext each) through the
// decrypt manager with 1, 2, 4 and 8 threads and copies the same tree with
// `cp -r` in the same run; then runs korvelcrypt-cli over the same tree,
// alternating with `cp -r`, and reports the ratio and the CPU time per file,
// and how soon the first result of a list of the same files comes;
// then decrypts one large envelope with one thread and reports process CPU
// time over wall time (up to 2: the worker and its writer thread; anything that
// polled would show more).
//
// KORVEL_BENCH_FILES (default 100000), KORVEL_BENCH_FOLDERS (default 20) and
// KORVEL_BENCH_BIG_MIB (default 1024) shrink the run for a quick try;
// KORVEL_BENCH_THREADS (default 2) is the CLI's thread count and
// KORVEL_BENCH_MANAGER=0 leaves out the in-process rounds.
// KORVEL_BENCH_DELETE=1 deletes every source after its decryption, as the
// automatic deletion does, which makes each output wait for the disk.
#include "engine/DecryptManager.h"
#include "tests/support/EnvelopeWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

namespace {

const char kPassphrase[] = "benchmark";

long envNumber(const char* name, long fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? std::strtol(value, nullptr, 10) : fallback;
}

[[noreturn]] void fail(const QString& what)
{
    std::fprintf(stderr, "many_files: %s\n", qPrintable(what));
    std::exit(1);
}

double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage {};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// Removes every decrypted output (anything without the envelope extension) below root.
void removeOutputs(const QString& root)
{
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (!file.endsWith(QLatin1String(".korvel-env")))
            QFile::remove(file);
    }
}

// Runs one decryption of the pending paths to its end; returns the wall seconds.
double decryptAll(QCoreApplication& app, DecryptManager* manager, const QStringList& paths, int threads)
{
    manager->onChangeNumThreads(threads);
    if (manager->addFiles(paths) != paths.size())
        fail(QStringLiteral("could not load the paths"));
    QElapsedTimer timer;
    timer.start();
    manager->startDecrypt(QString::fromLatin1(kPassphrase));
    app.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (manager->getNumCompleted() != paths.size())
        fail(QStringLiteral("%1 of %2 files decrypted (%3 failed)")
                 .arg(manager->getNumCompleted())
                 .arg(paths.size())
                 .arg(manager->getNumFailed()));
    manager->clearFinished();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const long files = envNumber("KORVEL_BENCH_FILES", 100000);
    const long folders = qMax(1L, envNumber("KORVEL_BENCH_FOLDERS", 20));
    const long bigMib = envNumber("KORVEL_BENCH_BIG_MIB", 1024);

    const QString root = QDir::tempPath() + QStringLiteral("/korvel-many-%1").arg(QCoreApplication::applicationPid());
    const QString tree = root + QStringLiteral("/tree");
    QDir().mkpath(tree);

    korvel::test::EnvelopeOptions options;
    // A second key record: an empty plaintext needs one to make a valid file.
    options.passphrases = { kPassphrase, "second" };
    // Plaintexts of 0 to 8 KiB in steps of 512 bytes, taken in turn.
    QList<QByteArray> envelopes;
    for (size_t size = 0; size <= 8192; size += 512) {
        const korvel::test::Bytes envelope = korvel::test::makeEnvelope(korvel::test::patternBytes(size, 3), options);
        envelopes.append(
            QByteArray(reinterpret_cast<const char*>(envelope.data()), static_cast<qsizetype>(envelope.size())));
    }
    QStringList paths;
    for (long i = 0; i < files; ++i) {
        const QString folder = tree + QStringLiteral("/d%1").arg(i % folders);
        if (i < folders)
            QDir().mkpath(folder);
        paths.append(folder + QStringLiteral("/f%1.bin.korvel-env").arg(i));
    }
    const auto writeSources = [&] {
        for (qsizetype i = 0; i < paths.size(); ++i) {
            const QString& path = paths.at(i);
            const QByteArray& bytes = envelopes.at(i % envelopes.size());
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                fail(QStringLiteral("cannot write %1").arg(path));
        }
    };
    writeSources();

    const bool deleting = envNumber("KORVEL_BENCH_DELETE", 0) != 0;
    DecryptManager* manager = DecryptManager::instance();
    DecryptManager::setDeleteEncryptedSetting([deleting] { return deleting; });
    QObject::connect(manager, &DecryptManager::allFinished, &app, &QCoreApplication::quit, Qt::QueuedConnection);

    // cp -r of the same tree as the baseline, measured right before each decryption
    // so that both see the same file-system state (the machine may be shared).
    const auto copyTree = [&] {
        const QString target = root + QStringLiteral("/copy");
        QElapsedTimer timer;
        timer.start();
        if (std::system(qPrintable(QStringLiteral("cp -r '%1' '%2'").arg(tree, target))) != 0)
            fail(QStringLiteral("cp -r failed"));
        const double seconds = timer.nsecsElapsed() / 1e9;
        QDir(target).removeRecursively();
        return seconds;
    };

    std::printf("files                  %8ld envelopes of 0-8 KiB in %ld folders%s\n", files, folders,
        deleting ? ", sources deleted" : "");
    double best = 1e9;
    double copy = 1e9;
    const bool inProcess = envNumber("KORVEL_BENCH_MANAGER", 1) != 0;
    for (int threads : { 1, 2, 4, 8 }) {
        if (!inProcess)
            break;
        const double copied = copyTree();
        const double seconds = decryptAll(app, manager, paths, threads);
        std::printf("cp -r                  %8.3f s   %10.0f files/s\n", copied, files / copied);
        std::printf("decrypt, %d thread%s      %8.3f s   %10.0f files/s\n", threads, threads == 1 ? " " : "s", seconds,
            files / seconds);
        if (seconds < best) {
            best = seconds;
            copy = copied;
        }
        removeOutputs(tree);
        if (deleting)
            writeSources();
    }
    if (inProcess)
        std::printf("ratio best/its cp -r    %8.3f   (target <= 2.5)\n", best / copy);

    // korvelcrypt-cli over the same tree, each run right after a cp -r of it.
    const int cliThreads = static_cast<int>(envNumber("KORVEL_BENCH_THREADS", 2));
    const QString passphraseFile = root + QStringLiteral("/passphrase");
    {
        QFile file(passphraseFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(kPassphrase) + '\n') < 0)
            fail(QStringLiteral("cannot write the passphrase file"));
    }
    double bestRatio = 1e9;
    for (int round = 1; round <= 2; ++round) {
        const double copied = copyTree();
        QProcess cli;
        cli.setStandardOutputFile(QProcess::nullDevice());
        const double cpu0 = cpuSeconds(RUSAGE_CHILDREN);
        QElapsedTimer timer;
        timer.start();
        cli.start(QStringLiteral(KORVELCRYPT_CLI),
            { QStringLiteral("-t"), QString::number(cliThreads), QStringLiteral("--quiet"),
                QStringLiteral("--passphrase-file"), passphraseFile, tree });
        if (!cli.waitForFinished(3600000) || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0)
            fail(QStringLiteral("korvelcrypt-cli failed: %1").arg(QString::fromLocal8Bit(cli.readAllStandardError())));
        const double seconds = timer.nsecsElapsed() / 1e9;
        const double cpu = cpuSeconds(RUSAGE_CHILDREN) - cpu0;
        std::printf("cp -r                  %8.3f s   %10.0f files/s\n", copied, files / copied);
        std::printf("korvelcrypt-cli -t %d   %8.3f s   %10.0f files/s, CPU %.3f s, %.3f ms a file, %.2fx its cp -r\n",
            cliThreads, seconds, files / seconds, cpu, cpu * 1000.0 / files, seconds / copied);
        bestRatio = std::min(bestRatio, seconds / copied);
        removeOutputs(tree);
    }
    std::printf("ratio CLI/its cp -r     %8.3f   (best of 2; target <= 1.0)\n", bestRatio);

    // The same files named by a list: the first result comes while the rest
    // is still being read, beside the whole run's time.
    {
        const QString listFile = root + QStringLiteral("/list");
        QFile list(listFile);
        if (!list.open(QIODevice::WriteOnly))
            fail(QStringLiteral("cannot write the list"));
        for (const QString& path : std::as_const(paths))
            list.write(path.mid(root.size() + 1).toUtf8() + '\n');
        list.close();
        QProcess cli;
        cli.setWorkingDirectory(root);
        QElapsedTimer timer;
        timer.start();
        cli.start(QStringLiteral(KORVELCRYPT_CLI),
            { QStringLiteral("-t"), QString::number(cliThreads), QStringLiteral("--passphrase-file"), passphraseFile,
                QStringLiteral("--files-from"), listFile });
        QByteArray out;
        while (!out.contains('\n') && cli.waitForReadyRead(600000))
            out += cli.readAllStandardOutput();
        const double first = timer.nsecsElapsed() / 1e9;
        if (!cli.waitForFinished(3600000) || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0)
            fail(QStringLiteral("korvelcrypt-cli --files-from failed: %1")
                     .arg(QString::fromLocal8Bit(cli.readAllStandardError())));
        const double seconds = timer.nsecsElapsed() / 1e9;
        std::printf(
            "--files-from, %ld names: first result after %.3f s of %.3f s (target <= 0.5 s)\n", files, first, seconds);
        removeOutputs(tree);
    }
    QDir(tree).removeRecursively();

    if (bigMib > 0) {
        const QString big = root + QStringLiteral("/big.bin.korvel-env");
        const korvel::test::Bytes pattern = korvel::test::patternBytes(1 << 20, 9);
        if (!korvel::test::writeEnvelopeStreaming(
                big.toStdString(), static_cast<uint64_t>(bigMib) << 20,
                [&](uint64_t, uint8_t* buffer, size_t length) { std::memcpy(buffer, pattern.data(), length); },
                options))
            fail(QStringLiteral("cannot write the large envelope"));
        DecryptManager::setDeleteEncryptedSetting({});
        const double cpu0 = cpuSeconds();
        const double wall = decryptAll(app, manager, { big }, 1);
        const double cpu = cpuSeconds() - cpu0;
        std::printf("large envelope         %8ld MiB in %.3f s, CPU %.3f s\n", bigMib, wall, cpu);
        std::printf("CPU/wall, 1 thread     %8.3f   (target <= 2)\n", cpu / wall);
    }

    DecryptManager::destroyInstance();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QDir(root).removeRecursively();
    return 0;
}
