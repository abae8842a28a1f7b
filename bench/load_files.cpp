// Three measurements of the application's responsiveness:
//
// 1. Loads 100,000 empty files in 100 folders through TaskManager::loadFiles
//    until its "files loaded" message, and lists the same tree with
//    `find -type f` in the same run. Prints both times and their ratio
//    (target: the load within 1 second).
// 2. Decrypts 20,000 small envelopes with 8 threads in the real main window
//    (offscreen) while a 10 ms timer measures how long the main thread is kept
//    from running it. Prints the longest stall (target: at most 100 ms).
// 3. The same with eight envelopes of 256 MiB and automatic deletion of the
//    sources switched on in the settings dialog, where every completion deletes
//    a large source (target: at most 50 ms).
//
// KORVEL_BENCH_FILES and KORVEL_BENCH_ENVELOPES change the counts of the first
// two, KORVEL_BENCH_LARGE and KORVEL_BENCH_LARGE_MIB the number and size of the
// large envelopes (KORVEL_BENCH_LARGE_DELETE=0 keeps their sources, for a
// comparison), KORVEL_BENCH_THREADS the number of decrypt threads.
#include "app/MainWindow.h"
#include "app/SettingsDialog.h"
#include "bench/BenchSupport.h"
#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"
#include "tasks/TaskManager.h"
#include "tests/support/EnvelopeWriter.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using BenchSupport::countFrom;

// Runs the event loop until done() holds; false after the time-out.
template <typename Done> bool spinUntil(Done done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    // Waits for events instead of spinning: a spinning main thread would take a
    // core from the background threads it waits for, which run below it.
    QTimer tick; // wakes the wait now and then, for the time-out
    tick.start(50);
    while (!done()) {
        if (clock.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool loadFiles(const QString& root, int files)
{
    const int folders = 100;
    for (int f = 0; f < folders; ++f) {
        const QString folder = QStringLiteral("%1/%2").arg(root).arg(f);
        QDir().mkpath(folder);
        for (int i = f; i < files; i += folders) {
            QFile file(QStringLiteral("%1/%2").arg(folder).arg(i));
            if (!file.open(QIODevice::WriteOnly)) {
                std::fprintf(stderr, "cannot create %s\n", qPrintable(file.fileName()));
                return false;
            }
        }
    }

    // Both managers are created on the main thread, as the window creates them.
    DecryptManager::instance();
    TaskManager* tasks = TaskManager::instance();
    QString message;
    const QMetaObject::Connection summary
        = QObject::connect(tasks, &TaskManager::filesLoaded, tasks, [&](const QString& m) { message = m; });
    QElapsedTimer clock;
    clock.start();
    tasks->loadFiles({ root });
    if (!spinUntil([&] { return !message.isEmpty(); }, 600000)) {
        std::fprintf(stderr, "no files-loaded message\n");
        return false;
    }
    const double loadSeconds = clock.nsecsElapsed() / 1e9;
    QObject::disconnect(summary);

    clock.restart();
    QProcess find;
    find.start(QStringLiteral("find"), { root, QStringLiteral("-type"), QStringLiteral("f") });
    find.waitForFinished(-1);
    const qsizetype listed = find.readAllStandardOutput().count('\n');
    const double findSeconds = clock.nsecsElapsed() / 1e9;

    std::printf("load %d files in %d folders: %.3f s (\"%s\")\n", files, folders, loadSeconds, qPrintable(message));
    std::printf("find -type f (%lld files):      %.3f s\n", static_cast<long long>(listed), findSeconds);
    std::printf("ratio load/find:                  %.2f  (target: load <= 1 s)\n", loadSeconds / findSeconds);
    DecryptManager::instance()->clearAll();
    return true;
}

// One run in the window: what is to be decrypted, and the stall it may cause.
struct WindowRun {
    QString root;
    int count = 0;
    qint64 envelopeMib = 0; // 0: small envelopes of a line of text
    bool deleteSources = false;
    int targetMs = 100;
};

bool writeEnvelopes(const WindowRun& run)
{
    QDir().mkpath(run.root);
    korvel::test::EnvelopeOptions options;
    options.passphrases = { "secret" };
    const korvel::test::Bytes pattern = korvel::test::patternBytes(1 << 20, 9);
    for (int i = 0; i < run.count; ++i) {
        options.seed = uint64_t(i) + 1;
        const QString path = QStringLiteral("%1/f%2.txt.korvel-env").arg(run.root).arg(i);
        bool written;
        if (run.envelopeMib > 0) {
            written = korvel::test::writeEnvelopeStreaming(
                path.toStdString(), static_cast<uint64_t>(run.envelopeMib) << 20,
                [&](uint64_t, uint8_t* buffer, size_t length) { std::memcpy(buffer, pattern.data(), length); },
                options);
        } else {
            const std::string text = "bench file " + std::to_string(i);
            written = korvel::test::writeEnvelope(
                path.toStdString(), korvel::test::Bytes(text.begin(), text.end()), options);
        }
        if (!written) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return false;
        }
    }
    return true;
}

bool decryptInWindow(const WindowRun& run)
{
    if (!writeEnvelopes(run)) {
        return false;
    }

    MainWindow window;
    window.show();
    const int threads = countFrom("KORVEL_BENCH_THREADS", 8);
    DecryptManager::instance()->onChangeNumThreads(threads);
    // As the user switches it on; the window's settings store is the bench's own.
    auto* deleteCheck = SettingsDialog::instance()->findChild<QCheckBox*>(QStringLiteral("_deleteEncryptedCheck"));
    if (!deleteCheck) {
        std::fprintf(stderr, "no delete check box\n");
        return false;
    }
    deleteCheck->setChecked(run.deleteSources);
    auto* status = window.findChild<QLabel*>(QStringLiteral("_statusLbl"));
    auto* phrase = window.findChild<QLineEdit*>(QStringLiteral("_phraseTxt"));
    auto* decrypt = window.findChild<QPushButton*>(QStringLiteral("_decryptBtn"));
    TaskManager::instance()->loadFiles({ run.root });
    if (!spinUntil(
            [&] { return status->text().contains(QStringLiteral("files loaded")) && decrypt->isEnabled(); }, 600000)) {
        std::fprintf(stderr, "envelopes not loaded\n");
        return false;
    }

    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer ticker;
    ticker.setInterval(10);
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        longest = qMax(longest, sinceTick.elapsed() - 10);
        sinceTick.restart();
    });

    phrase->setText(QStringLiteral("secret"));
    QElapsedTimer clock;
    clock.start();
    sinceTick.start();
    ticker.start();
    decrypt->click();
    if (!spinUntil([&] { return !decrypt->isChecked(); }, 1800000)) {
        std::fprintf(stderr, "decryption did not end\n");
        return false;
    }
    ticker.stop();
    const double seconds = clock.nsecsElapsed() / 1e9;
    DecryptManager* manager = DecryptManager::instance();
    const QString what = run.envelopeMib > 0
        ? QStringLiteral("%1 envelopes of %2 MiB").arg(run.count).arg(run.envelopeMib)
        : QStringLiteral("%1 envelopes").arg(run.count);
    int deleted = 0;
    for (const CryptTask* task : manager->getCompletedTasks()) {
        deleted += task->sourceDeleted ? 1 : 0;
    }
    std::printf("decrypt %s, %d threads, in the window%s: %.2f s, %d finished, %d failed, %d sources deleted\n",
        qPrintable(what), threads, run.deleteSources ? " (deleting sources)" : "", seconds, manager->getNumCompleted(),
        manager->getNumFailed(), deleted);
    std::printf("longest main-thread stall:        %lld ms  (target: <= %d ms)\n", static_cast<long long>(longest),
        run.targetMs);
    const bool complete = manager->getNumCompleted() == run.count && (!run.deleteSources || deleted == run.count);
    deleteCheck->setChecked(false);
    QDir(run.root).removeRecursively();
    return complete;
}

} // namespace

int main(int argc, char* argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir work;
    if (!work.isValid()) {
        return 1;
    }
    // A private settings store and the offscreen platform, unless asked otherwise.
    qputenv("XDG_CONFIG_HOME", work.filePath(QStringLiteral("config")).toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int appArgc = 1;
    QApplication app(appArgc, argv);
    Q_UNUSED(argc);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel"));
    QCoreApplication::setApplicationName(QStringLiteral("Crypt"));

    bool ok = loadFiles(work.filePath(QStringLiteral("tree")), countFrom("KORVEL_BENCH_FILES", 100000));
    WindowRun small;
    small.root = work.filePath(QStringLiteral("envelopes"));
    small.count = countFrom("KORVEL_BENCH_ENVELOPES", 20000);
    ok = decryptInWindow(small) && ok;

    WindowRun large;
    large.root = work.filePath(QStringLiteral("large"));
    large.count = countFrom("KORVEL_BENCH_LARGE", 8);
    large.envelopeMib = countFrom("KORVEL_BENCH_LARGE_MIB", 256);
    large.deleteSources = countFrom("KORVEL_BENCH_LARGE_DELETE", 1) != 0;
    large.targetMs = 50;
    ok = (large.count <= 0 || decryptInWindow(large)) && ok;
    return ok ? 0 : 1;
}
