// Small envelopes through the real main window (offscreen), beside
// korvelcrypt-cli with the same thread count in the same run.
//
// Writes KORVEL_BENCH_FILES envelopes (default 2,000) of 0 to 8 KiB in 20
// folders; then, KORVEL_BENCH_ROUNDS times (default 3), alternately:
// - the window: the folder loaded as from its command line, the passphrase
//   typed, Enter; timed from Enter until every plaintext exists (the decrypt
//   manager has completed every task, and each plaintext is on disk);
// - the CLI: `korvelcrypt-cli -t N --quiet --passphrase-file F folder`, timed
//   from its start to its end, every plaintext checked afterwards.
// The plaintexts are removed after each round. Prints each round, the medians
// and the ratio window/CLI (target: at most 1.3). KORVEL_BENCH_THREADS sets N
// (default 1). Exits 1 when a run fails.
#include "app/MainWindow.h"
#include "bench/BenchSupport.h"
#include "engine/DecryptManager.h"
#include "tasks/TaskManager.h"
#include "tests/support/EnvelopeWriter.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using BenchSupport::countFrom;
using BenchSupport::median;

const char kPassphrase[] = "benchmark";

[[noreturn]] void fail(const QString& what)
{
    std::fprintf(stderr, "window_files: %s\n", qPrintable(what));
    std::exit(1);
}

// Runs the event loop until done() holds, waiting for events rather than
// spinning (the background threads run below the main thread); false after the time-out.
template <typename Done> bool spinUntil(Done done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(20);
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The envelopes, and the plaintext path of each.
QStringList writeEnvelopes(const QString& root, int count)
{
    korvel::test::EnvelopeOptions options;
    // A second key record: an empty plaintext needs one to make a valid file.
    options.passphrases = { kPassphrase, "second" };
    QRandomGenerator random(26);
    QStringList plaintexts;
    for (int i = 0; i < count; ++i) {
        const QString folder = QStringLiteral("%1/folder%2").arg(root).arg(i % 20);
        if (i < 20)
            QDir().mkpath(folder);
        options.seed = uint64_t(i) + 1;
        const QString plain = QStringLiteral("%1/file%2.txt").arg(folder).arg(i);
        const auto size = static_cast<size_t>(random.bounded(8 * 1024 + 1));
        if (!korvel::test::writeEnvelope((plain + QStringLiteral(".korvel-env")).toStdString(),
                korvel::test::patternBytes(size, uint64_t(i)), options))
            fail(QStringLiteral("cannot write %1").arg(plain));
        plaintexts.append(plain);
    }
    return plaintexts;
}

void checkAndRemove(const QStringList& plaintexts, const char* who)
{
    for (const QString& plain : plaintexts)
        if (!QFileInfo::exists(plain))
            fail(QStringLiteral("%1 left %2 missing").arg(QLatin1String(who), plain));
    for (const QString& plain : plaintexts)
        QFile::remove(plain);
}

double windowRound(MainWindow& window, const QString& root, const QStringList& plaintexts)
{
    DecryptManager* manager = DecryptManager::instance();
    manager->clearAll();
    window.clearTable();
    auto* phrase = window.findChild<QLineEdit*>(QStringLiteral("_phraseTxt"));
    auto* decrypt = window.findChild<QPushButton*>(QStringLiteral("_decryptBtn"));
    if (!phrase || !decrypt)
        fail(QStringLiteral("no passphrase field or decrypt button"));
    bool loaded = false;
    const QMetaObject::Connection done
        = QObject::connect(TaskManager::instance(), &TaskManager::filesLoaded, &window, [&loaded] { loaded = true; });
    // As the command line hands a folder to the window.
    MainWindow::handleCommandLine({ QStringLiteral("korvelcrypt"), root });
    const auto count = static_cast<int>(plaintexts.size());
    if (!spinUntil([&] { return loaded && manager->getNumPending() == count && decrypt->isEnabled(); }, 600000))
        fail(QStringLiteral("the envelopes were not loaded"));
    QObject::disconnect(done);

    phrase->setText(QString::fromLatin1(kPassphrase));
    QElapsedTimer clock;
    clock.start();
    emit phrase->returnPressed();
    if (!spinUntil([&] { return manager->getNumCompleted() + manager->getNumFailed() == count; }, 1800000))
        fail(QStringLiteral("the window's run did not end"));
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (manager->getNumFailed() != 0)
        fail(QStringLiteral("%1 tasks failed in the window").arg(manager->getNumFailed()));
    checkAndRemove(plaintexts, "the window");
    // Until the window has seen the run end.
    if (!spinUntil([&] { return !decrypt->isChecked() && !manager->isDecrypting(); }, 600000))
        fail(QStringLiteral("the window did not see the run end"));
    return seconds;
}

double cliRound(const QString& root, const QString& passphraseFile, int threads, const QStringList& plaintexts)
{
    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    cli.start(QStringLiteral(KORVELCRYPT_CLI),
        { QStringLiteral("-t"), QString::number(threads), QStringLiteral("--quiet"),
            QStringLiteral("--passphrase-file"), passphraseFile, root });
    if (!cli.waitForFinished(1800000) || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0)
        fail(QStringLiteral("korvelcrypt-cli failed: %1").arg(QString::fromLocal8Bit(cli.readAllStandardError())));
    const double seconds = clock.nsecsElapsed() / 1e9;
    checkAndRemove(plaintexts, "the CLI");
    return seconds;
}

} // namespace

int main(int argc, char* argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    qputenv("XDG_CONFIG_HOME", work.filePath(QStringLiteral("config")).toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int appArgc = 1;
    QApplication app(appArgc, argv);
    Q_UNUSED(argc);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel"));
    QCoreApplication::setApplicationName(QStringLiteral("Crypt"));

    const int files = countFrom("KORVEL_BENCH_FILES", 2000);
    const int threads = countFrom("KORVEL_BENCH_THREADS", 1);
    const int rounds = std::max(1, countFrom("KORVEL_BENCH_ROUNDS", 3));
    const QString root = work.filePath(QStringLiteral("envelopes"));
    const QStringList plaintexts = writeEnvelopes(root, files);
    const QString passphraseFile = work.filePath(QStringLiteral("passphrase"));
    {
        QFile file(passphraseFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(kPassphrase) + '\n') < 0)
            fail(QStringLiteral("cannot write the passphrase file"));
    }

    MainWindow window;
    window.show();
    DecryptManager::instance()->onChangeNumThreads(threads);
    std::vector<double> windowTimes;
    std::vector<double> cliTimes;
    for (int round = 0; round < rounds; ++round) {
        windowTimes.push_back(windowRound(window, root, plaintexts));
        cliTimes.push_back(cliRound(root, passphraseFile, threads, plaintexts));
        std::printf("round %d: window %.3f s, korvelcrypt-cli -t %d %.3f s\n", round + 1, windowTimes.back(), threads,
            cliTimes.back());
    }
    const double windowMedian = median(windowTimes);
    const double cliMedian = median(cliTimes);
    std::printf("%d envelopes of 0-8 KiB, %d thread(s): window %.3f s (%.0f files/s), CLI %.3f s (median of %d)\n",
        files, threads, windowMedian, files / windowMedian, cliMedian, rounds);
    std::printf("ratio window/CLI: %.2f  (target: <= 1.3)\n", windowMedian / cliMedian);
    return 0;
}
