#include "cli/CliRunner.h"

#include "cli/BatchDecrypt.h"
#include "cli/CliOptions.h"
#include "cli/InfoReport.h"
#include "cli/InterruptWatcher.h"
#include "cli/Journal.h"
#include "cli/PassphraseReader.h"
#include "cli/SourceSelection.h"
#include "cli/StdoutDecrypt.h"
#include "engine/FileLoading.h"
#include "engine/LocalPath.h"

#include <QThread>

#include <cstdio>
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

void wipe(QStringList& passphrases)
{
    for (QString& passphrase : passphrases)
        passphrase.fill(QLatin1Char('\0'));
    passphrases.clear();
}

} // namespace

int CliRunner::run(const QStringList& arguments)
{
    // Until the batch watches for them, SIGINT and SIGTERM end the process at
    // once (putting a prompting terminal back first): nothing is written before.
    InterruptWatcher::install();

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

    SourceSelection::Settings select;
    select.allFiles = options.allFiles();
    select.skipDecrypted = options.skipExisting();
    select.outputRoot = options.outputDir();
    select.filesFrom = options.filesFrom();
    select.nullSeparated = options.nullSeparated();
    select.shardIndex = options.shardIndex();
    select.shardCount = options.shardCount();
    SourceSelection::Selection selection;
    QString error;

    if (options.mode() == CliOptions::Mode::Info) {
        if (!SourceSelection::select(options.paths(), select, &selection, &error))
            return usageError(error);
        InfoReport::Settings settings;
        settings.quiet = options.quiet();
        settings.json = options.json();
        return InfoReport(settings, stdout, stderr).run(selection.found);
    }

    if (options.mode() == CliOptions::Mode::Stdout) {
        if (isatty(STDOUT_FILENO) == 1 && !options.force())
            return usageError(QStringLiteral("standard output is a terminal; redirect it, or add --force to "
                                             "write the plaintext there."));
        struct stat input { };
        const bool exists = LocalPath::status(options.paths().constFirst(), &input);
        if (exists && S_ISDIR(input.st_mode))
            return usageError(
                QStringLiteral("--stdout takes one file, and '%1' is a folder.").arg(options.paths().constFirst()));
        // A pipe or a device would be waited on, perhaps for ever.
        if (exists && !S_ISREG(input.st_mode))
            return usageError(QStringLiteral("--stdout takes a regular file, and '%1' is not one.")
                                  .arg(options.paths().constFirst()));
    }

    if (!options.outputDir().isEmpty()) {
        if (struct stat folder {}; LocalPath::status(options.outputDir(), &folder) && !S_ISDIR(folder.st_mode))
            return usageError(QStringLiteral("--output-dir '%1' is not a folder.").arg(options.outputDir()));
    }

    // The passphrase comes first, so that a prompt does not wait behind a long
    // folder walk, and a missing one stops the command before anything happens.
    QStringList passphrases;
    if (readPassphrases(options, &passphrases, &error) != PassphraseReader::Result::Ok) {
        wipe(passphrases);
        return usageError(error);
    }

    if (options.mode() == CliOptions::Mode::Stdout) {
        std::fflush(stdout);
        const int status = StdoutDecrypt::run(options.paths().constFirst(), passphrases, STDOUT_FILENO, stderr);
        wipe(passphrases);
        return status;
    }

    Journal journal;
    if (!options.journal().isEmpty()) {
        const Journal::Kind kind
            = options.mode() == CliOptions::Mode::Test ? Journal::Kind::Test : Journal::Kind::Decrypt;
        bool inUse = false;
        if (!journal.open(options.journal(), kind, &error, &inUse)) {
            wipe(passphrases);
            if (inUse) {
                // Not a mistake in the command: said plainly.
                print(stderr, QStringLiteral("korvelcrypt-cli: %1\n").arg(error));
                return kUsageError;
            }
            return usageError(error);
        }
        select.journal = &journal;
        select.keepRecorded = options.deleteEncrypted() && options.mode() != CliOptions::Mode::Test;
    }
    if (!SourceSelection::select(options.paths(), select, &selection, &error)) {
        wipe(passphrases);
        return usageError(error);
    }

    BatchDecrypt::Settings settings;
    settings.threads = options.threads();
    settings.deleteEncrypted = options.deleteEncrypted();
    settings.quiet = options.quiet();
    settings.json = options.json();
    settings.verifyOnly = options.mode() == CliOptions::Mode::Test;
    if (!options.outputDir().isEmpty())
        settings.outputRoot = FileLoading::absoluteCleanPath(options.outputDir());
    settings.progress = isatty(STDERR_FILENO) == 1;
    settings.journal = options.journal().isEmpty() ? nullptr : &journal;

    BatchDecrypt batch(settings, stdout, stderr);
    batch.removeRecorded(selection.recorded);
    batch.load(selection.found, selection.journaled);
    // The manager holds every path now; what the find kept goes.
    selection = {};
    const int status = batch.run(passphrases);
    wipe(passphrases);
    return status;
}
