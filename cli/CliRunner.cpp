#include "cli/CliRunner.h"

#include "cli/BatchDecrypt.h"
#include "cli/CliOptions.h"
#include "cli/CliReporter.h"
#include "cli/InfoReport.h"
#include "cli/InterruptWatcher.h"
#include "cli/Journal.h"
#include "cli/PassphraseReader.h"
#include "cli/SourceSelection.h"
#include "cli/StdoutDecrypt.h"
#include "engine/CryptTask.h"
#include "engine/FileLoading.h"
#include "engine/LocalPath.h"
#include "engine/OutputFolders.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QSet>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void print(FILE* stream, const QString& text)
{
    const QByteArray bytes = LocalPath::displayName(text).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(const QString& message)
{
    print(stderr,
        QStringLiteral("korvelcrypt-cli: %1\nTry 'korvelcrypt-cli --help' for more information.\n").arg(message));
    return CliRunner::kUsageError;
}

// Every candidate from the sources the options name, in their order; the
// terminal is asked only when none is named.
PassphraseReader::Result readPassphrases(const CliOptions& options, QStringList* passphrases, QString* error)
{
    const QList<CliOptions::PassphraseSource> sources = options.passphraseSources();
    if (sources.isEmpty()) {
        QString passphrase;
        const PassphraseReader::Result result
            = PassphraseReader::fromTerminal(QStringLiteral("Passphrase: "), &passphrase, error);
        if (result == PassphraseReader::Result::Ok)
            passphrases->append(passphrase);
        passphrase.fill(QLatin1Char('\0'));
        return result;
    }
    for (const CliOptions::PassphraseSource& source : sources) {
        QString passphrase;
        PassphraseReader::Result result = PassphraseReader::Result::Ok;
        switch (source.kind) {
        case CliOptions::PassphraseSource::Kind::Fd:
            result = PassphraseReader::fromFd(source.fd, &passphrase, error);
            break;
        case CliOptions::PassphraseSource::Kind::File:
            result = PassphraseReader::fromFile(source.path, &passphrase, error);
            break;
        case CliOptions::PassphraseSource::Kind::List:
            result = PassphraseReader::fromList(source.path, passphrases, error);
            break;
        }
        if (result != PassphraseReader::Result::Ok)
            return result;
        if (source.kind != CliOptions::PassphraseSource::Kind::List)
            passphrases->append(passphrase);
        passphrase.fill(QLatin1Char('\0'));
    }
    return PassphraseReader::Result::Ok;
}

// The run's candidate passphrases, wiped when it ends however it ends.
struct Passphrases {
    Q_DISABLE_COPY_MOVE(Passphrases)
    Passphrases() = default;
    ~Passphrases()
    {
        for (QString& passphrase : list)
            passphrase.fill(QLatin1Char('\0'));
    }
    QStringList list;
};

// What the options choose of the files, for every mode that looks for them.
SourceSelection::Settings selectionSettings(const CliOptions& options)
{
    SourceSelection::Settings select;
    select.allFiles = options.allFiles();
    select.skipDecrypted = options.skipExisting();
    select.outputRoot = options.outputDir();
    select.filesFrom = options.filesFrom();
    select.nullSeparated = options.nullSeparated();
    select.excludes = options.excludes();
    select.shardIndex = options.shardIndex();
    select.shardCount = options.shardCount();
    if (!options.root().isEmpty())
        select.root = FileLoading::absoluteCleanPath(options.root());
    if (options.verbose())
        select.passedOver = [](const QString& name, const QString& why) {
            print(stderr,
                QStringLiteral("korvelcrypt-cli: passed over %1: %2\n")
                    .arg(LocalPath::escaped(LocalPath::encode(name)), why));
        };
    return select;
}

// Finds what the options choose; 0, or the exit status of a refusal.
int selectSources(
    const CliOptions& options, const SourceSelection::Settings& select, SourceSelection::Selection* selection)
{
    if (!select.root.isEmpty()) {
        if (struct stat folder {}; !LocalPath::status(select.root, &folder) || !S_ISDIR(folder.st_mode))
            return usageError(QStringLiteral("--root '%1' is not a folder.").arg(options.root()));
    }
    QString error;
    if (!SourceSelection::select(options.paths(), select, selection, &error))
        return usageError(error);
    return 0;
}

// --verbose: what the run will do, before it looks for files.
void printSettings(const CliOptions& options, int passphrases, const Journal* journal)
{
    const auto quoted = [](const QString& name) { return LocalPath::escaped(LocalPath::encode(name)); };
    const QString mode = options.dryRun()          ? QStringLiteral("listing (--dry-run)")
        : options.mode() == CliOptions::Mode::Test ? QStringLiteral("testing")
        : options.mode() == CliOptions::Mode::Info ? QStringLiteral("describing (--info)")
                                                   : QStringLiteral("decrypting");
    QStringList lines {
        QStringLiteral("%1 with %2 threads, %3 passphrase candidates").arg(mode).arg(options.threads()).arg(passphrases)
    };
    lines << (options.outputDir().isEmpty()
            ? QStringLiteral("plaintexts beside their sources")
            : QStringLiteral("plaintexts below %1").arg(quoted(FileLoading::absoluteCleanPath(options.outputDir()))));
    lines << QStringLiteral("existing plaintexts: %1; %2")
                 .arg(options.skipExisting() ? QStringLiteral("skip") : QStringLiteral("keep"),
                     options.allFiles() ? QStringLiteral("every file taken") : QStringLiteral("envelopes only"));
    if (!options.filesFrom().isEmpty())
        lines << QStringLiteral("list %1, paths below %2")
                     .arg(options.filesFrom() == QStringLiteral("-") ? QStringLiteral("standard input")
                                                                     : quoted(options.filesFrom()),
                         quoted(options.root().isEmpty() ? LocalPath::currentFolder()
                                                         : FileLoading::absoluteCleanPath(options.root())));
    if (options.shardCount() > 0)
        lines << QStringLiteral("shard %1/%2").arg(options.shardIndex()).arg(options.shardCount());
    for (const QString& pattern : options.excludes())
        lines << QStringLiteral("excluding %1").arg(quoted(pattern));
    if (journal)
        lines << QStringLiteral("journal %1 with %2 records").arg(quoted(options.journal())).arg(journal->size());
    if (options.deleteEncrypted())
        lines << QStringLiteral("deleting each source once its plaintext is on disk");
    if (options.keepTimes())
        lines << QStringLiteral("plaintexts get their envelopes' times");
    for (const QString& line : std::as_const(lines))
        print(stderr, QStringLiteral("korvelcrypt-cli: %1\n").arg(line));
}

BatchDecrypt::Settings batchSettings(const CliOptions& options, Journal* journal)
{
    BatchDecrypt::Settings settings;
    settings.threads = options.threads();
    settings.deleteEncrypted = options.deleteEncrypted();
    settings.verifyOnly = options.mode() == CliOptions::Mode::Test;
    if (!options.outputDir().isEmpty())
        settings.outputRoot = FileLoading::absoluteCleanPath(options.outputDir());
    settings.progress = isatty(STDERR_FILENO) == 1 && !options.quiet();
    settings.progressLines = options.progressLines();
    settings.keepTimes = options.keepTimes();
    settings.journal = options.journal().isEmpty() ? nullptr : journal;
    return settings;
}

// 0, or the exit status of a refused passphrase: read first, so that a prompt
// does not wait behind a long folder walk, and a missing one stops the command
// before anything happens.
int readPassphrases(const CliOptions& options, Passphrases* passphrases)
{
    QString error;
    if (readPassphrases(options, &passphrases->list, &error) != PassphraseReader::Result::Ok)
        return usageError(error);
    return 0;
}

int runInfo(const CliOptions& options, const CliReporter& reporter)
{
    if (options.verbose())
        printSettings(options, 0, nullptr);
    SourceSelection::Selection selection;
    if (const int refused = selectSources(options, selectionSettings(options), &selection))
        return refused;
    return InfoReport(reporter, stdout, stderr).run(selection.found);
}

int runStdout(const CliOptions& options)
{
    const QString path = options.paths().constFirst();
    if (isatty(STDOUT_FILENO) == 1 && !options.force())
        return usageError(QStringLiteral("standard output is a terminal; redirect it, or add --force to "
                                         "write the plaintext there."));
    struct stat input { };
    const bool exists = LocalPath::status(path, &input);
    if (exists && S_ISDIR(input.st_mode))
        return usageError(QStringLiteral("--stdout takes one file, and '%1' is a folder.").arg(path));
    // A pipe or a device would be waited on, perhaps for ever.
    // (An envelope is read from its end first, which a pipe cannot give.)
    if (exists && !S_ISREG(input.st_mode))
        return usageError(QStringLiteral("--stdout takes a regular file, and '%1' is %2: the input must be a regular "
                                         "file (save what the pipe gives to a file first).")
                              .arg(path,
                                  S_ISFIFO(input.st_mode)       ? QStringLiteral("a pipe")
                                      : S_ISSOCK(input.st_mode) ? QStringLiteral("a socket")
                                                                : QStringLiteral("a device")));
    Passphrases passphrases;
    if (const int refused = readPassphrases(options, &passphrases))
        return refused;
    std::fflush(stdout);
    return StdoutDecrypt::run(path, passphrases.list, STDOUT_FILENO, stderr);
}

// 0 once the journal is open, else the exit status.
int openJournal(const CliOptions& options, Journal* journal)
{
    const Journal::Kind kind = options.mode() == CliOptions::Mode::Test ? Journal::Kind::Test : Journal::Kind::Decrypt;
    QString error;
    bool inUse = false;
    const auto waiting = [&options] {
        print(stderr,
            QStringLiteral("korvelcrypt-cli: journal '%1' is in use by another korvelcrypt-cli process; waiting "
                           "for it to end.\n")
                .arg(options.journal()));
    };
    if (journal->open(
            options.journal(), kind, &error, &inUse, options.waitJournal() ? std::function<void()>(waiting) : nullptr))
        return 0;
    if (!inUse)
        return usageError(error);
    // Not a mistake in the command: said plainly.
    print(stderr, QStringLiteral("korvelcrypt-cli: %1\n").arg(error));
    return CliRunner::kUsageError;
}

// Empty when plaintexts can be written below the output folder (it, or the
// nearest folder above it that stands, may be written into), else the system's reason.
QString outputFolderProblem(const QString& outputDir)
{
    QString folder = FileLoading::absoluteCleanPath(outputDir);
    struct stat status { };
    while (!LocalPath::status(folder, &status)) {
        if (errno != ENOENT || folder == QStringLiteral("/"))
            return LocalPath::errorText(errno);
        folder = QFileInfo(folder).absolutePath();
    }
    if (!S_ISDIR(status.st_mode))
        return LocalPath::errorText(ENOTDIR);
    if (::access(LocalPath::encode(folder).constData(), W_OK | X_OK) != 0)
        return LocalPath::errorText(errno); // EACCES, EROFS
    return {};
}

// --dry-run: each source found, once, with the name its plaintext would get
// now (a "(decrypted N)" name where one stands, or an earlier source of this
// run takes it), as the decrypt manager names it; nothing is written.
int dryRun(const CliOptions& options, const CliReporter& reporter, const FileLoading::Result& found)
{
    const QString root
        = options.outputDir().isEmpty() ? QString() : FileLoading::absoluteCleanPath(options.outputDir());
    QSet<QString> taken;
    const auto line = [](const QByteArray& text) {
        if (!text.isEmpty())
            std::fwrite((text + '\n').constData(), 1, static_cast<size_t>(text.size()) + 1, stdout);
    };
    for (const CliReporter::Problem& problem : CliReporter::problemsOf(found)) {
        print(stderr, QStringLiteral("korvelcrypt-cli: %1\n").arg(CliReporter::problemText(problem)));
        line(reporter.problem(problem));
    }
    found.forEachOnce([&](const FileLoading::Group& group, qsizetype i) {
        const QString& file = group.files.at(i);
        const QString unsuffixed = root.isEmpty()
            ? CryptTask::withoutDecryptedSuffix(file)
            : CryptTask::withoutDecryptedSuffix(file, OutputFolders::folderOf(root, file, group.outputBase));
        const QString destination = CryptTask::freeDestination(unsuffixed, taken);
        taken.insert(destination);
        line(reporter.planned(group.nameOf(i), destination));
    });
    std::fflush(stdout);
    return found.skipped.isEmpty() && found.unreadable.isEmpty() ? 0 : 1;
}

// Decrypting and --test (whose batch writes nothing, BatchDecrypt::Settings::verifyOnly):
// passphrases, journal, the files, then the batch.
int runBatch(const CliOptions& options, const CliReporter& reporter)
{
    if (!options.outputDir().isEmpty()) {
        if (struct stat folder {}; LocalPath::status(options.outputDir(), &folder) && !S_ISDIR(folder.st_mode))
            return usageError(QStringLiteral("--output-dir '%1' is not a folder.").arg(options.outputDir()));
        // Checked once, not found out file by file.
        if (const QString problem = outputFolderProblem(options.outputDir()); !problem.isEmpty()) {
            print(stderr,
                QStringLiteral("korvelcrypt-cli: --output-dir '%1' cannot be written: %2\n")
                    .arg(options.outputDir(), problem));
            return CliRunner::kUsageError;
        }
    }
    // A dry run decrypts nothing: it needs no passphrase.
    Passphrases passphrases;
    if (!options.dryRun())
        if (const int refused = readPassphrases(options, &passphrases))
            return refused;
    SourceSelection::Settings select = selectionSettings(options);
    Journal journal;
    if (!options.journal().isEmpty()) {
        if (const int refused = openJournal(options, &journal))
            return refused;
        select.journal = &journal;
        select.keepRecorded = options.deleteEncrypted() && options.mode() != CliOptions::Mode::Test;
    }
    if (options.verbose())
        printSettings(options, static_cast<int>(passphrases.list.size()), select.journal);
    SourceSelection::Selection selection;
    if (options.dryRun()) {
        if (const int refused = selectSources(options, select, &selection))
            return refused;
        return dryRun(options, reporter, selection.found);
    }
    BatchDecrypt batch(batchSettings(options, &journal), reporter, stdout, stderr);
    const auto load = [&batch](SourceSelection::Selection& piece) {
        batch.removeRecorded(piece.recorded);
        batch.load(piece.found, piece.journaled);
        // The manager holds these paths now; what the find kept goes.
        piece = {};
    };
    // A list is decrypted as it is read: the first results come while a long
    // list (or the find that writes it) is still going. What the command line
    // names comes first, and the run starts once the list has been opened.
    bool begun = false;
    int pieces = 0;
    if (!options.filesFrom().isEmpty()) {
        select.onPiece = [&](SourceSelection::Selection& piece) {
            load(piece);
            if (pieces++ > 0) {
                if (!begun)
                    batch.begin(passphrases.list);
                begun = true;
                QCoreApplication::processEvents();
            }
            return !batch.stopping();
        };
        // While the writer of the list pauses, results are still reported.
        select.whileWaiting = [&](int fd) {
            if (!begun)
                return true;
            QEventLoop loop;
            QSocketNotifier readable(fd, QSocketNotifier::Read);
            QObject::connect(&readable, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
            QObject::connect(&batch, &BatchDecrypt::stopRequested, &loop, &QEventLoop::quit);
            if (!batch.stopping())
                loop.exec();
            return !batch.stopping();
        };
    }
    if (const int refused = selectSources(options, select, &selection)) {
        if (!begun)
            return refused;
        // Part-way through a long list (a path outside the root, a read error):
        // what was taken is finished, nothing more is taken.
        return std::max(batch.run(passphrases.list), refused);
    }
    load(selection);
    return batch.run(passphrases.list);
}

} // namespace

int CliRunner::run(const QStringList& arguments)
{
    // Until the batch watches for them, SIGINT and SIGTERM end the process at
    // once (putting a prompting terminal back first): nothing is written before.
    InterruptWatcher::install();
    // A reader that quits (| head -1) must not kill a batch between a finished
    // plaintext and its journal record: a closed standard output is an error of
    // the write (EPIPE), which ends the batch as an interrupt does.
    std::signal(SIGPIPE, SIG_IGN);

    const int processors = QThread::idealThreadCount();
    const CliOptions options(arguments, processors);
    switch (options.action()) {
    case CliOptions::Action::Help:
        print(stdout, CliOptions::helpText(CliOptions::defaultThreads(processors)));
        return 0;
    case CliOptions::Action::Version:
        print(stdout, CliOptions::versionText());
        return 0;
    case CliOptions::Action::UsageError:
        return usageError(options.error());
    case CliOptions::Action::Run:
        break;
    }
    const std::unique_ptr<CliReporter> reporter = CliReporter::make(options.json(), options.quiet());
    switch (options.mode()) {
    case CliOptions::Mode::Info:
        return runInfo(options, *reporter);
    case CliOptions::Mode::Stdout:
        return runStdout(options);
    case CliOptions::Mode::Test:
    case CliOptions::Mode::Decrypt:
        break;
    }
    return runBatch(options, *reporter);
}
